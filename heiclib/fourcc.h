// Four-character codes held as one 32-bit value, first character in the most
// significant byte ('ftyp' == 0x66747970).
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace ambrel::heif {

class FourCCInt
{
public:
    constexpr FourCCInt() = default;
    constexpr FourCCInt(std::uint32_t value) : mValue(value) {}  // NOLINT: implicit by design
    // From a string literal: FourCCInt("hvc1"). Checked at compile time for literals.
    constexpr FourCCInt(const char (&text)[5])  // NOLINT: implicit by design
        : mValue((std::uint32_t(std::uint8_t(text[0])) << 24) | (std::uint32_t(std::uint8_t(text[1])) << 16) |
                 (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3])))
    {}
    // Throws std::runtime_error unless the text is exactly four characters long.
    FourCCInt(const std::string& text);  // NOLINT: implicit by design

    constexpr std::uint32_t getUInt32() const { return mValue; }
    std::string getString() const;

    // Ordered by the 32-bit value, which is the order of the texts byte by byte.
    constexpr bool operator==(const FourCCInt& other) const = default;
    // NOLINTNEXTLINE(modernize-use-nullptr): clang-tidy 14 takes the 0 of rewritten comparisons for a pointer.
    constexpr auto operator<=>(const FourCCInt& other) const = default;

private:
    std::uint32_t mValue = 0;
};

std::ostream& operator<<(std::ostream& out, const FourCCInt& code);

// The text of a code as a constant NUL-terminated string, for interfaces that
// hand out const char*: kFourCCText<boxtype::kIspe.getUInt32()> is "ispe".
template <std::uint32_t Code>
inline constexpr char kFourCCText[5] = {char((Code >> 24) & 0xff), char((Code >> 16) & 0xff), char((Code >> 8) & 0xff),
                                        char(Code & 0xff), '\0'};

}  // namespace ambrel::heif

template <>
struct std::hash<ambrel::heif::FourCCInt>
{
    std::size_t operator()(const ambrel::heif::FourCCInt& code) const noexcept { return code.getUInt32(); }
};
