#include "bridge/Protocol.h"

#include <cmath>
#include <cstdlib>
#include <utility>

namespace bridge {
namespace {

// A decimal number as a floating-point parse of the text, truncated.
std::int64_t ReadNumber(const std::string& text)
{
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v) || v >= 9.2e18 || v <= -9.2e18)
        return 0;
    return static_cast<std::int64_t>(v);
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

bool ParseFilterText(const std::string& text, browse::Filter& filter)
{
    const std::vector<std::string> fields = SplitByComma(text);
    if (fields.size() < 10)
        return false;
    filter = browse::Filter {};
    for (std::size_t c = 0; c < filter.categories.size(); ++c)
        filter.categories[c] = std::strtol(fields[c].c_str(), nullptr, 10);
    filter.minSize = static_cast<std::uint64_t>(ReadNumber(fields[5]));
    filter.maxSize = static_cast<std::uint64_t>(ReadNumber(fields[6]));
    filter.hours = static_cast<std::uint32_t>(ReadNumber(fields[8]));
    // An eleventh field names the verdicts a file may have, "|" between
    // them ("intact|likely"); other words are passed over.
    if (fields.size() > 10) {
        std::size_t at = 0;
        while (at <= fields[10].size()) {
            const std::size_t bar = std::min(fields[10].find('|', at), fields[10].size());
            std::uint8_t verdict = 0;
            if (scan::VerdictFromName(std::string_view(fields[10]).substr(at, bar - at), verdict))
                filter.verdicts |= 1u << verdict;
            at = bar + 1;
        }
    }
    return true;
}

recover::Selection SelectionFromScript(const std::vector<browse::ScriptValue>& values)
{
    recover::Selection selection;
    for (const browse::ScriptValue& v : values) {
        if (v.IsInt()) {
            selection.indices.push_back(v.Int());
            continue;
        }
        if (!v.IsString())
            continue;
        // "V:\\a\\b": what follows the drive's backslash (and any more of
        // them) is the folder; "V:" alone is the whole tree.
        const std::string& s = v.String();
        const std::size_t slash = s.find('\\');
        if (!s.empty() && slash != std::string::npos && slash >= 2) {
            std::string folder = s.substr(slash + 1);
            folder.erase(0, folder.find_first_not_of('\\') == std::string::npos ? folder.size()
                                                                                 : folder.find_first_not_of('\\'));
            selection.folders.push_back(std::move(folder));
        } else if (s.size() == 2 && s[1] == ':') {
            selection.folders.emplace_back();
        }
    }
    return selection;
}

std::vector<browse::ScriptValue> RowValues(std::vector<browse::FileRow> rows)
{
    std::vector<browse::ScriptValue> values;
    values.reserve(rows.size());
    for (browse::FileRow& row : rows)
        values.push_back(browse::RowValue(std::move(row)));
    return values;
}

}  // namespace bridge
