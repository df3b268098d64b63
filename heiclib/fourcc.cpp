#include "heiclib/fourcc.h"

#include <ostream>
#include <stdexcept>

namespace ambrel::heif {

FourCCInt::FourCCInt(const std::string& text)
{
    if (text.size() != 4) {
        throw std::runtime_error("FourCCInt given an String argument not exactly 4 characters long");
    }
    mValue = (std::uint32_t(std::uint8_t(text[0])) << 24) | (std::uint32_t(std::uint8_t(text[1])) << 16) |
             (std::uint32_t(std::uint8_t(text[2])) << 8) | std::uint32_t(std::uint8_t(text[3]));
}

std::string FourCCInt::getString() const
{
    std::string text(4, '\0');
    text[0] = char((mValue >> 24) & 0xff);
    text[1] = char((mValue >> 16) & 0xff);
    text[2] = char((mValue >> 8) & 0xff);
    text[3] = char(mValue & 0xff);
    return text;
}

std::ostream& operator<<(std::ostream& out, const FourCCInt& code)
{
    return out << code.getString();
}

}  // namespace ambrel::heif
