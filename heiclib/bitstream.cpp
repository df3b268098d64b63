#include "heiclib/bitstream.h"

#include <stdexcept>

#include "heiclib/box_types.h"
#include "heiclib/log.h"
#include "heiclib/memory_budget.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void outOfRange(const std::string& text)
{
    throw std::out_of_range(text);
}

}  // namespace

BitStream::BitStream(const std::vector<std::uint8_t>& bytes) : mStorage(bytes) {}

BitStream::BitStream(std::vector<std::uint8_t>&& bytes) : mStorage(std::move(bytes)) {}

BitStream::BitStream(std::span<const std::uint8_t> bytes) : mStorage(bytes.begin(), bytes.end()) {}

std::int32_t BitStream::bytesRemaining() const
{
    return static_cast<std::int32_t>(static_cast<std::int64_t>(mStorage.size()) - static_cast<std::int64_t>(mBytePos));
}

void BitStream::resetPositions()
{
    mAccumulator = 0;
    mBytePos = 0;
    mBitPos = 0;
}

std::uint8_t BitStream::peekByte(std::uint32_t offset) const
{
    if (offset >= mStorage.size()) {
        outOfRange("BitStream::peekByte: offset " + std::to_string(offset) + " past the end (" +
                   std::to_string(mStorage.size()) + " bytes)");
    }
    return mStorage[offset];
}

void BitStream::patchByte(std::uint32_t offset, std::uint8_t value)
{
    if (offset >= mStorage.size()) {
        outOfRange("BitStream::patchByte: offset " + std::to_string(offset) + " past the end (" +
                   std::to_string(mStorage.size()) + " bytes)");
    }
    mStorage[offset] = value;
}

void BitStream::requireBytes(std::uint64_t count, const char* what) const
{
    const std::uint64_t available = mBytePos < mStorage.size() ? mStorage.size() - mBytePos : 0;
    if (count > available) {
        outOfRange(std::string("BitStream::") + what + ": " + std::to_string(count) + " bytes requested, " +
                   std::to_string(available) + " left");
    }
}

void BitStream::requireEntries(std::uint64_t count, std::uint64_t bytesEach, const char* what) const
{
    const std::uint64_t available = mBytePos < mStorage.size() ? mStorage.size() - mBytePos : 0;
    // count and bytesEach both fit in 32 bits in practice; guard the product anyway.
    if (bytesEach != 0 && count > available / bytesEach) {
        outOfRange(std::string(what) + ": " + std::to_string(count) + " entries of " + std::to_string(bytesEach) +
                   " bytes do not fit in the " + std::to_string(available) + " bytes left");
    }
}

std::uint8_t BitStream::nextByte()
{
    if (mBytePos >= mStorage.size()) {
        outOfRange("BitStream: read past the end of " + std::to_string(mStorage.size()) + " bytes");
    }
    return mStorage[mBytePos++];
}

std::uint8_t BitStream::readUInt8()
{
    return nextByte();
}

std::uint16_t BitStream::readUInt16()
{
    std::uint16_t value = nextByte();
    value = static_cast<std::uint16_t>((value << 8) | nextByte());
    return value;
}

std::uint32_t BitStream::readUInt24()
{
    std::uint32_t value = nextByte();
    value = (value << 8) | nextByte();
    value = (value << 8) | nextByte();
    return value;
}

std::uint32_t BitStream::readUInt32()
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | nextByte();
    }
    return value;
}

std::uint64_t BitStream::readUInt64()
{
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | nextByte();
    }
    return value;
}

std::uint32_t BitStream::readBitField(unsigned bits)
{
    if (bits == 0) {
        return 0;
    }
    if (bits > 32) {
        throw std::invalid_argument("BitStream::readBitField: at most 32 bits, " + std::to_string(bits) + " asked");
    }
    if (mBytePos >= mStorage.size()) {
        outOfRange("BitStream::readBitField: read past the end of " + std::to_string(mStorage.size()) + " bytes");
    }
    const unsigned free = 8u - static_cast<unsigned>(mBitPos);
    if (bits <= free) {
        const std::uint32_t result = (mStorage[mBytePos] >> (free - bits)) & ((1u << bits) - 1u);
        mBitPos += static_cast<std::int32_t>(bits);
        if (mBitPos == 8) {
            mBitPos = 0;
            ++mBytePos;
        }
        return result;
    }
    std::uint64_t result = mStorage[mBytePos] & ((1u << free) - 1u);
    ++mBytePos;
    mBitPos = 0;
    unsigned wanted = bits - free;
    while (wanted >= 8) {
        result = (result << 8) | nextByte();
        wanted -= 8;
    }
    if (wanted > 0) {
        if (mBytePos >= mStorage.size()) {
            outOfRange("BitStream::readBitField: read past the end of " + std::to_string(mStorage.size()) + " bytes");
        }
        result = (result << wanted) | (mStorage[mBytePos] >> (8 - wanted));
        mBitPos = static_cast<std::int32_t>(wanted);
    }
    return static_cast<std::uint32_t>(result);
}

std::uint32_t BitStream::readUnsignedExpGolomb()
{
    unsigned zeros = 0;
    while (readBitField(1) == 0) {
        if (++zeros > 31) {
            throw std::runtime_error("BitStream::readUnsignedExpGolomb: code longer than 32 bits");
        }
    }
    return readBitField(zeros) + ((1u << zeros) - 1u);
}

std::int32_t BitStream::readSignedExpGolomb()
{
    const std::uint64_t u = readUnsignedExpGolomb();
    const auto m = static_cast<std::int64_t>((u + 1) / 2);
    return static_cast<std::int32_t>((u & 1) ? m : -m);
}

