#include "browse/ScriptValue.h"

#include "platform/Text.h"

#include <cstdio>

namespace browse {

void AppendJsonQuoted(std::string& out, std::string_view text)
{
    // Malformed bytes become U+FFFD, one each, so the JSON is always valid
    // UTF-8. Runs of plain characters are copied whole.
    out += '"';
    std::size_t plain = 0;  // start of the run not copied yet
    std::size_t i = 0;
    auto flush = [&](std::size_t upTo) {
        out.append(text.substr(plain, upTo - plain));
    };
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            char32_t code = 0;
            const std::size_t length = platform::DecodeUtf8(text, i, code);
            if (length != 0) {
                i += length;
                continue;
            }
            flush(i);
            out += "\xEF\xBF\xBD";
            plain = ++i;
            continue;
        }
        flush(i);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
        }
        plain = ++i;
    }
    flush(i);
    out += '"';
}

std::string JsonQuote(const std::string& text)
{
    std::string out;
    AppendJsonQuoted(out, text);
    return out;
}

const std::string& ScriptValue::String() const
{
    static const std::string empty;
    return IsString() ? std::get<std::string>(m_value) : empty;
}

const ScriptValue::Array& ScriptValue::Items() const
{
    static const Array empty;
    return IsArray() ? std::get<Array>(m_value) : empty;
}

const ScriptValue::Map& ScriptValue::Entries() const
{
    static const Map empty;
    return IsMap() ? std::get<Map>(m_value) : empty;
}

const ScriptValue& ScriptValue::Get(const std::string& key) const
{
    static const ScriptValue undefined;
    const Map& map = Entries();
    const auto it = map.find(key);
    return it == map.end() ? undefined : it->second;
}

std::string ScriptValue::ToText() const
{
    struct Writer {
        std::string operator()(const Undefined&) const { return "undefined"; }
        std::string operator()(bool v) const { return v ? "true" : "false"; }
        std::string operator()(std::int64_t v) const { return std::to_string(v); }
        std::string operator()(const std::string& v) const { return v; }
        std::string operator()(const Array& v) const
        {
            std::string out;
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (i)
                    out += ',';
                out += v[i].ToText();
            }
            return out;
        }
        std::string operator()(const Map&) const { return "[object Object]"; }
    };
    return std::visit(Writer {}, m_value);
}

std::string ScriptValue::ToJson() const
{
    std::string out;
    AppendJson(out);
    return out;
}

void ScriptValue::AppendJson(std::string& out) const
{
    struct Writer {
        std::string& out;
        void operator()(const Undefined&) const { out += "null"; }
        void operator()(bool v) const { out += v ? "true" : "false"; }
        void operator()(std::int64_t v) const { out += std::to_string(v); }
        void operator()(const std::string& v) const { AppendJsonQuoted(out, v); }
        void operator()(const Array& v) const
        {
            out += '[';
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (i)
                    out += ',';
                v[i].AppendJson(out);
            }
            out += ']';
        }
        void operator()(const Map& v) const
        {
            out += '{';
            bool first = true;
            for (const auto& [key, value] : v) {
                if (!first)
                    out += ',';
                first = false;
                AppendJsonQuoted(out, key);
                out += ':';
                value.AppendJson(out);
            }
            out += '}';
        }
    };
    std::visit(Writer {out}, m_value);
}

}  // namespace browse
