// Process-wide identifier counter shared by all readers in the process.
#pragma once

#include <cstdint>

namespace ambrel::heif {

// Returns counter + offset and moves the counter to that value + 1. The counter
// starts at 20000. Safe to call from several threads at once (the converter
// opens readers on several threads); each call gets an id of its own.
std::uint32_t createId(std::uint32_t offset);

// Sets the counter back to 20000 (used by the file-writing side and by tests).
void resetIdCounter();

}  // namespace ambrel::heif
