// Standard ICC display profiles for pictures whose colours a HEIF file names
// by code points ('colr' of type 'nclx', ITU-T H.273) instead of carrying a
// profile of its own. The output formats can then say what their pixels mean:
// a wide-gamut (Display P3, Rec. 2020) photograph keeps its colours in any
// colour-managed viewer instead of being shown as if it were sRGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "heiclib/reader/reader_types.h"

namespace ambrel::pipeline {

// An RGB display profile (ICC version 2.1) for the colour primaries, white
// point and transfer function that the codes name:
//   primaries 4 (BT.470 System M, illuminant C), 5 (BT.601 625-line),
//     6 and 7 (BT.601 525-line, SMPTE 240M), 9 (BT.2020), 11 (DCI-P3, DCI
//     white), 12 (Display P3, D65), 22 (EBU Tech 3213);
//   transfer 1, 6, 14, 15 (the BT.709 curve), 13 (the sRGB curve), 4 (gamma
//     2.2), 5 (gamma 2.8), 8 (linear); 2 (unspecified) takes the sRGB curve.
// Primaries 1 and 2 (BT.709 or unspecified) get a profile only with a transfer
// that isSrgbColour() does not accept (gamma 2.2 or 2.8, linear): with any
// sRGB-like transfer the picture is sRGB and needs none.
//
// Returns no bytes, with the reason in *why, when no profile is needed (sRGB
// colours) or possible: unknown codes, and the HDR transfer functions PQ (16)
// and HLG (18), which an ICC display profile cannot express.
//
// The profile has a readable description ("Display P3", "Rec. 2020", ...),
// a copyright tag and a fixed creation date: the same colour gives the same
// bytes every time, so converted files are reproducible.
std::vector<std::uint8_t> standardProfileFor(const heif::NclxColour& colour, std::string* why = nullptr);

// True for BT.709 or unspecified primaries (1, 2) with the transfer 1, 2, 6,
// 13, 14 or 15: pictures shown as sRGB, which get a format's sRGB mark (the
// PNG sRGB chunk) instead of a profile.
bool isSrgbColour(const heif::NclxColour& colour);

}  // namespace ambrel::pipeline
