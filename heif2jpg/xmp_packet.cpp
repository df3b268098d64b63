#include "heif2jpg/xmp_packet.h"

#include <cstddef>
#include <string_view>
#include <utility>

namespace ambrel::pipeline::xmp {

namespace {

constexpr std::string_view kName = "tiff:Orientation";

// Where a value's text lies in the packet, surrounding white space left out.
struct ValueSpan
{
    std::size_t begin = 0;
    std::size_t end = 0;
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

ValueSpan trimmed(std::string_view text, std::size_t begin, std::size_t end)
{
    while (begin < end && isSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(text[end - 1])) {
        --end;
    }
    return {begin, end};
}

// The value of an element <tiff:Orientation ...>value</tiff:Orientation>
// whose name ends at `after`; false for an empty element, one holding
// markup, or one that is not closed.
bool elementValue(std::string_view text, std::size_t after, ValueSpan& value)
{
    if (after >= text.size() || !(isSpace(text[after]) || text[after] == '>' || text[after] == '/')) {
        return false;  // another name that starts the same
    }
    const std::size_t close = text.find('>', after);
    if (close == std::string_view::npos || text[close - 1] == '/') {
        return false;
    }
    const std::size_t end = text.find('<', close + 1);
    if (end == std::string_view::npos || text.substr(end, 2) != "</" || text.substr(end + 2, kName.size()) != kName) {
        return false;
    }
    const std::size_t tail = end + 2 + kName.size();
    if (tail >= text.size() || !(isSpace(text[tail]) || text[tail] == '>')) {
        return false;
    }
    value = trimmed(text, close + 1, end);
    return true;
}

// The value of an attribute tiff:Orientation = "value" (or 'value') whose
// name ends at `after`.
bool attributeValue(std::string_view text, std::size_t after, ValueSpan& value)
{
    std::size_t at = after;
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    if (at >= text.size() || text[at] != '=') {
        return false;
    }
    ++at;
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) {
        return false;
    }
    const std::size_t end = text.find(text[at], at + 1);
    // An attribute value holds no markup: a quote that is never closed would
    // otherwise find its match somewhere further on.
    if (end == std::string_view::npos || text.substr(at + 1, end - at - 1).find('<') != std::string_view::npos) {
        return false;
    }
    value = trimmed(text, at + 1, end);
    return true;
}

// Every tiff:Orientation value of the packet, in packet order.
std::vector<ValueSpan> orientationValues(std::string_view text)
{
    std::vector<ValueSpan> values;
    std::size_t at = 0;
    while ((at = text.find(kName, at)) != std::string_view::npos) {
        const std::size_t after = at + kName.size();
        ValueSpan value;
        bool found = false;
        if (at > 0 && text[at - 1] == '<') {
            found = elementValue(text, after, value);
        } else if (at > 0 && isSpace(text[at - 1])) {
            found = attributeValue(text, after, value);
        }
        if (found) {
            values.push_back(value);
            at = value.end;
        } else {
            at = after;
        }
    }
    return values;
}

std::string_view textOf(const std::vector<std::uint8_t>& packet)
{
    return {reinterpret_cast<const char*>(packet.data()), packet.size()};
}

}  // namespace

bool setOrientation(std::vector<std::uint8_t>& packet, int orientation)
{
    if (orientation < 1 || orientation > 8) {
        return false;
    }
    const std::vector<ValueSpan> values = orientationValues(textOf(packet));
    if (values.empty()) {
        return false;
    }
    // One pass that copies the packet with every value replaced.
    const auto digit = static_cast<std::uint8_t>('0' + orientation);
    std::vector<std::uint8_t> result;
    result.reserve(packet.size() + values.size());
    std::size_t copied = 0;
    for (const ValueSpan& value : values) {
        result.insert(result.end(), packet.begin() + std::ptrdiff_t(copied),
                      packet.begin() + std::ptrdiff_t(value.begin));
        result.push_back(digit);
        copied = value.end;
    }
    result.insert(result.end(), packet.begin() + std::ptrdiff_t(copied), packet.end());
    packet = std::move(result);
    return true;
}

int readOrientation(const std::vector<std::uint8_t>& packet)
{
    const std::string_view text = textOf(packet);
    for (const ValueSpan& value : orientationValues(text)) {
        const std::string_view digits = text.substr(value.begin, value.end - value.begin);
        if (digits.size() == 1 && digits[0] >= '1' && digits[0] <= '8') {
            return digits[0] - '0';
        }
    }
    return 0;
}

}  // namespace ambrel::pipeline::xmp
