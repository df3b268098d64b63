// One file's memory budget: every allocation whose size the file's contents
// decide (boxes read into memory, copies of child boxes, item and sample
// bytes, coded tiles, the decoded picture) is charged to it before it is
// made. Charges are never given back, so the budget bounds the work a file
// can cause as well as the memory it can hold at once.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "heiclib/heif_limits.h"

namespace ambrel::heif {

// Thrown by MemoryBudget::charge when a charge would pass the limit.
class MemoryBudgetExceeded : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class MemoryBudget
{
public:
    explicit MemoryBudget(std::uint64_t limit = limits::kMaxFileMemoryBytes) : mLimit(limit) {}

    std::uint64_t limit() const { return mLimit; }
    std::uint64_t charged() const { return mCharged; }

    std::uint64_t left() const { return mLimit - mCharged; }
    // The message of the first charge refused; empty while none was.
    const std::string& refusal() const { return mRefusal; }

    // Starts over with nothing charged and the given limit.
    void reset(std::uint64_t limit)
    {
        mLimit = limit;
        mCharged = 0;
        mRefusal.clear();
    }

    // Lowers the limit (never raises it), e.g. once the output's size is known.
    void lowerLimit(std::uint64_t limit)
    {
        if (limit < mLimit) {
            mLimit = limit;
        }
    }

    // Charges `bytes` for `what` (e.g. "the 'meta' box"); throws
    // MemoryBudgetExceeded, charging nothing, when that would pass the limit.
    void charge(std::uint64_t bytes, const std::string& what)
    {
        if (bytes > mLimit || mCharged > mLimit - bytes) {
            std::string message = what + " needs " + std::to_string(bytes) + " bytes, more than the memory budget of " +
                                  std::to_string(mLimit) + " bytes for this file allows (" + std::to_string(mCharged) +
                                  " bytes already used)";
            if (mRefusal.empty()) {
                mRefusal = message;
            }
            throw MemoryBudgetExceeded(message);
        }
        mCharged += bytes;
    }

private:
    std::uint64_t mLimit;
    std::uint64_t mCharged = 0;
    std::string mRefusal;
};

}  // namespace ambrel::heif
