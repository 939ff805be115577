#include "cli/Json.h"

#include "platform/Text.h"

#include <cstdio>

namespace cli {

std::string JsonString(std::string_view text)
{
    // A round trip through UTF-16 replaces malformed bytes.
    const std::string clean = platform::Utf16ToUtf8(platform::Utf8ToUtf16(text));
    std::string out = "\"";
    for (const char ch : clean) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

void JsonObject::Key(std::string_view key)
{
    if (m_text.size() > 1)
        m_text += ",";
    m_text += JsonString(key);
    m_text += ":";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value)
{
    Key(key);
    m_text += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::uint64_t value)
{
    Key(key);
    m_text += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value)
{
    Key(key);
    m_text += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value)
{
    Key(key);
    m_text += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json)
{
    Key(key);
    m_text += json;
    return *this;
}

}  // namespace cli
