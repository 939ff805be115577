// The values the result browser hands to a front end: undefined, boolean,
// integer, text, array and map, each mapping one to one onto JSON.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace browse {

class ScriptValue {
public:
    struct Undefined {};
    using Array = std::vector<ScriptValue>;
    using Map = std::map<std::string, ScriptValue>;

    ScriptValue() = default;
    ScriptValue(bool v) : m_value(v) {}
    ScriptValue(std::int64_t v) : m_value(v) {}
    ScriptValue(int v) : m_value(std::int64_t {v}) {}
    ScriptValue(std::uint32_t v) : m_value(std::int64_t {v}) {}
    ScriptValue(std::string v) : m_value(std::move(v)) {}
    ScriptValue(const char* v) : m_value(std::string(v)) {}
    ScriptValue(Array v) : m_value(std::move(v)) {}
    ScriptValue(Map v) : m_value(std::move(v)) {}

    bool IsUndefined() const { return std::holds_alternative<Undefined>(m_value); }
    bool IsBool() const { return std::holds_alternative<bool>(m_value); }
    bool IsInt() const { return std::holds_alternative<std::int64_t>(m_value); }
    bool IsString() const { return std::holds_alternative<std::string>(m_value); }
    bool IsArray() const { return std::holds_alternative<Array>(m_value); }
    bool IsMap() const { return std::holds_alternative<Map>(m_value); }
    bool Bool() const { return IsBool() && std::get<bool>(m_value); }
    // The integer; any other kind of value reads as 0.
    std::int64_t Int() const { return IsInt() ? std::get<std::int64_t>(m_value) : 0; }
    const std::string& String() const;
    const Array& Items() const;
    const Map& Entries() const;
    // The value of `key` in a map; undefined when it has none (or this is no map).
    const ScriptValue& Get(const std::string& key) const;

    // The simple conversion of any value to text, as a script would write it:
    // a text as it is, integers in decimal, true/false, "undefined", an array
    // as its elements' texts joined by ",", a map as "[object Object]".
    std::string ToText() const;

    // JSON text; undefined is written as null.
    std::string ToJson() const;
    void AppendJson(std::string& out) const;

    bool operator==(const ScriptValue&) const = default;

private:
    std::variant<Undefined, bool, std::int64_t, std::string, Array, Map> m_value;

    friend bool operator==(const Undefined&, const Undefined&) { return true; }
};

// `text` as a JSON string literal, quotes included; bytes that are not UTF-8
// are written as U+FFFD.
std::string JsonQuote(const std::string& text);
// Appends `text` to `out` as JsonQuote writes it.
void AppendJsonQuoted(std::string& out, std::string_view text);

}  // namespace browse
