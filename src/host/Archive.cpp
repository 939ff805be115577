#include "host/Archive.h"

#include <algorithm>
#include <cctype>

namespace host {
namespace {

constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kEntryBytes = 16;
// A resource name and its terminating zero fit 260 characters.
constexpr std::size_t kNameBuffer = 260;

std::uint32_t Le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

std::string Upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

bool Archive::Open(const unsigned char* bytes, std::size_t size)
{
    m_items.clear();
    if (bytes == nullptr || size < kHeaderBytes || std::string_view(reinterpret_cast<const char*>(bytes), 4) !=
                                                       std::string_view("SAr\0", 4))
        return false;
    if (Le32(bytes + 4) != 1)
        return false;
    const std::uint64_t count = Le32(bytes + 8);
    if (count > (size - kHeaderBytes) / kEntryBytes)
        return false;
    std::map<std::string, std::string_view, std::less<>> items;
    for (std::uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = bytes + kHeaderBytes + i * kEntryBytes;
        const std::uint64_t nameAt = Le32(entry), nameLength = Le32(entry + 4);
        const std::uint64_t dataAt = Le32(entry + 8), dataLength = Le32(entry + 12);
        if (nameAt + nameLength > size || dataAt + dataLength > size || nameLength == 0)
            return false;
        items.emplace(std::string(reinterpret_cast<const char*>(bytes + nameAt), nameLength),
                      std::string_view(reinterpret_cast<const char*>(bytes + dataAt), dataLength));
    }
    m_items = std::move(items);
    return true;
}

bool Archive::Find(std::string_view path, std::string_view& bytes) const
{
    const auto it = m_items.find(path);
    if (it == m_items.end())
        return false;
    bytes = it->second;
    return true;
}

bool AppArchivePath(std::string_view url, std::string& path)
{
    constexpr std::string_view kPrefix = "this://app/";
    if (!StartsWith(url, kPrefix))
        return false;
    std::string_view rest = url.substr(kPrefix.size());
    if (StartsWith(rest, "//"))
        rest.remove_prefix(2);
    else if (StartsWith(rest, "/"))
        rest.remove_prefix(1);
    path = std::string(rest);
    return true;
}

bool ResolveResourceUrl(std::string_view url, ResourceName& resource)
{
    if (!StartsWith(url, "res:"))
        return false;
    std::string_view name = url.substr(4);
    if (StartsWith(name, "res:"))
        name.remove_prefix(4);
    if (StartsWith(name, "//"))
        name.remove_prefix(2);
    if (name.empty() || name.size() >= kNameBuffer)
        return false;
    const std::size_t dot = name.rfind('.');
    std::string_view extension;
    if (dot != std::string_view::npos) {
        extension = name.substr(dot + 1);
        name = name.substr(0, dot);
    }
    const std::string type = Upper(extension);
    resource.name = Upper(name);
    resource.type = type.empty() || type == "HTML" || type == "HTM" ? "23" : type;
    return !resource.name.empty();
}

std::string ResourceKey(const ResourceName& resource)
{
    return resource.type + "/" + resource.name;
}

std::string_view ContentTypeOf(std::string_view path)
{
    const std::size_t dot = path.rfind('.');
    const std::string extension = dot == std::string_view::npos ? std::string() : Upper(path.substr(dot + 1));
    static const std::pair<const char*, const char*> kTypes[] = {
        {"HTML", "text/html; charset=utf-8"}, {"HTM", "text/html; charset=utf-8"},
        {"JS", "text/javascript; charset=utf-8"}, {"MJS", "text/javascript; charset=utf-8"},
        {"CSS", "text/css; charset=utf-8"}, {"JSON", "application/json"},
        {"SVG", "image/svg+xml"}, {"PNG", "image/png"}, {"GIF", "image/gif"},
        {"JPG", "image/jpeg"}, {"JPEG", "image/jpeg"}, {"ICO", "image/x-icon"},
        {"WOFF2", "font/woff2"}, {"WOFF", "font/woff"}, {"TXT", "text/plain; charset=utf-8"},
    };
    for (const auto& [ext, type] : kTypes) {
        if (extension == ext)
            return type;
    }
    return "application/octet-stream";
}

std::string_view ResourceContentType(std::string_view type)
{
    if (type == "23")
        return "text/html; charset=utf-8";
    return ContentTypeOf(std::string(".") + std::string(type));
}

}  // namespace host
