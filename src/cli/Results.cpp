#include "cli/Results.h"

#include "browse/FileRow.h"
#include "browse/ScriptValue.h"
#include "cli/Json.h"
#include "cli/Terminal.h"
#include "platform/Time.h"
#include "search/Evidence.h"
#include "volume/VolumeScanner.h"

#include <utility>
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <mutex>
#include <string>

namespace cli {
namespace {

// The folder path with "/" between folders, "" for the root or when the path
// was never resolved.
std::string SlashPath(const scan::FoundFile& f)
{
    if (f.m_filePath.IsUnresolved())
        return {};
    std::string path = f.m_filePath;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

std::string TimeText(std::uint64_t fileTime)
{
    platform::LocalTime t;
    if (fileTime == 0 || !platform::FileTimeToLocal(fileTime, t))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

// The state a listing shows. A folder in use on FAT32 or exFAT keeps no
// state of its own in the results (so the result browser does not list it);
// it is shown as in use, which it is.
scan::ExistType ListedState(const scan::FoundFile& f)
{
    if (f.m_existType == scan::kExistUnset && f.m_isDirectory == scan::kKindFolder && f.m_located == 1 &&
        (f.m_fileSystemType == scan::kFat32 || f.m_fileSystemType == scan::kExfat))
        return scan::kExistInUse;
    return f.m_existType;
}

// The same as the result store's exist type code (see ExistCode).
unsigned ListedExist(const scan::FoundFile& f)
{
    return ListedState(f) != f.m_existType ? ListedState(f) * 10u : scan::ExistCode(f);
}

const char* ExistText(scan::ExistType state)
{
    switch (state) {
    case scan::kExistInUse: return "in use";
    case scan::kExistDeleted: return "deleted";
    case scan::kExistLost: return "lost";
    default: return "-";
    }
}

// What a reader of the list should know of how the file is kept: its
// record torn, its data compressed, encrypted or sparse. "" for none.
std::string Notes(const scan::FoundFile& f)
{
    std::string notes;
    auto add = [&](const char* note) {
        if (!notes.empty())
            notes += ",";
        notes += note;
    };
    if (f.m_torn)
        add("torn");
    switch (f.m_encoding) {
    case scan::kLznt1: add("compressed"); break;
    case scan::kEncrypted: add("encrypted"); break;
    case scan::kUnknownCompression: add("unknown-compression"); break;
    default: break;
    }
    // (A compressed file's units end in holes of their own.)
    if (f.m_encoding != scan::kLznt1 && std::any_of(f.extents.begin(), f.extents.end(),
                    [](const scan::FileExtent& e) { return e.isPersist == scan::kExtentHole; }))
        add("sparse");
    return notes;
}

const char* EncodingText(std::uint8_t encoding)
{
    switch (encoding) {
    case scan::kStored: return "stored";
    case scan::kLznt1: return "lznt1";
    case scan::kEncrypted: return "encrypted";
    default: return "unknown";
    }
}

std::int64_t UnixSeconds(std::uint64_t fileTime)
{
    if (fileTime <= platform::kUnixEpochAsFileTime)
        return 0;
    return static_cast<std::int64_t>((fileTime - platform::kUnixEpochAsFileTime) / 10000000ULL);
}

template <typename Number>
void AppendNumber(std::string& line, Number value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end);
}

// One result as a line of JSON, built in `line` (kept between calls, so
// that listing millions of results allocates nothing a row).
void PrintJson(const scan::VolumeScanner& volume, const scan::FoundFile& f, std::size_t index, std::string& line,
               std::FILE* out)
{
    line.assign("{\"index\":");
    AppendNumber(line, index);
    line += ",\"name\":";
    browse::AppendJsonQuoted(line, f.FullNameView());
    line += ",\"path\":";
    browse::AppendJsonQuoted(line, f.m_filePath.str());
    line += ",\"size\":";
    AppendNumber(line, f.m_fileSize);
    line += ",\"time\":";
    AppendNumber(line, f.m_latestTime);
    line += ",\"exist\":";
    AppendNumber(line, ListedExist(f));
    line += ",\"dir\":";
    AppendNumber(line, f.m_isDirectory);
    line += ",\"fileNo\":";
    AppendNumber(line, f.m_fileNo);
    line += ",\"fs\":";
    AppendNumber(line, f.m_fileSystemType);
    line += f.m_torn ? ",\"torn\":true" : ",\"torn\":false";
    line += ",\"encoding\":\"";
    line += EncodingText(f.m_encoding);
    line += "\",\"extents\":[";
    bool first = true;
    for (const scan::FileExtent& e : f.extents) {
        line += first ? "[" : ",[";
        first = false;
        AppendNumber(line, e.startSector);
        line += ',';
        AppendNumber(line, e.sectorCount);
        line += ',';
        AppendNumber(line, unsigned {e.isPersist});
        line += ']';
    }
    line += "],";
    browse::AppendEvidenceJson(f, scan::ClustersOf(volume, f), line);
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), out);
}

void PrintBodyfile(const scan::FoundFile& f, std::size_t index, std::FILE* out)
{
    // MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime; the one time
    // a found file keeps is its latest, given as the modification time.
    std::string name = "/" + SlashPath(f) + f.FullNameUtf8();
    for (char& c : name) {
        if (c == '|')
            c = '_';
    }
    if (f.m_existType == scan::kExistDeleted)
        name += " (deleted)";
    const std::uint64_t inode = f.m_fileSystemType == scan::kNtfs ? f.m_fileNo : index;
    std::fprintf(out, "0|%s|%" PRIu64 "|%s|0|0|%" PRIu64 "|0|%" PRId64 "|0|0\n", name.c_str(), inode,
                 f.m_isDirectory == scan::kKindFolder ? "d/drwxrwxrwx" : "r/rrwxrwxrwx", f.m_fileSize, UnixSeconds(f.m_latestTime));
}

}  // namespace

void PrintResults(scan::VolumeScanner& volume, ResultFormat format, std::FILE* out)
{
    const scan::ReadResults results = std::as_const(volume).Results();
    if (format == ResultFormat::Table)
        std::fprintf(out, "%8s  %-7s %-4s %14s  %-19s  %-10s  %-11s  %s\n", "index", "state", "type", "size", "time",
                     "notes", "verdict", "path");
    std::string line;
    for (std::size_t i = 0; i < results->size(); ++i) {
        const scan::FoundFile& f = *(*results)[i];
        switch (format) {
        case ResultFormat::Json:
            PrintJson(volume, f, i, line, out);
            break;
        case ResultFormat::Bodyfile:
            PrintBodyfile(f, i, out);
            break;
        case ResultFormat::Table:
        {
            const std::string notes = Notes(f);
            std::fprintf(out, "%8zu  %-7s %-4s %14" PRIu64 "  %-19s  %-10s  %-11s  %s\n", i, ExistText(ListedState(f)),
                         f.m_isDirectory == scan::kKindFolder ? "dir" : "file", f.m_fileSize, TimeText(f.m_latestTime).c_str(),
                         notes.empty() ? "-" : notes.c_str(),
                         f.m_isDirectory == scan::kKindFolder ? "-" : scan::VerdictName(f.m_evidence.verdict),
                         Printable(SlashPath(f) + f.FullNameUtf8()).c_str());
        }
            break;
        }
    }
}

}  // namespace cli
