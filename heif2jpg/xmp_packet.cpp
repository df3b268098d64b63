#include "heif2jpg/xmp_packet.h"

#include <algorithm>
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

bool isNameChar(char c)
{
    return !isSpace(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '?' && c != '!';
}

std::size_t endOfName(std::string_view text, std::size_t at)
{
    while (at < text.size() && isNameChar(text[at])) {
        ++at;
    }
    return at;
}

std::size_t skipSpaces(std::string_view text, std::size_t at)
{
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    return at;
}

// Past the first `terminator` at or after `at`; the end of the text without one.
std::size_t past(std::string_view text, std::size_t at, std::string_view terminator)
{
    const std::size_t found = text.find(terminator, at);
    return found == std::string_view::npos ? text.size() : found + terminator.size();
}

// Every tiff:Orientation value of the packet, in packet order: attributes
// of any element, and the text of <tiff:Orientation> elements that hold no
// markup. One pass over the text: every search starts where the last one
// left off, so a hostile packet costs no more than its length.
std::vector<ValueSpan> orientationValues(std::string_view text)
{
    std::vector<ValueSpan> values;
    constexpr std::size_t kNone = std::string_view::npos;
    std::size_t content = kNone;  // where the text of an open <tiff:Orientation> begins
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const std::size_t open = at;
        if (text.substr(open, 4) == "<!--") {
            content = kNone;
            at = past(text, open + 4, "-->");
            continue;
        }
        if (text.substr(open, 9) == "<![CDATA[") {
            content = kNone;
            at = past(text, open + 9, "]]>");
            continue;
        }
        if (text.substr(open, 2) == "<?" || text.substr(open, 2) == "<!") {
            at = past(text, open + 2, ">");
            continue;
        }
        const bool closing = text.substr(open, 2) == "</";
        const std::size_t nameBegin = open + (closing ? 2 : 1);
        const std::size_t nameEnd = endOfName(text, nameBegin);
        const std::string_view name = text.substr(nameBegin, nameEnd - nameBegin);
        if (closing) {
            if (content != kNone && name == kName) {
                values.push_back(trimmed(text, content, open));
            }
            content = kNone;
            at = past(text, nameEnd, ">");
            continue;
        }
        content = kNone;
        // The attributes, up to the end of the tag. A tag holds no markup:
        // the next '<' ends it whatever comes before (a quote that is never
        // closed would otherwise find its match somewhere further on).
        const std::size_t markup = std::min(text.find('<', nameEnd), text.size());
        const std::string_view tag = text.substr(0, markup);
        at = nameEnd;
        bool ended = false;
        bool empty = false;
        while (!ended) {
            at = skipSpaces(tag, at);
            if (at >= tag.size()) {
                break;  // a tag that never ends: go on from the next one
            }
            if (tag[at] == '>' || tag.substr(at, 2) == "/>") {
                empty = tag[at] == '/';
                at += empty ? 2 : 1;
                ended = true;
                break;
            }
            const std::size_t attributeEnd = endOfName(tag, at);
            if (attributeEnd == at) {
                ++at;  // a stray character
                continue;
            }
            const std::string_view attribute = tag.substr(at, attributeEnd - at);
            at = skipSpaces(tag, attributeEnd);
            if (at >= tag.size() || tag[at] != '=') {
                continue;
            }
            at = skipSpaces(tag, at + 1);
            if (at >= tag.size() || (tag[at] != '"' && tag[at] != '\'')) {
                continue;
            }
            const std::size_t close = tag.find(tag[at], at + 1);
            if (close == std::string_view::npos) {
                at = tag.size();
                break;
            }
            if (attribute == kName) {
                values.push_back(trimmed(tag, at + 1, close));
            }
            at = close + 1;
        }
        if (ended && !empty && name == kName) {
            content = at;
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
