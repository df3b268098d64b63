#include "cli/report.h"

namespace ambrel::cli {

// The text as a JSON string. Valid UTF-8 stays. Text that is not valid UTF-8
// (JSON text is UTF-8) is given losslessly instead, `escaped` set: each
// backslash doubled and each byte that is not part of UTF-8 as "\xNN" (in the
// decoded string), so that reading the string back, "\\" gives "\" and
// "\xNN" the byte.
std::string jsonString(std::string_view text, bool* escaped)
{
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : utf8SequenceLength(text, i);
        valid = length != 0;
        i += length;
    }
    if (escaped != nullptr) {
        *escaped = !valid;
    }
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += valid ? "\\\\" : "\\\\\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80) {
            const std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\\\x%02x", c);
                out += escape;
                ++i;
                continue;
            }
            out += text.substr(i, length);
            i += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

void printSummary(std::FILE* to, const convert::JobSummary& summary, int total, std::size_t abandoned)
{
    std::fprintf(to, "%d converted, %d failed", summary.converted, summary.failed);
    if (summary.skipped != 0) {
        std::fprintf(to, ", %d skipped", summary.skipped);
    }
    if (summary.stopped) {
        std::fprintf(to, ", %d not converted (interrupted",
                     total - summary.converted - summary.failed - summary.skipped);
        if (abandoned != 0) {
            std::fprintf(to, "; %zu being written abandoned", abandoned);
        }
        std::fprintf(to, ")");
    }
    std::fprintf(to, "\n");
}

}  // namespace ambrel::cli
