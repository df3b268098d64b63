// The kinds of item property that the reader distinguishes, and what it
// reports per property association.
#pragma once

#include <cstdint>

namespace ambrel::heif {

enum class ItemPropertyType : std::int32_t {
    Raw = 0,    // any other property box
    Auxc = 1,   // 'auxC'
    Avcc = 2,   // 'avcC'
    Clap = 3,   // 'clap'
    Hvcc = 4,   // 'hvcC'
    Imir = 5,   // 'imir'
    Irot = 6,   // 'irot'
    Ispe = 7,   // 'ispe'
    Lhvc = 8,   // 'lhvC'
    Lsel = 9,   // 'lsel'
    Oinf = 10,  // 'oinf'
    Rloc = 11,  // 'rloc'
    Tols = 12,  // 'tols'
    Av1c = 13,  // 'av1C'
    Jpgc = 14,  // 'jpgC'
    Uncc = 15,  // 'uncC'
    Cmpd = 16,  // 'cmpd'
    Cmpc = 17,  // 'cmpC'
    Icef = 18,  // 'icef'
};

struct ItemPropertyInfo
{
    ItemPropertyType type = ItemPropertyType::Raw;
    std::uint32_t index = 0;  // 0-based position in the property container
    bool essential = false;
};

}  // namespace ambrel::heif
