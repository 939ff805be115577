#include "browse/Filters.h"

#include "browse/FolderTree.h"
#include "filetypes/Catalogue.h"
#include "platform/Time.h"
#include "volume/VolumeScanner.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace browse {
namespace {

// A decimal number as a floating-point parse of the text, truncated.
std::int64_t ReadNumber(const std::string& text)
{
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v) || v >= 9.2e18 || v <= -9.2e18)
        return 0;
    return static_cast<std::int64_t>(v);
}

// Seconds of a local time, through the C library's local time zone.
std::int64_t LocalSeconds(const platform::LocalTime& t)
{
    const std::uint64_t ft = platform::LocalToUtcFileTime(t);
    return ft == 0 ? 0 : static_cast<std::int64_t>(ft / 10000000ULL);
}

}  // namespace

std::vector<std::string> SplitByComma(const std::string& text)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t comma = text.find(','); comma != std::string::npos; comma = text.find(',', start)) {
        pieces.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

void FilterFiles(scan::VolumeScanner& volume, const std::string& filter, std::vector<ScriptValue>& rows)
{
    const std::vector<std::uint32_t> indices = FilterFileIndices(volume, filter);
    MakeFileRows(volume, indices.data(), indices.size(), rows);
}

std::vector<std::uint32_t> FilterFileIndices(scan::VolumeScanner& volume, const std::string& filter)
{
    std::vector<std::uint32_t> matches;
    const std::vector<std::string> fields = SplitByComma(filter);
    if (fields.size() < 10)
        return matches;
    std::array<std::int64_t, 5> categories {};
    bool anyCategory = false;
    for (std::size_t c = 0; c < categories.size(); ++c) {
        categories[c] = std::strtol(fields[c].c_str(), nullptr, 10);
        anyCategory = anyCategory || categories[c] != 0;
    }
    const auto lo = static_cast<std::uint64_t>(ReadNumber(fields[5]));
    const auto hi = static_cast<std::uint64_t>(ReadNumber(fields[6]));
    const auto hours = static_cast<std::uint32_t>(ReadNumber(fields[8]));
    const std::int64_t now = LocalSeconds(platform::NowLocal());

    std::lock_guard<std::mutex> lock(volume.m_lock);
    for (std::size_t i = 0; i < volume.m_results.size(); ++i) {
        const scan::FoundFile& f = *volume.m_results[i];
        if (anyCategory) {
            const std::int64_t code = f.suffix().empty() ? 0 : filetypes::CategoryOfSuffix(f.suffix());
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
        matches.push_back(static_cast<std::uint32_t>(i));
    }
    return matches;
}

}  // namespace browse
