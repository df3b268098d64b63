// Helpers for writing box bytes by hand in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/bitstream.h"
#include "heiclib/log.h"

namespace testbytes {

// Builds big-endian byte strings: Bytes().u32(1).str("hvc1").
class Bytes
{
public:
    Bytes() = default;
    Bytes(std::initializer_list<std::uint8_t> bytes) : mData(bytes) {}

    Bytes& u8(std::uint32_t v)
    {
        mData.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Bytes& u16(std::uint32_t v) { return u8(v >> 8).u8(v); }
    Bytes& u24(std::uint32_t v) { return u8(v >> 16).u8(v >> 8).u8(v); }
    Bytes& u32(std::uint32_t v) { return u16(v >> 16).u16(v); }
    Bytes& u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v >> 32)).u32(static_cast<std::uint32_t>(v)); }
    Bytes& str(const std::string& s)
    {
        mData.insert(mData.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& cstr(const std::string& s) { return str(s).u8(0); }
    Bytes& add(const std::vector<std::uint8_t>& v)
    {
        mData.insert(mData.end(), v.begin(), v.end());
        return *this;
    }
    Bytes& add(const Bytes& b) { return add(b.data()); }
    Bytes& zeros(std::size_t n)
    {
        mData.insert(mData.end(), n, 0);
        return *this;
    }

    const std::vector<std::uint8_t>& data() const { return mData; }
    std::size_t size() const { return mData.size(); }
    operator std::vector<std::uint8_t>() const { return mData; }  // NOLINT

private:
    std::vector<std::uint8_t> mData;
};

// A plain box: 32-bit size, type, payload.
inline Bytes box(const std::string& type, const Bytes& payload = {})
{
    return Bytes().u32(static_cast<std::uint32_t>(8 + payload.size())).str(type).add(payload);
}

// A full box: 32-bit size, type, version, flags, payload.
inline Bytes fullBox(const std::string& type, std::uint8_t version, std::uint32_t flags, const Bytes& payload = {})
{
    return Bytes().u32(static_cast<std::uint32_t>(12 + payload.size())).str(type).u8(version).u24(flags).add(payload);
}

inline ambrel::heif::BitStream stream(const Bytes& bytes)
{
    return ambrel::heif::BitStream(bytes.data());
}

// Parses a box object from bytes; returns the object.
template <typename BoxT>
BoxT parsed(const Bytes& bytes)
{
    BoxT b;
    ambrel::heif::BitStream s(bytes.data());
    b.parseBox(s);
    return b;
}

// Writes a box object and returns its bytes.
template <typename BoxT>
std::vector<std::uint8_t> written(BoxT& b)
{
    ambrel::heif::BitStream s;
    b.writeBox(s);
    return s.getStorage();
}

// Captures the diagnostic log at level 2 for the lifetime of the object.
class LogCapture
{
public:
    LogCapture()
    {
        mOldLevel = ambrel::log::level();
        ambrel::log::setLevel(ambrel::log::Info);
        ambrel::log::setSink([this](int channel, const std::string& text) { mLines.emplace_back(channel, text); });
    }
    ~LogCapture()
    {
        ambrel::log::setSink({});
        ambrel::log::setLevel(mOldLevel);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool has(int channel, const std::string& text) const
    {
        for (const auto& line : mLines) {
            if (line.first == channel && line.second == text) {
                return true;
            }
        }
        return false;
    }
    const std::vector<std::pair<int, std::string>>& lines() const { return mLines; }

private:
    int mOldLevel = 1;
    std::vector<std::pair<int, std::string>> mLines;
};

}  // namespace testbytes
