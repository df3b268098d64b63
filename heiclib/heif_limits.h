// Limits that real HEIF files never reach and hostile files do. Each refusal
// names the limit it hit.
#pragma once

#include <cstdint>

namespace heiflimits {

// Root-level boxes read by one initialize(); the walk stops after this many.
constexpr std::uint32_t kMaxRootBoxes = 1024;
// Levels of item-offset (construction method 2) indirection followed when
// reading one item's bytes.
constexpr std::uint32_t kMaxItemReferenceDepth = 8;
// Samples of one track after expanding the sample tables. Image sequences hold
// hundreds or thousands of pictures; the limit keeps a hostile table of a few
// bytes from expanding into millions of records.
constexpr std::uint64_t kMaxSamplesPerTrack = 1u << 18;
// Entries of one track's presentation timeline: samples placed by the edit
// list, and the repetitions of a looping timeline.
constexpr std::uint64_t kMaxPresentationEntries = 1u << 15;

}  // namespace heiflimits
