// A small writer of JSON text for the command line's machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

// `text` as a JSON string literal, quotes included. Bytes that are not valid
// UTF-8 are written as U+FFFD so the output always parses.
std::string JsonString(std::string_view text);

// Keys are the program's own names in plain ASCII and are written as they
// are; values are escaped.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
    JsonObject& Add(std::string_view key, std::uint64_t value);
    JsonObject& Add(std::string_view key, std::int64_t value);
    JsonObject& Add(std::string_view key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
    JsonObject& Add(std::string_view key, unsigned value) { return Add(key, static_cast<std::uint64_t>(value)); }
    JsonObject& Add(std::string_view key, bool value);
    // `json` is already JSON text (an array or an object).
    JsonObject& AddRaw(std::string_view key, std::string_view json);
    std::string Text() const { return m_text + "}"; }

private:
    void Key(std::string_view key);
    std::string m_text = "{";
};

}  // namespace cli
