#include "ids.h"

namespace {
constexpr std::uint32_t kFirstId = 20000;
std::uint32_t gIdCounter = kFirstId;
}  // namespace

std::uint32_t createId(std::uint32_t offset)
{
    const std::uint32_t id = gIdCounter + offset;
    gIdCounter = id + 1;
    return id;
}

void resetIdCounter()
{
    gIdCounter = kFirstId;
}
