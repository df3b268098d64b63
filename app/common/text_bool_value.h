// The truth of a stored text, as the settings file and the statistics marks
// in it keep their flags.
#pragma once

#include <QtCore/QStringView>

namespace ambrel::app {

// After optional spaces, a first character of "1" to "9", "Y", "y", "T" or
// "t" is true; anything else (the empty text too) is false.
[[nodiscard]] inline bool textBoolValue(QStringView text)
{
    for (const QChar c : text) {
        if (c == u' ') {
            continue;
        }
        const char16_t u = c.unicode();
        return (u >= u'1' && u <= u'9') || u == u'Y' || u == u'y' || u == u'T' || u == u't';
    }
    return false;
}

}  // namespace ambrel::app
