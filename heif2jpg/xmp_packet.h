// The orientation an XMP packet records: tiff:Orientation, written as an
// attribute of an rdf:Description (tiff:Orientation="6", either quote) or as
// an element (<tiff:Orientation>6</tiff:Orientation>). The conversion sets it
// to 1 when it turns the pixels, as it does for the EXIF Orientation tag, so
// that a viewer does not turn them a second time.
#pragma once

#include <cstdint>
#include <vector>

namespace ambrel::pipeline::xmp {

// Sets every tiff:Orientation value of the packet to `orientation`, one of
// the orientation codes 1 to 8; true when the packet has at least one. Only
// the value's text is replaced (surrounding white space kept), so the packet
// grows by at most one byte for each value that was empty. False, with the
// packet unchanged, when it has none or `orientation` is not 1 to 8.
bool setOrientation(std::vector<std::uint8_t>& packet, int orientation);

// The first tiff:Orientation value of the packet that is an orientation code
// (1 to 8); 0 when there is none.
int readOrientation(const std::vector<std::uint8_t>& packet);

}  // namespace ambrel::pipeline::xmp
