// A structure-aware mutator for the fuzz targets that read HEIF files.
//
// libFuzzer's own mutations rarely keep a box tree valid and never grow an
// input by much, so amplification (a small file whose counts, sizes or
// repeated boxes make the reader allocate or loop far beyond the file's size)
// stays out of reach. This mutator parses the input as a box tree and, beside
// libFuzzer's byte mutations, changes the tree itself:
//   - sets a box's size to 0 (to the end of the file), 1 (a 64-bit size
//     follows), larger or smaller than it is;
//   - sets a count (item, entry, reference, extent, sample counts, grid rows
//     and columns...) near the start of a box's payload to a large or
//     boundary value;
//   - repeats a box, or an entry-sized run of bytes of a box, many times in
//     place, growing every enclosing box to match;
// and keeps the result within libFuzzer's max_len. Included by one fuzz
// target each: it defines LLVMFuzzerCustomMutator.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "heiclib/box_types.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace boxmutator {

struct Box
{
    std::size_t offset = 0;      // of the size field
    std::size_t headerSize = 8;  // size, type, largesize
    std::size_t end = 0;         // one past the box, within the input
    std::size_t childrenAt = 0;  // where children start, for containers
    int parent = -1;
    bool largeSize = false;
    bool sizeToEnd = false;
    ambrel::heif::FourCCInt type;
};

inline std::uint32_t read32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline void write32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline std::uint64_t read64(const std::uint8_t* p)
{
    return (std::uint64_t{read32(p)} << 32) | read32(p + 4);
}

inline void write64(std::uint8_t* p, std::uint64_t v)
{
    write32(p, static_cast<std::uint32_t>(v >> 32));
    write32(p + 4, static_cast<std::uint32_t>(v));
}

// Bytes between the box header and its first child, for the boxes that hold
// boxes; -1 for the others.
inline int childOffset(ambrel::heif::FourCCInt type)
{
    namespace boxtype = ambrel::heif::boxtype;
    static constexpr ambrel::heif::FourCCInt kPlain[] = {
        boxtype::kMoov, boxtype::kTrak, boxtype::kMdia, boxtype::kMinf, boxtype::kStbl, boxtype::kDinf,
        boxtype::kIprp, boxtype::kIpco, boxtype::kEdts, boxtype::kGrpl, boxtype::kMvex, boxtype::kMoof,
        boxtype::kTraf, boxtype::kUdta, boxtype::kTref, boxtype::kMeco};
    if (std::find(std::begin(kPlain), std::end(kPlain), type) != std::end(kPlain)) {
        return 0;
    }
    if (type == boxtype::kMeta || type == boxtype::kIref) {
        return 4;  // version and flags
    }
    if (type == boxtype::kIinf) {
        return 6;  // version, flags, a 16-bit count (version 0)
    }
    if (type == boxtype::kDref || type == boxtype::kStsd) {
        return 8;  // version, flags, a 32-bit count
    }
    return -1;
}

// The boxes of data[begin, end), their children after them, depth first.
inline void parse(const std::uint8_t* data, std::size_t begin, std::size_t end, int parent, std::vector<Box>& boxes,
                  int depth = 0)
{
    std::size_t at = begin;
    while (at + 8 <= end && boxes.size() < 4096) {
        Box box;
        box.offset = at;
        box.parent = parent;
        box.type = ambrel::heif::FourCCInt(read32(data + at + 4));
        std::uint64_t size = read32(data + at);
        if (size == 1) {
            if (at + 16 > end) {
                return;
            }
            box.largeSize = true;
            box.headerSize = 16;
            size = read64(data + at + 8);
        } else if (size == 0) {
            box.sizeToEnd = true;
            size = end - at;
        }
        if (size < box.headerSize || size > end - at) {
            return;
        }
        box.end = at + static_cast<std::size_t>(size);
        const int index = static_cast<int>(boxes.size());
        boxes.push_back(box);
        const int children = childOffset(box.type);
        if (children >= 0 && depth < 16) {
            std::size_t first = at + box.headerSize + static_cast<std::size_t>(children);
            if (box.type == ambrel::heif::boxtype::kIinf && first <= box.end && data[at + box.headerSize] != 0) {
                first += 2;  // version 1 and later: a 32-bit count
            }
            boxes[static_cast<std::size_t>(index)].childrenAt = first;
            if (first <= box.end) {
                parse(data, first, box.end, index, boxes, depth + 1);
            }
        }
        at = box.end;
    }
}

// Grows (or shrinks) the size fields of the box and all that enclose it.
inline void resize(std::uint8_t* data, std::vector<Box>& boxes, int index, std::int64_t delta)
{
    for (int i = index; i >= 0; i = boxes[static_cast<std::size_t>(i)].parent) {
        Box& box = boxes[static_cast<std::size_t>(i)];
        if (box.sizeToEnd) {
            continue;
        }
        if (box.largeSize) {
            write64(data + box.offset + 8, read64(data + box.offset + 8) + static_cast<std::uint64_t>(delta));
        } else {
            write32(data + box.offset, read32(data + box.offset) + static_cast<std::uint32_t>(delta));
        }
    }
}

