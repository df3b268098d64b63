// The byte container through which every box is read and written.
//
// A BitStream owns a copy of its bytes and keeps a read position made of a
// byte offset and a bit offset. Reads are big-endian, bit fields most
// significant bit first. Every read is bounds-checked: reading past the end
// throws std::out_of_range. Byte-wise reads ignore (and keep) the bit position.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "heiclib/fourcc.h"

namespace ambrel::heif {

class MemoryBudget;

class BitStream
{
public:
    BitStream() = default;
    explicit BitStream(const std::vector<std::uint8_t>& bytes);
    explicit BitStream(std::vector<std::uint8_t>&& bytes);
    // Copies the bytes the view shows.
    explicit BitStream(std::span<const std::uint8_t> bytes);

    // --- state ---
    [[nodiscard]] std::uint32_t getBytePosition() const { return mBytePos; }
    void seekBytePosition(std::uint32_t position) { mBytePos = position; }
    void advanceBytes(std::uint32_t count) { mBytePos += count; }
    [[nodiscard]] bool atByteBoundary() const { return mBitPos == 0; }
    [[nodiscard]] std::uint32_t byteCount() const { return static_cast<std::uint32_t>(mStorage.size()); }
    [[nodiscard]] std::int32_t bytesRemaining() const;
    void resetPositions();
    void clearData() { mStorage.clear(); }
    std::uint8_t peekByte(std::uint32_t offset) const;
    void patchByte(std::uint32_t offset, std::uint8_t value);
    const std::vector<std::uint8_t>& getStorage() const { return mStorage; }

    // The file's memory budget, or none (the default). Copies this stream
    // makes of its bytes (child boxes, byte runs) are charged to it, and the
    // child streams it cuts out charge the same budget.
    void setMemoryBudget(MemoryBudget* budget) { mBudget = budget; }
    MemoryBudget* memoryBudget() const { return mBudget; }

    // Throws std::out_of_range (naming `what`) unless `count` entries of at least
    // `bytesEach` bytes can still be read. Call it before sizing any container
    // from a count read out of a box, so a hostile count cannot allocate.
    void requireEntries(std::uint64_t count, std::uint64_t bytesEach, const char* what) const;

    // --- reading ---
    std::uint8_t readUInt8();
    std::uint16_t readUInt16();
    std::uint32_t readUInt24();
    std::uint32_t readUInt32();
    std::uint64_t readUInt64();
    std::uint32_t readBitField(unsigned bits);
    std::uint32_t readUnsignedExpGolomb();
    std::int32_t readSignedExpGolomb();
    void readFixedString(std::string& out, std::uint32_t count);
    void readCString(std::string& out);
    void readBytes(std::vector<std::uint8_t>& out, std::uint32_t count);
    // Cuts the next whole box (header included) out as a stream of its own and
    // moves past it. Refuses a size of 0, a size smaller than the box's own
    // header and a box that reaches past the end of this stream.
    BitStream readChildBox(FourCCInt& type);
    void copyRange(std::uint32_t begin, std::uint32_t end, BitStream& destination) const;

    // --- writing ---
    void writeUInt8(std::uint8_t value);
    void writeUInt16(std::uint16_t value);
    void writeUInt24(std::uint32_t value);
    void writeUInt32(std::uint32_t value);
    void writeUInt64(std::uint64_t value);
    void writeBitField(std::uint32_t value, unsigned bits);
    void writeString(const std::string& text);
    void writeCString(const std::string& text);
    // Appends `count` bytes of `bytes` from `offset` on; throws
    // std::out_of_range when the range runs past the source.
    void writeBytes(const std::vector<std::uint8_t>& bytes, std::uint32_t count, std::uint32_t offset = 0);
    void writeBytes(std::span<const std::uint8_t> bytes);

private:
    std::uint8_t nextByte();
    void requireBytes(std::uint64_t count, const char* what) const;

    std::vector<std::uint8_t> mStorage;
    std::uint32_t mAccumulator = 0;
    std::uint32_t mBytePos = 0;
    std::int32_t mBitPos = 0;
    bool mOwnsStorage = false;  // true for streams made by readChildBox; informational only
    MemoryBudget* mBudget = nullptr;

    friend class BitStreamTestAccess;
};

}  // namespace ambrel::heif
