#include "cli/Terminal.h"

#include <cstdio>

namespace cli {

std::string Printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
            out += escape;
            ++i;
        } else if (c == '\\' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'u')) {
            out += "\\\\";
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace cli
