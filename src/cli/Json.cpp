#include "cli/Json.h"

#include "browse/ScriptValue.h"

namespace cli {

std::string JsonString(std::string_view text)
{
    std::string out;
    browse::AppendJsonQuoted(out, text);
    return out;
}

void JsonObject::Key(std::string_view key)
{
    if (m_text.size() > 1)
        m_text += ",";
    // Keys are the program's own names, plain ASCII: nothing to escape.
    m_text += '"';
    m_text += key;
    m_text += "\":";
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value)
{
    Key(key);
    browse::AppendJsonQuoted(m_text, value);
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
