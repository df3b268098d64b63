// The re-encoding of a JPEG into the other output formats lives in a module
// of its own (libambrel-image-codecs.so), loaded the first time a conversion
// asks for PNG, BMP, TIFF or JPEG 2000. OpenCV's image codecs bring some 140
// shared libraries with them (GDAL, DICOM, OpenEXR...), and loading those
// costs a tenth of a second or more at every start: a JPEG-only run of the
// command-line converter never pays it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ambrel::convert {

// The module's one entry. Decodes `jpeg` to a colour bitmap and encodes it
// with the encoder of `extension` (".png", ".bmp", ".jp2", ".tiff") at its
// default settings into `out`; 1 on success, 0 when decoding or encoding
// fails. Never throws.
extern "C" int ambrelReencodeJpeg(const std::uint8_t* jpeg, std::size_t length, const char* extension,
                                  std::vector<std::uint8_t>* out);

// Its name, as dlsym looks it up.
inline constexpr const char* kReencodeSymbol = "ambrelReencodeJpeg";
using ReencodeFunction = int (*)(const std::uint8_t*, std::size_t, const char*, std::vector<std::uint8_t>*);

}  // namespace ambrel::convert
