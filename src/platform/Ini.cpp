#include "platform/Ini.h"

#include "platform/Shared.h"

#include "platform/Files.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

std::string Trim(const std::string& s)
{
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Section header name, or false when the line is not one.
bool SectionOf(const std::string& line, std::string& name)
{
    const std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']')
        return false;
    name = Trim(t.substr(1, t.size() - 2));
    return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value)
{
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#')
        return false;
    const auto eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

}  // namespace

int ReadIniInt(const std::string& path, const std::string& section, const std::string& key, int fallback)
{
    bool inSection = false;
    for (const auto& line : ReadLines(path)) {
        std::string name;
        std::string value;
        if (SectionOf(line, name)) {
            inSection = SameName(name, section);
        } else if (inSection && KeyOf(line, name, value) && SameName(name, key)) {
            return shared::ParseIniInt(value, fallback);
        }
    }
    return fallback;
}

std::string ReadIniString(const std::string& path, const std::string& section, const std::string& key,
                          const std::string& fallback)
{
    bool inSection = false;
    for (const auto& line : ReadLines(path)) {
        std::string name;
        std::string value;
        if (SectionOf(line, name))
            inSection = SameName(name, section);
        else if (inSection && KeyOf(line, name, value) && SameName(name, key))
            return value;
    }
    return fallback;
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value)
{
    // A line break would end the value and start a line of its own.
    if (value.find_first_of("\r\n") != std::string::npos || key.find_first_of("\r\n=") != std::string::npos)
        return false;
    std::vector<std::string> lines = ReadLines(path);
    const std::string entry = key + "=" + value;
    bool inSection = false;
    std::size_t sectionEnd = std::string::npos;  // where a new key of the section goes
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name;
        std::string v;
        if (SectionOf(lines[i], name)) {
            if (inSection)
                break;
            inSection = SameName(name, section);
            if (inSection)
                sectionEnd = i + 1;
        } else if (inSection) {
            if (KeyOf(lines[i], name, v) && SameName(name, key)) {
                lines[i] = entry;
                done = true;
            } else if (!Trim(lines[i]).empty()) {
                sectionEnd = i + 1;
            }
        }
    }
    if (!done) {
        if (sectionEnd == std::string::npos) {
            lines.push_back("[" + section + "]");
            lines.push_back(entry);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
        }
    }
    std::ostringstream text;
    for (const auto& line : lines)
        text << line << '\n';
    // Write beside and rename, so a crash never leaves half a settings file.
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text.str();
        out.flush();
        if (!out)
            return false;
    }
    return MoveFile(temp, path);
}

}  // namespace platform
