#include "browse/Filters.h"

#include "browse/FolderTree.h"
#include "filetypes/Catalogue.h"
#include "platform/Time.h"
#include "volume/VolumeScanner.h"

#include <utility>
#include <array>
#include <mutex>

namespace browse {
namespace {

// Seconds of a local time, through the C library's local time zone.
std::int64_t LocalSeconds(const platform::LocalTime& t)
{
    const std::uint64_t ft = platform::LocalToUtcFileTime(t);
    return ft == 0 ? 0 : static_cast<std::int64_t>(ft / 10000000ULL);
}

char Folded(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `name` holds `part`, letters in either case.
bool Holds(std::string_view name, std::string_view part)
{
    if (part.size() > name.size())
        return false;
    for (std::size_t at = 0; at + part.size() <= name.size(); ++at) {
        std::size_t i = 0;
        while (i < part.size() && Folded(name[at + i]) == Folded(part[i]))
            ++i;
        if (i == part.size())
            return true;
    }
    return false;
}

}  // namespace

bool NameMatches(std::string_view name, std::string_view pattern)
{
    if (pattern.find_first_of("*?") == std::string_view::npos)
        return Holds(name, pattern);
    // The usual greedy match with one step back to the last star: linear
    // in practice, and never worse than name times pattern.
    std::size_t n = 0, p = 0;
    std::size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || Folded(pattern[p]) == Folded(name[n]))) {
            // "?" takes one character: the whole of a UTF-8 sequence.
            const bool any = pattern[p] == '?';
            ++p;
            ++n;
            while (any && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
                ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

void FilterFiles(scan::VolumeScanner& volume, const Filter& filter, std::vector<FileRow>& rows)
{
    const std::vector<std::uint32_t> indices = FilterFileIndices(volume, filter);
    MakeFileRows(volume, indices.data(), indices.size(), rows);
}

std::vector<std::uint32_t> FilterFileIndices(scan::VolumeScanner& volume, const Filter& filter)
{
    std::vector<std::uint32_t> matches;
    const std::array<std::int64_t, 5>& categories = filter.categories;
    bool anyCategory = false;
    for (const std::int64_t c : categories)
        anyCategory = anyCategory || c != 0;
    const std::uint64_t lo = filter.minSize;
    const std::uint64_t hi = filter.maxSize;
    const std::uint32_t hours = filter.hours;
    const std::int64_t now = LocalSeconds(platform::NowLocal());

    const scan::ReadResults results = std::as_const(volume).Results();
    for (std::size_t i = 0; i < results->size(); ++i) {
        const scan::FoundFile& f = *(*results)[i];
        if (f.m_isDirectory == scan::kKindFolder)
            continue;
        if (filter.verdicts != 0 && (filter.verdicts >> f.m_evidence.verdict & 1) == 0)
            continue;
        if (anyCategory) {
            const std::int64_t code = f.suffix().empty() ? 0 : filetypes::BroadCategory(f.suffix());
            bool match = false;
            for (const std::int64_t c : categories)
                match = match || (code != 0 && c == code);
            if (!match)
                continue;
        }
        if ((lo != 0 || hi != 0) && (f.m_fileSize < lo || f.m_fileSize > hi))
            continue;
        if (hours != 0 && f.m_latestTime != 0) {
            platform::LocalTime t;
            if (!platform::FileTimeToLocal(f.m_latestTime, t))
                continue;
            const std::uint64_t age = static_cast<std::uint64_t>(now - LocalSeconds(t)) / 3600;
            if (age > hours)
                continue;
        }
        if (!filter.name.empty() && !NameMatches(f.FullNameUtf8(), filter.name))
            continue;
        matches.push_back(static_cast<std::uint32_t>(i));
    }
    return matches;
}

}  // namespace browse
