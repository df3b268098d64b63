// Text from files and file names made safe to print on a terminal.
//
// Brands, item types and file names come from whoever made the file; printed
// as they are, an ESC sequence in one can clear the screen, move the cursor or
// retitle the window, and a newline splits one report line into two. Control
// bytes are written as escapes instead: \n, \r, \t, and \xNN for the other C0
// controls, DEL, the C1 controls (U+0080 to U+009F, whose UTF-8 form some
// terminals obey) and bytes that are not part of valid UTF-8. The bidi
// controls that reorder what follows them (U+202A to U+202E, U+2066 to
// U+2069), with which a name could make a report line read otherwise, are
// written as \u202e and the like. Other valid UTF-8 text, such as a Chinese
// file name, stays as it is.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace ambrel::cli {

// The length of the valid UTF-8 sequence of two to four bytes at `at`, or 0
// when the bytes there are not one (overlong forms, surrogates and code
// points above U+10FFFF are not valid).
inline std::size_t utf8SequenceLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong forms
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char c = byte(at + i);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// Whether the valid UTF-8 sequence at `at` is a bidi embedding, override or
// isolate control (U+202A to U+202E, U+2066 to U+2069).
inline bool isBidiControl(std::string_view text, std::size_t at)
{
    if (at + 3 > text.size() || static_cast<unsigned char>(text[at]) != 0xE2) {
        return false;
    }
    const auto second = static_cast<unsigned char>(text[at + 1]);
    const auto third = static_cast<unsigned char>(text[at + 2]);
    return (second == 0x80 && third >= 0xAA && third <= 0xAE) || (second == 0x81 && third >= 0xA6 && third <= 0xA9);
}

// Opens /dev/null on each of standard input, output and error that is
// closed, before anything else opens a file: a file opened later would
// otherwise take that number, and a message meant for the terminal would be
// written into it.
inline void openClosedStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1) {
            const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened > 2) {
                ::close(opened);  // the number is taken after all
            }
        }
    }
}

inline std::string terminalSafe(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string safe;
    safe.reserve(text.size());
    const auto escapeByte = [&](unsigned char c) {
        safe += "\\x";
        safe += kHex[c >> 4];
        safe += kHex[c & 0x0F];
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            safe += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            safe += "\\n";
            ++i;
        } else if (c == '\r') {
            safe += "\\r";
            ++i;
        } else if (c == '\t') {
            safe += "\\t";
            ++i;
        } else if (c < 0x80) {
            escapeByte(c);  // the other C0 controls and DEL
            ++i;
        } else if (const std::size_t length = utf8SequenceLength(text, i); length == 0) {
            escapeByte(c);  // not UTF-8
            ++i;
        } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            escapeByte(c);  // a C1 control
            escapeByte(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else if (isBidiControl(text, i)) {
            const unsigned code = ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                                  (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            safe += "\\u2";
            safe += kHex[(code >> 8) & 0x0F];
            safe += kHex[(code >> 4) & 0x0F];
            safe += kHex[code & 0x0F];
            i += 3;
        } else {
            safe.append(text.substr(i, length));
            i += length;
        }
    }
    return safe;
}

}  // namespace ambrel::cli
