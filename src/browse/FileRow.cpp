#include "browse/FileRow.h"

#include "filetypes/Catalogue.h"
#include "platform/Time.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <utility>

namespace browse {
namespace {

std::string RowTime(std::uint64_t fileTime)
{
    platform::LocalTime t;
    if (!platform::FileTimeToLocal(fileTime, t))
        platform::FileTimeToLocal(0, t);
    char text[40];
    std::snprintf(text, sizeof text, "%4d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

void AppendUnsigned(std::string& line, std::uint64_t value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end);
}

const char* ConflictName(std::uint8_t kind)
{
    switch (kind) {
    case scan::kConflictLive: return "live";
    case scan::kConflictNewer: return "newer";
    case scan::kConflictOther: return "other";
    default: return nullptr;
    }
}

}  // namespace

void AppendEvidenceJson(const scan::FoundFile& f, std::uint64_t clusters, std::string& line)
{
    const scan::FileEvidence& e = f.m_evidence;
    line += "\"verdict\":\"";
    line += scan::VerdictName(e.verdict);
    line += "\",\"evidence\":{\"clusters\":";
    AppendUnsigned(line, clusters);
    line += ",\"taken\":";
    AppendUnsigned(line, e.taken);
    line += ",\"shared\":";
    AppendUnsigned(line, e.shared);
    line += ",\"conflict\":";
    if (const char* kind = ConflictName(e.conflictKind)) {
        line += "{\"with\":";
        AppendUnsigned(line, e.conflictWith - 1);
        line += ",\"kind\":\"";
        line += kind;
        line += "\"}";
    } else {
        line += "null";
    }
    line += ",\"content\":\"";
    line += scan::ContentName(e.content);
    line += "\"";
    const std::pair<std::uint8_t, const char*> flags[] = {
        {scan::kEvidenceNoAllocation, "allocationUnknown"}, {scan::kEvidencePastVolume, "pastVolume"},
        {scan::kEvidencePastDevice, "pastDevice"},          {scan::kEvidenceDataShort, "dataShort"},
        {scan::kEvidenceUnreadable, "unreadable"},          {scan::kEvidenceNoData, "noData"},
        {scan::kEvidenceSameAsLive, "sameAsLive"},
    };
    for (const auto& [bit, name] : flags) {
        line += ",\"";
        line += name;
        line += (e.flags & bit) ? "\":true" : "\":false";
    }
    line += ",\"reason\":";
    AppendJsonQuoted(line, scan::EvidenceReason(f));
    line += '}';
}


FileRow MakeFileRow(const scan::FoundFile& file, std::size_t index)
{
    FileRow row;
    row.fullName = file.FullNameUtf8();
    row.time = RowTime(file.m_latestTime);
    row.size = file.m_fileSize;
    row.index = index;
    row.state = file.m_existType;
    row.placed = file.Placed();
    row.folder = file.m_filePath.IsUnresolved() ? std::string() : file.m_filePath.str();
    row.typeName = filetypes::TypeName(file.suffix());
    row.verdict = file.m_evidence.verdict;
    if (file.m_isDirectory != scan::kKindFolder)
        row.reason = scan::EvidenceReason(file);
    return row;
}

ScriptValue RowValue(FileRow row)
{
    char size[24];
    std::snprintf(size, sizeof size, "%" PRIu64, row.size);
    const auto state = static_cast<std::int64_t>(row.state);
    // Built in place: a listing makes millions of these, and an initializer
    // list would copy every text once more.
    ScriptValue::Array values;
    values.reserve(11);
    values.emplace_back(std::move(row.fullName));
    values.emplace_back(row.time);
    values.emplace_back(row.time);
    values.emplace_back(std::move(row.time));
    values.emplace_back(std::string(size));
    values.emplace_back(static_cast<std::int64_t>(row.index));
    values.emplace_back(row.placed ? state : state * 10);
    values.emplace_back(std::move(row.folder));
    values.emplace_back(std::move(row.typeName));
    values.emplace_back(std::string(scan::VerdictName(row.verdict)));
    values.emplace_back(std::move(row.reason));
    return values;
}

}  // namespace browse
