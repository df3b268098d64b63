#include "heiclib/ids.h"

#include <atomic>

namespace ambrel::heif {

namespace {
constexpr std::uint32_t kFirstId = 20000;
std::atomic<std::uint32_t> gIdCounter{kFirstId};
}  // namespace

std::uint32_t createId(std::uint32_t offset)
{
    // One atomic step: the id is the old counter plus the offset, and the
    // counter moves one past it, so readers on several threads never draw
    // the same id and one thread sees the same numbering as before.
    return gIdCounter.fetch_add(offset + 1, std::memory_order_relaxed) + offset;
}

void resetIdCounter()
{
    gIdCounter.store(kFirstId, std::memory_order_relaxed);
}

}  // namespace ambrel::heif