void BitStream::readFixedString(std::string& out, std::uint32_t count)
{
    out.clear();
    requireBytes(count, "readFixedString");
    out.append(reinterpret_cast<const char*>(mStorage.data() + mBytePos), count);
    mBytePos += count;
}

void BitStream::readCString(std::string& out)
{
    out.clear();
    std::uint32_t end = mBytePos;
    while (end < mStorage.size() && mStorage[end] != 0) {
        ++end;
    }
    if (end >= mStorage.size()) {
        mBytePos = static_cast<std::uint32_t>(mStorage.size());
        outOfRange("BitStream::readCString: no terminating zero byte before the end of the data");
    }
    out.append(reinterpret_cast<const char*>(mStorage.data() + mBytePos), end - mBytePos);
    mBytePos = end + 1;
}

void BitStream::readBytes(std::vector<std::uint8_t>& out, std::uint32_t count)
{
    requireBytes(count, "readBytes");
    if (mBudget != nullptr) {
        mBudget->charge(count, "a copy of box contents");
    }
    out.insert(out.end(), mStorage.begin() + mBytePos, mStorage.begin() + mBytePos + count);
    mBytePos += count;
}

BitStream BitStream::readChildBox(FourCCInt& type)
{
    const std::uint32_t start = mBytePos;
    const std::uint32_t size32 = readUInt32();
    type = FourCCInt(readUInt32());
    std::uint64_t size = size32;
    std::uint32_t headerSize = 8;
    if (size32 == 1) {
        // The whole 64-bit size counts: one beyond what the container holds is
        // refused below rather than cut to its low 32 bits.
        size = readUInt64();
        headerSize = 16;
    }
    if (type == boxtype::kUuid) {
        headerSize += 16;
    }
    mBytePos = start;
    if (size32 == 0) {
        outOfRange("BitStream::readChildBox: box '" + type.getString() + "' has size 0 inside a container");
    }
    if (size < headerSize) {
        outOfRange("BitStream::readChildBox: box '" + type.getString() + "' size (" + std::to_string(size) +
                   " bytes) smaller than its header (" + std::to_string(headerSize) + " bytes)");
    }
    const std::uint64_t available = mStorage.size() - start;
    if (size > available) {
        outOfRange("BitStream::readChildBox: box '" + type.getString() + "' of " + std::to_string(size) +
                   " bytes reaches past its container (" + std::to_string(available) + " bytes left)");
    }
    const auto length = static_cast<std::uint32_t>(size);
    if (mBudget != nullptr) {
        mBudget->charge(length, "the copy of box '" + type.getString() + "'");
    }
    BitStream child(std::span<const std::uint8_t>(mStorage).subspan(start, length));
    child.mOwnsStorage = true;
    child.mBudget = mBudget;
    mBytePos = start + length;
    return child;
}

void BitStream::copyRange(std::uint32_t begin, std::uint32_t end, BitStream& destination) const
{
    if (begin > end || end > mStorage.size()) {
        outOfRange("BitStream::copyRange: range [" + std::to_string(begin) + ", " + std::to_string(end) + ") outside " +
                   std::to_string(mStorage.size()) + " bytes");
    }
    if (mBudget != nullptr) {
        mBudget->charge(end - begin, "a copy of box contents");
    }
    destination.mStorage.assign(mStorage.begin() + begin, mStorage.begin() + end);
    destination.mBudget = mBudget;
    destination.resetPositions();
}

void BitStream::writeUInt8(std::uint8_t value)
{
    mStorage.push_back(value);
}

void BitStream::writeUInt16(std::uint16_t value)
{
    mStorage.push_back(static_cast<std::uint8_t>(value >> 8));
    mStorage.push_back(static_cast<std::uint8_t>(value));
}

void BitStream::writeUInt24(std::uint32_t value)
{
    mStorage.push_back(static_cast<std::uint8_t>(value >> 16));
    mStorage.push_back(static_cast<std::uint8_t>(value >> 8));
    mStorage.push_back(static_cast<std::uint8_t>(value));
}

void BitStream::writeUInt32(std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        mStorage.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void BitStream::writeUInt64(std::uint64_t value)
{
    for (int shift = 56; shift >= 0; shift -= 8) {
        mStorage.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void BitStream::writeBitField(std::uint32_t value, unsigned bits)
{
    while (bits > 0) {
        const unsigned free = 8u - static_cast<unsigned>(mBitPos);
        if (bits >= free) {
            const std::uint32_t top = (value >> (bits - free)) & ((1u << free) - 1u);
            mAccumulator |= top;
            mStorage.push_back(static_cast<std::uint8_t>(mAccumulator));
            mAccumulator = 0;
            mBitPos = 0;
            bits -= free;
        } else {
            const std::uint32_t rest = value & ((1u << bits) - 1u);
            mAccumulator |= rest << (free - bits);
            mBitPos += static_cast<std::int32_t>(bits);
            bits = 0;
        }
    }
}

void BitStream::writeString(const std::string& text)
{
    if (text.empty()) {
        log::warning("BitStream::writeString called for zero-length string.");
        return;
    }
    mStorage.insert(mStorage.end(), text.begin(), text.end());
}

void BitStream::writeCString(const std::string& text)
{
    mStorage.insert(mStorage.end(), text.begin(), text.end());
    mStorage.push_back(0);
}

void BitStream::writeBytes(const std::vector<std::uint8_t>& bytes, std::uint32_t count, std::uint32_t offset)
{
    if (std::uint64_t(offset) + count > bytes.size()) {
        outOfRange("BitStream::writeBytes: range past the end of the source");
    }
    writeBytes(std::span<const std::uint8_t>(bytes).subspan(offset, count));
}

void BitStream::writeBytes(std::span<const std::uint8_t> bytes)
{
    mStorage.insert(mStorage.end(), bytes.begin(), bytes.end());
}

}  // namespace ambrel::heif
