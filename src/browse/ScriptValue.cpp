#include "browse/ScriptValue.h"

#include "platform/Text.h"

#include <cstdio>

namespace browse {
namespace {

// The length of the well-formed UTF-8 sequence at `at` (1 to 4), or 0 when
// the byte there starts none: a stray continuation byte, a sequence cut
// short, an overlong form, a surrogate or a code point past U+10FFFF.
std::size_t SequenceLength(const std::string& text, std::size_t at)
{
    const auto b0 = static_cast<unsigned char>(text[at]);
    std::size_t extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1; c = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2; c = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3; c = b0 & 0x07; min = 0x10000;
    } else {
        return 0;
    }
    if (at + extra >= text.size())
        return 0;
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(text[at + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return extra + 1;
}

void AppendString(std::string& out, const std::string& text)
{
    // Malformed bytes become U+FFFD, one each, so the JSON is always valid
    // UTF-8. Runs of plain characters are copied whole.
    out += '"';
    std::size_t plain = 0;  // start of the run not copied yet
    std::size_t i = 0;
    auto flush = [&](std::size_t upTo) {
        out.append(text, plain, upTo - plain);
    };
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t length = SequenceLength(text, i);
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

}  // namespace

std::string JsonQuote(const std::string& text)
{
    std::string out;
    AppendString(out, text);
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
        void operator()(const std::string& v) const { AppendString(out, v); }
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
                AppendString(out, key);
                out += ':';
                value.AppendJson(out);
            }
            out += '}';
        }
    };
    std::visit(Writer {out}, m_value);
}

}  // namespace browse
