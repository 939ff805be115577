#include "host/Wire.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace host {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxIdChars = 64;

// The deepest nesting of arrays and objects in `text`, counted outside
// strings; stops counting past `limit`.
int Nesting(std::string_view text, int limit)
{
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit)
                return deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// A JSON value as a script value: null as undefined, a whole number as an
// integer, a number with a fraction (or out of range) as undefined, which
// reads as 0 where an integer is expected.
bridge::Value ToValue(const Json& json)
{
    switch (json.type()) {
    case Json::value_t::boolean:
        return bridge::Value(json.get<bool>());
    case Json::value_t::number_integer:
        return bridge::Value(json.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
        const auto v = json.get<std::uint64_t>();
        if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return bridge::Value(static_cast<std::int64_t>(v));
        return {};
    }
    case Json::value_t::number_float: {
        const double v = json.get<double>();
        if (std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 9.0e18)
            return bridge::Value(static_cast<std::int64_t>(v));
        return {};
    }
    case Json::value_t::string:
        return bridge::Value(json.get<std::string>());
    case Json::value_t::array: {
        bridge::Value::Array items;
        items.reserve(json.size());
        for (const Json& item : json)
            items.push_back(ToValue(item));
        return bridge::Value(std::move(items));
    }
    case Json::value_t::object: {
        bridge::Value::Map entries;
        for (const auto& [key, item] : json.items())
            entries.emplace(key, ToValue(item));
        return bridge::Value(std::move(entries));
    }
    default:
        return {};
    }
}

}  // namespace

bool ParseCall(std::string_view text, CallMessage& call, std::string& error)
{
    call = {};
    if (Nesting(text, kMaxNesting) > kMaxNesting) {
        error = "the message nests too deeply";
        return false;
    }
    const Json json = Json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded()) {
        error = "the message is no JSON";
        return false;
    }
    if (!json.is_object()) {
        error = "the message is no object";
        return false;
    }
    if (const auto id = json.find("id"); id != json.end()) {
        if (id->is_number_integer() || id->is_number_unsigned() ||
            (id->is_string() && id->get_ref<const std::string&>().size() <= kMaxIdChars))
            call.id = id->dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    const auto name = json.find("call");
    if (name == json.end() || !name->is_string()) {
        error = "the message names no call";
        return false;
    }
    call.name = name->get<std::string>();
    if (const auto args = json.find("args"); args != json.end()) {
        if (!args->is_array()) {
            error = "the arguments are no array";
            return false;
        }
        call.args.reserve(args->size());
        for (const Json& arg : *args)
            call.args.push_back(ToValue(arg));
    }
    return true;
}

std::string AnswerText(const std::string& id, bool handled, const bridge::Value& value)
{
    std::string text = "{\"id\":" + id + ",\"handled\":" + (handled ? "true" : "false");
    if (handled) {
        text += ",\"value\":";
        value.AppendJson(text);
    } else {
        text += ",\"error\":\"not handled\"";
    }
    text += '}';
    return text;
}

std::string RefusalText(const std::string& id, const std::string& error)
{
    return "{\"id\":" + id + ",\"handled\":false,\"error\":" + browse::JsonQuote(error) + "}";
}

std::string NotificationText(const std::string& name, const bridge::Values& args)
{
    std::string text = "{\"notify\":" + browse::JsonQuote(name) + ",\"args\":[";
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i != 0)
            text += ',';
        args[i].AppendJson(text);
    }
    text += "]}";
    return text;
}

}  // namespace host
