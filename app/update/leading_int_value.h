// The leading integer of a text: the number that servers' short answers and
// the parts of version texts stand for.
#pragma once

#include <QtCore/QStringView>

#include <climits>
#include <cstdint>

namespace ambrel::app {

// Optional white space, an optional sign and decimal digits, read up to the
// first other character: " 12abc" is 12, "-3" is -3, "abc" and "" are 0.
// Values beyond the int range are clamped to it.
inline int leadingIntValue(QStringView text)
{
    qsizetype at = 0;
    while (at < text.size() && text[at].isSpace()) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at] == u'-';
        ++at;
    }
    std::int64_t value = 0;
    for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
        value = value * 10 + (text[at].unicode() - u'0');
        if (value > std::int64_t{INT_MAX} + 1) {
            value = std::int64_t{INT_MAX} + 1;  // stays clamped; the digits go on
        }
    }
    if (negative) {
        return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    }
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace ambrel::app