inline std::uint32_t interestingCount(std::mt19937& random, std::uint32_t current)
{
    static const std::uint32_t kValues[] = {0,       1,        2,          0x7F,        0x80,
                                            0xFF,    0x100,    0x7FFF,     0x8000,      0xFFFF,
                                            0x10000, 0x100000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu};
    switch (random() % 4) {
    case 0: return current * (2 + random() % 1000);
    case 1: return current + 1 + random() % 16;
    default: return kValues[random() % (sizeof(kValues) / sizeof(kValues[0]))];
    }
}

// Repeats data[from, from + length) `copies` times right after itself, inside
// box `index`; false when that would pass maxSize.
inline bool repeat(std::vector<std::uint8_t>& bytes, std::vector<Box>& boxes, int index, std::size_t from,
                   std::size_t length, std::size_t copies, std::size_t maxSize)
{
    if (length == 0 || copies == 0 || bytes.size() + length * copies > maxSize) {
        return false;
    }
    const std::vector<std::uint8_t> piece(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
    std::vector<std::uint8_t> grown;
    grown.reserve(bytes.size() + length * copies);
    grown.insert(grown.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
    for (std::size_t i = 0; i < copies; ++i) {
        grown.insert(grown.end(), piece.begin(), piece.end());
    }
    grown.insert(grown.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from + length), bytes.end());
    bytes.swap(grown);
    if (index >= 0) {
        resize(bytes.data(), boxes, index, static_cast<std::int64_t>(length * copies));
    }
    return true;
}

inline std::size_t mutate(std::uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<Box> boxes;
    parse(data, 0, size, -1, boxes);
    if (boxes.empty() || random() % 4 == 0) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    const int index = static_cast<int>(random() % boxes.size());
    const Box box = boxes[static_cast<std::size_t>(index)];
    const std::size_t payload = box.offset + box.headerSize;
    const std::size_t payloadSize = box.end - payload;

    // Mostly sizes and counts; a repeat now and then, as it slows the runs
    // down with every megabyte it adds (and most of them, a lot).
    switch (random() % 6) {
    case 0: {  // the box's size
        if (box.largeSize) {
            write64(data + box.offset + 8, random() % 2 ? 0xFFFFFFFFFFFFFFFFull : read64(data + box.offset + 8) * 2);
        } else {
            static const std::uint32_t kSizes[] = {0, 1, 7, 8, 0xFFFFFFFFu};
            const std::uint32_t current = read32(data + box.offset);
            write32(data + box.offset, random() % 2 ? kSizes[random() % 5] : current + 1 + random() % 64);
        }
        return size;
    }
    case 1:
    case 2:
    case 3: {  // a count near the start of the payload (after version and flags, or a few fields in)
        if (payloadSize < 2) {
            return LLVMFuzzerMutate(data, size, maxSize);
        }
        const std::size_t limit = std::min<std::size_t>(payloadSize, 24);
        std::size_t at = payload + (random() % limit);
        if (random() % 2 == 0 && at + 4 <= box.end) {
            write32(data + at, interestingCount(random, read32(data + at)));
        } else if (at + 2 <= box.end) {
            const std::uint32_t value = interestingCount(random, (std::uint32_t{data[at]} << 8) | data[at + 1]);
            data[at] = static_cast<std::uint8_t>(value >> 8);
            data[at + 1] = static_cast<std::uint8_t>(value);
        } else {
            data[at] = static_cast<std::uint8_t>(interestingCount(random, data[at]));
        }
        return size;
    }
    default: {  // repeat the box, or a run of its payload, many times
        std::vector<std::uint8_t> bytes(data, data + size);
        const std::size_t room = maxSize > size ? maxSize - size : 0;
        bool done = false;
        if (random() % 2 == 0) {
            const std::size_t length = box.end - box.offset;
            const std::size_t most = std::min<std::size_t>(room / std::max<std::size_t>(length, 1), 100000);
            const std::size_t copies =
                most == 0 ? 0 : 1 + random() % (random() % 4 ? std::min<std::size_t>(most, 8) : most);
            done = repeat(bytes, boxes, box.parent, box.offset, length, copies, maxSize);
        } else if (payloadSize >= 4) {
            static const std::size_t kEntrySizes[] = {2, 4, 6, 8, 12, 16};
            const std::size_t length = std::min(kEntrySizes[random() % 6], payloadSize);
            const std::size_t from = payload + random() % (payloadSize - length + 1);
            const std::size_t most = std::min<std::size_t>(room / length, 1000000);
            const std::size_t copies =
                most == 0 ? 0 : 1 + random() % (random() % 4 ? std::min<std::size_t>(most, 64) : most);
            done = repeat(bytes, boxes, index, from, length, copies, maxSize);
        }
        if (!done) {
            return LLVMFuzzerMutate(data, size, maxSize);
        }
        std::memcpy(data, bytes.data(), bytes.size());
        return bytes.size();
    }
    }
}

}  // namespace boxmutator

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed)
{
    return boxmutator::mutate(data, size, maxSize, seed);
}
