// What the conversion changes in an XMP packet, by namespace (the URI a
// prefix is declared for, whatever the prefix; an undeclared tiff:, hdrgm:
// or Container: prefix is taken for its usual namespace):
//
//   - the orientation, the Orientation property of the TIFF namespace
//     (http://ns.adobe.com/tiff/1.0/), written as an attribute of a
//     description (tiff:Orientation="6", either quote) or as an element
//     (<tiff:Orientation>6</tiff:Orientation>). The conversion sets it to 1
//     when it turns the pixels, as it does for the EXIF Orientation tag, so
//     that a viewer does not turn them a second time;
//   - the description of an HDR gain map: the properties of the gain map
//     namespace (http://ns.adobe.com/hdr-gain-map/1.0/) and of the container
//     namespaces (http://ns.google.com/photos/1.0/container/ and its item/)
//     that list the gain map as an item of the file. They describe the
//     source file's layout, not the converted one's: a JPEG that carries the
//     gain map gets a description of its own (gain_map_jpeg.h), and other
//     files none, so that a reader does not look for a gain map that is not
//     there.
//
// The packet is read as it is, without a full XML parser: tags, comments,
// CDATA sections and processing instructions are told apart, and every
// search starts where the last one left off, so a hostile packet costs no
// more than its length.
#pragma once

#include <cstdint>
#include <vector>

namespace ambrel::pipeline::xmp {

// Sets every Orientation value of the packet to `orientation`, one of the
// orientation codes 1 to 8; true when the packet has at least one. Only the
// value's text is replaced (surrounding white space kept), so the packet
// grows by at most one byte for each value that was empty. False, with the
// packet unchanged, when it has none or `orientation` is not 1 to 8.
bool setOrientation(std::vector<std::uint8_t>& packet, int orientation);

// The first Orientation value of the packet that is an orientation code
// (1 to 8); 0 when there is none.
int readOrientation(const std::vector<std::uint8_t>& packet);

// Removes the gain map's description: every attribute and element (with
// its content, and the white space before it) of the gain map and container
// namespaces, and the declarations of those namespaces; the rest of the
// packet stays byte for byte. True when something was removed.
bool removeGainMap(std::vector<std::uint8_t>& packet);

}  // namespace ambrel::pipeline::xmp
