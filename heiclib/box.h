// Base classes of every ISO BMFF box.
//
// parseBox receives a stream holding exactly this box, header included,
// positioned at its first byte; it fails only by exception (std::out_of_range
// when data runs out, std::runtime_error naming class and method for values it
// cannot handle). writeBox appends the box to a stream: writeHeader, the
// payload, then finalizeSize patches the size field.
#pragma once

#include <array>
#include <cstdint>

#include "heiclib/bitstream.h"
#include "heiclib/fourcc.h"

namespace ambrel::heif {

class Box
{
public:
    explicit Box(FourCCInt boxType);
    virtual ~Box() = default;

    virtual void writeBox(BitStream& output) = 0;
    virtual void parseBox(BitStream& input) = 0;

    std::uint32_t getSize() const { return mSize; }
    void setSize(std::uint32_t size) { mSize = size; }
    FourCCInt getType() const { return mType; }
    void setType(FourCCInt type) { mType = type; }
    // The 64-bit size of a header whose size field is 1, else 0.
    std::uint64_t getLargeSize() const { return (std::uint64_t(mLargeSize[0]) << 32) | mLargeSize[1]; }
    const std::array<std::uint32_t, 2>& getLargeSizeWords() const { return mLargeSize; }
    const std::array<std::uint8_t, 16>& getUserType() const { return mUserType; }
    void setUserType(const std::array<std::uint8_t, 16>& userType) { mUserType = userType; }

    // Reads size, type, the large size when size is 1 and the user type of a 'uuid'.
    void parseHeader(BitStream& input);

protected:
    // Records the output's byte count as this box's start and writes the header.
    void writeHeader(BitStream& output);
    // Sets the size to the bytes written since writeHeader and patches it in.
    void finalizeSize(BitStream& output);
    // Adds header or payload bytes to the size; switches to a 64-bit large size
    // when the 32-bit size would overflow.
    void addToSize(std::uint64_t bytes);

    std::uint32_t getStartOffset() const { return mStartOffset; }

private:
    std::uint32_t mSize = 8;
    FourCCInt mType;
    std::array<std::uint32_t, 2> mLargeSize{0, 0};  // high word first
    std::array<std::uint8_t, 16> mUserType{};
    std::uint32_t mStartOffset = 0;
};

class FullBox : public Box
{
public:
    FullBox(FourCCInt boxType, std::uint8_t version, std::uint32_t flags);

    std::uint8_t getVersion() const { return mVersion; }
    void setVersion(std::uint8_t version) { mVersion = version; }
    std::uint32_t getFlags() const { return mFlags; }
    void setFlags(std::uint32_t flags) { mFlags = flags & 0xffffffu; }

    // parseHeader, then version (8 bits) and flags (24 bits).
    void parseFullHeader(BitStream& input);

protected:
    void writeFullHeader(BitStream& output);

private:
    std::uint8_t mVersion = 0;
    std::uint32_t mFlags = 0;
};

}  // namespace ambrel::heif
