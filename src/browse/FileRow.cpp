#include "browse/FileRow.h"

#include "filetypes/Catalogue.h"
#include "platform/Time.h"

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

}  // namespace

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
    values.reserve(9);
    values.emplace_back(std::move(row.fullName));
    values.emplace_back(row.time);
    values.emplace_back(row.time);
    values.emplace_back(std::move(row.time));
    values.emplace_back(std::string(size));
    values.emplace_back(static_cast<std::int64_t>(row.index));
    values.emplace_back(row.placed ? state : state * 10);
    values.emplace_back(std::move(row.folder));
    values.emplace_back(std::move(row.typeName));
    return values;
}

}  // namespace browse
