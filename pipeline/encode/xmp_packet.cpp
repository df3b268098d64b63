#include "pipeline/encode/xmp_packet.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

namespace ambrel::pipeline::xmp {

namespace {

constexpr std::string_view kTiffNamespace = "http://ns.adobe.com/tiff/1.0/";
constexpr std::string_view kGainMapNamespace = "http://ns.adobe.com/hdr-gain-map/1.0/";
constexpr std::string_view kContainerNamespace = "http://ns.google.com/photos/1.0/container/";
constexpr std::string_view kContainerItemNamespace = "http://ns.google.com/photos/1.0/container/item/";

// Prefixes taken for their usual namespace when a packet uses them undeclared.
constexpr std::pair<std::string_view, std::string_view> kUsualPrefixes[] = {
    {"tiff", kTiffNamespace}, {"hdrgm", kGainMapNamespace}, {"Container", kContainerNamespace}};

bool isGainMapNamespace(std::string_view uri)
{
    return uri == kGainMapNamespace || uri == kContainerNamespace || uri == kContainerItemNamespace;
}

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

// Where a removal begins: before the white space that separates it from
// what comes before.
std::size_t withLeadingSpace(std::string_view text, std::size_t at)
{
    while (at > 0 && isSpace(text[at - 1])) {
        --at;
    }
    return at;
}

std::string_view prefixOf(std::string_view name)
{
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? std::string_view() : name.substr(0, colon);
}

std::string_view localNameOf(std::string_view name)
{
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

struct Attribute
{
    std::string_view name;
    std::size_t begin = 0;  // of its name
    std::size_t end = 0;    // past its closing quote
    ValueSpan value;        // between the quotes
};

// What the packet holds of interest: the Orientation values, and the spans
// that describe a gain map, both in packet order.
struct Findings
{
    std::vector<ValueSpan> orientations;
    std::vector<ValueSpan> gainMap;
};

class Scanner
{
public:
    explicit Scanner(std::string_view text) : mText(text) {}

    Findings scan()
    {
        std::size_t at = 0;
        while ((at = mText.find('<', at)) != std::string_view::npos) {
            const std::size_t open = at;
            if (mText.substr(open, 4) == "<!--" || mText.substr(open, 9) == "<![CDATA[") {
                markupInside();
                at = mText[open + 2] == '-' ? past(mText, open + 4, "-->") : past(mText, open + 9, "]]>");
            } else if (mText.substr(open, 2) == "<?" || mText.substr(open, 2) == "<!") {
                at = past(mText, open + 2, ">");
            } else if (mText.substr(open, 2) == "</") {
                at = endTag(open);
            } else {
                at = startTag(open);
            }
        }
        return std::move(mFound);
    }

private:
    struct Open
    {
        std::string_view name;
        std::size_t begin = 0;     // of its start tag
        std::size_t content = 0;   // past its start tag
        std::size_t bindings = 0;  // namespace declarations in scope outside it
        bool removed = false;      // it, or an element it is in, describes the gain map
        bool orientation = false;  // an Orientation element that holds no markup so far
    };

    // The namespace of an element's or attribute's name; an attribute
    // without a prefix has none.
    std::string_view namespaceOf(std::string_view name, bool attribute) const
    {
        const std::string_view prefix = prefixOf(name);
        if (attribute && prefix.empty()) {
            return {};
        }
        for (auto it = mBindings.rbegin(); it != mBindings.rend(); ++it) {
            if (it->first == prefix) {
                return it->second;
            }
        }
        for (const auto& [usual, uri] : kUsualPrefixes) {
            if (usual == prefix) {
                return uri;
            }
        }
        return {};
    }

    bool isOrientation(std::string_view name, bool attribute) const
    {
        return localNameOf(name) == "Orientation" && namespaceOf(name, attribute) == kTiffNamespace;
    }

    void markupInside()
    {
        if (!mOpen.empty()) {
            mOpen.back().orientation = false;
        }
    }

    std::size_t endTag(std::size_t open)
    {
        const std::size_t nameEnd = endOfName(mText, open + 2);
        const std::string_view name = mText.substr(open + 2, nameEnd - open - 2);
        const std::size_t end = past(mText, nameEnd, ">");
        // The element it closes, and any left open inside it. Only the
        // innermost elements are looked at, so that end tags that close
        // nothing cannot make the walk slow.
        constexpr std::size_t kDeepestClosed = 64;
        const std::size_t outermost = mOpen.size() > kDeepestClosed ? mOpen.size() - kDeepestClosed : 0;
        for (std::size_t i = mOpen.size(); i-- > outermost;) {
            if (mOpen[i].name != name) {
                continue;
            }
            if (i + 1 == mOpen.size() && mOpen[i].orientation) {
                mFound.orientations.push_back(trimmed(mText, mOpen[i].content, open));
            }
            if (mOpen[i].removed && (i == 0 || !mOpen[i - 1].removed)) {
                mFound.gainMap.push_back({withLeadingSpace(mText, mOpen[i].begin), end});
            }
            mBindings.resize(mOpen[i].bindings);
            mOpen.resize(i);
            break;
        }
        return end;
    }

    std::size_t startTag(std::size_t open)
    {
        markupInside();
        const std::size_t nameEnd = endOfName(mText, open + 1);
        const std::string_view name = mText.substr(open + 1, nameEnd - open - 1);
        // The attributes, up to the end of the tag. A tag holds no markup:
        // the next '<' ends it whatever comes before (a quote that is never
        // closed would otherwise find its match somewhere further on).
        const std::size_t markup = std::min(mText.find('<', nameEnd), mText.size());
        const std::string_view tag = mText.substr(0, markup);
        std::vector<Attribute> attributes;
        std::size_t at = nameEnd;
        bool ended = false;
        bool empty = false;
        while (!ended) {
            at = skipSpaces(tag, at);
            if (at >= tag.size()) {
                return at;  // a tag that never ends: go on from the next one
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
            Attribute attribute{tag.substr(at, attributeEnd - at), at, at, {}};
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
                return tag.size();
            }
            attribute.value = {at + 1, close};
            attribute.end = close + 1;
            attributes.push_back(attribute);
            at = close + 1;
        }

        const std::size_t outerBindings = mBindings.size();
        for (const Attribute& attribute : attributes) {
            if (attribute.name == "xmlns" || prefixOf(attribute.name) == "xmlns") {
                const std::string_view prefix =
                    attribute.name == "xmlns" ? std::string_view() : localNameOf(attribute.name);
                mBindings.emplace_back(
                    prefix, mText.substr(attribute.value.begin, attribute.value.end - attribute.value.begin));
            }
        }
        const bool inRemoved = !mOpen.empty() && mOpen.back().removed;
        const bool removed = inRemoved || isGainMapNamespace(namespaceOf(name, false));
        if (removed && !inRemoved && empty) {
            mFound.gainMap.push_back({withLeadingSpace(mText, open), at});
        } else if (!removed) {
            for (const Attribute& attribute : attributes) {
                const bool declaration = attribute.name == "xmlns" || prefixOf(attribute.name) == "xmlns";
                const std::string_view uri =
                    declaration ? mText.substr(attribute.value.begin, attribute.value.end - attribute.value.begin)
                                : namespaceOf(attribute.name, true);
                if (isGainMapNamespace(uri)) {
                    mFound.gainMap.push_back({withLeadingSpace(mText, attribute.begin), attribute.end});
                } else if (!declaration && isOrientation(attribute.name, true)) {
                    mFound.orientations.push_back(trimmed(mText, attribute.value.begin, attribute.value.end));
                }
            }
        }
        if (empty) {
            mBindings.resize(outerBindings);
        } else {
            mOpen.push_back({name, open, at, outerBindings, removed, !removed && isOrientation(name, false)});
        }
        return at;
    }

    std::string_view mText;
    std::vector<std::pair<std::string_view, std::string_view>> mBindings;  // prefix, namespace
    std::vector<Open> mOpen;
    Findings mFound;
};

std::string_view textOf(const std::vector<std::uint8_t>& packet)
{
    return {reinterpret_cast<const char*>(packet.data()), packet.size()};
}

// The packet with every span (in packet order, apart) replaced by
// `replacement`, or removed when it is 0; one pass.
std::vector<std::uint8_t> replaced(const std::vector<std::uint8_t>& packet, const std::vector<ValueSpan>& spans,
                                   char replacement)
{
    std::vector<std::uint8_t> result;
    result.reserve(packet.size() + spans.size());
    std::size_t copied = 0;
    for (const ValueSpan& span : spans) {
        if (span.begin < copied) {
            continue;  // overlaps the last one
        }
        result.insert(result.end(), packet.begin() + std::ptrdiff_t(copied),
                      packet.begin() + std::ptrdiff_t(span.begin));
        if (replacement != 0) {
            result.push_back(static_cast<std::uint8_t>(replacement));
        }
        copied = span.end;
    }
    result.insert(result.end(), packet.begin() + std::ptrdiff_t(copied), packet.end());
    return result;
}

}  // namespace

bool setOrientation(std::vector<std::uint8_t>& packet, int orientation)
{
    if (orientation < 1 || orientation > 8) {
        return false;
    }
    const std::vector<ValueSpan> values = Scanner(textOf(packet)).scan().orientations;
    if (values.empty()) {
        return false;
    }
    packet = replaced(packet, values, static_cast<char>('0' + orientation));
    return true;
}

int readOrientation(const std::vector<std::uint8_t>& packet)
{
    const std::string_view text = textOf(packet);
    for (const ValueSpan& value : Scanner(text).scan().orientations) {
        const std::string_view digits = text.substr(value.begin, value.end - value.begin);
        if (digits.size() == 1 && digits[0] >= '1' && digits[0] <= '8') {
            return digits[0] - '0';
        }
    }
    return 0;
}

bool removeGainMap(std::vector<std::uint8_t>& packet)
{
    const std::vector<ValueSpan> spans = Scanner(textOf(packet)).scan().gainMap;
    if (spans.empty()) {
        return false;
    }
    packet = replaced(packet, spans, 0);
    return true;
}

}  // namespace ambrel::pipeline::xmp
