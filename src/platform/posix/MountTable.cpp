#include "platform/posix/MountTable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

// Mount points write a space, tab, line feed or backslash as \ooo in octal.
std::string Unescape(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const bool octal = field[i] == '\\' && i + 3 < field.size() &&
                           std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                       field.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                                       [](char c) { return c >= '0' && c <= '7'; });
        if (octal) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

std::vector<MountEntry> ReadMountTable()
{
    std::vector<MountEntry> table;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, options;
        if (!(fields >> id >> parent >> device >> root >> point >> options))
            continue;
        std::string word;
        while (fields >> word && word != "-") {
        }
        MountEntry entry;
        if (!(fields >> entry.fsType >> entry.source) ||
            std::sscanf(device.c_str(), "%u:%u", &entry.major, &entry.minor) != 2)
            continue;
        entry.point = Unescape(point);
        entry.options = options;
        entry.source = Unescape(entry.source);
        table.push_back(std::move(entry));
    }
    return table;
}

}  // namespace platform
