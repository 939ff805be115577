#include "cli/Commands.h"
#include "cli/Terminal.h"

#include "base/StopRequest.h"
#include "jobs/ScanJobs.h"
#include "browse/Filters.h"
#include "browse/FolderTree.h"
#include "platform/Process.h"
#include "search/Scans.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <utility>
#include <cinttypes>
#include <cstdio>

namespace cli {
namespace {

// A folder as the user writes it ("docs/old", "docs\\old\\", "" or "/" for
// the root) in the form of a found file's path: "docs\\old\\", "" for the root.
std::string FolderPathOf(std::string folder)
{
    for (char& c : folder) {
        if (c == '/')
            c = '\\';
    }
    while (!folder.empty() && folder.front() == '\\')
        folder.erase(0, 1);
    while (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    return folder.empty() ? folder : folder + "\\";
}

void PrintRows(const std::vector<browse::FileRow>& rows, bool json)
{
    if (json) {
        for (const auto& row : rows)
            std::printf("%s\n", browse::RowValue(row).ToJson().c_str());
        return;
    }
    std::printf("%8s  %-7s %14s  %-19s  %-22s %-11s  %s\n", "index", "state", "size", "time", "type", "verdict",
                "path");
    for (const auto& row : rows) {
        const char* state = row.state == scan::kExistInUse    ? "in use"
                            : row.state == scan::kExistDeleted ? "deleted"
                            : row.state == scan::kExistLost    ? "lost"
                                                                : "-";
        std::string path = row.folder + row.fullName;
        for (char& c : path) {
            if (c == '\\')
                c = '/';
        }
        std::printf("%8zu  %-7s %14" PRIu64 "  %-19s  %-22s %-11s  %s\n", row.index, state, row.size, row.time.c_str(),
                    Printable(row.typeName).c_str(), scan::VerdictName(row.verdict), Printable(path).c_str());
    }
}

}  // namespace

bool LoadResults(const SourceOptions& source, scan::VolumeScanner& volume, DropSavedScanAtEnd& dropAtEnd)
{
    base::StopRequest = 0;
    if (source.saved) {
        if (!OpenResultStore("quenlar, reading the saved scan"))
            return false;
        store::ScanRecordInfo record;
        store::ReadLastScanRecord(record);
        if (record.path.empty()) {
            std::fprintf(stderr, "quenlar: no saved scan in %s\n", store::kDatabaseFile);
            return false;
        }
        if (!OpenVolume(record.path, volume, true) || !CheckSavedVolume(volume, record))
            return false;
        if (!store::LoadFoundFiles(volume)) {
            std::fprintf(stderr, "quenlar: the saved results in %s cannot be read\n", store::kDatabaseFile);
            return false;
        }
        if (source.check)
            CheckResultContents(volume);
        return true;
    }
    if (source.volume.empty()) {
        std::fprintf(stderr, "quenlar: give the volume, or --saved for the saved scan\n");
        return false;
    }
    const std::string path = platform::AbsolutePath(source.volume);
    if (!OpenVolume(path, volume, source.deep))
        return false;
    if (source.deep && (!OpenResultStore("quenlar, deep scan of " + path) ||
                        !MayReplaceSavedScan(volume, source.discardSaved)))
        return false;
    scan::NormalScan(volume);
    if (source.deep && !base::StopRequested() && jobs::LeavesNothingToResume(jobs::RunDeepScan(volume, 0)))
        dropAtEnd.Arm();
    if (source.check && !base::StopRequested())
        CheckResultContents(volume);
    return true;
}

int RunTree(const TreeOptions& options)
{
    scan::VolumeScanner volume;
    DropSavedScanAtEnd dropAtEnd;
    if (!LoadResults(options.source, volume, dropAtEnd))
        return kExitFailed;
    const std::uint64_t unreadable = volume.UnreadableSectors();
    browse::FolderUpdates updates;
    browse::FolderTree tree;
    browse::CollectFolderUpdates(volume, tree, updates, "", browse::kNoLimit);
    std::size_t rootFiles = 0;
    std::map<std::string, std::int32_t> folders;
    {
        const scan::ReadResults results = std::as_const(volume).Results();
        for (const auto& f : *results)
            rootFiles += f->m_isDirectory != scan::kKindFolder && f->m_filePath.empty();
        folders = tree.Counts();
    }
    if (options.json) {
        for (const auto& [folder, count] : folders)
            std::printf("{\"folder\":%s,\"count\":%d}\n", browse::JsonQuote(folder).c_str(), count);
        return ReportScanFaults(volume, unreadable, kExitOk);
    }
    std::printf("%8zu  (files in the root folder)\n", rootFiles);
    for (const auto& [folder, count] : folders) {
        std::size_t depth = 0;
        for (const char c : folder)
            depth += c == '\\';
        const std::size_t slash = folder.rfind('\\');
        const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
        std::printf("%8d  %s%s\n", count, std::string(2 * depth, ' ').c_str(), Printable(name).c_str());
    }
    std::fflush(stdout);
    return ReportScanFaults(volume, unreadable, kExitOk);
}

int RunList(const ListOptions& options)
{
    scan::VolumeScanner volume;
    DropSavedScanAtEnd dropAtEnd;
    if (!LoadResults(options.source, volume, dropAtEnd))
        return kExitFailed;
    std::vector<browse::FileRow> rows;
    browse::ListFolderFiles(volume, FolderPathOf(options.folder), rows);
    PrintRows(rows, options.json);
    std::fflush(stdout);
    return ReportScanFaults(volume, volume.UnreadableSectors(), kExitOk);
}

int RunFilter(const FilterOptions& options)
{
    scan::VolumeScanner volume;
    DropSavedScanAtEnd dropAtEnd;
    if (!LoadResults(options.source, volume, dropAtEnd))
        return kExitFailed;
    browse::Filter filter;
    filter.categories = {options.pictures ? 1 : 0, options.documents ? 2 : 0, options.videos ? 3 : 0,
                         options.audio ? 4 : 0, options.emails ? 5 : 0};
    // A smallest size alone takes every larger file.
    filter.minSize = options.minSize;
    filter.maxSize = options.maxSize != 0 ? options.maxSize : options.minSize != 0 ? ~std::uint64_t {0} : 0;
    filter.hours = options.hours;
    for (const std::string& name : options.verdicts) {
        std::uint8_t verdict = 0;
        if (!scan::VerdictFromName(name, verdict)) {
            std::fprintf(stderr, "quenlar: '%s' is no verdict: give intact, likely, partial, overwritten or unknown\n",
                         Printable(name).c_str());
            return kExitUsage;
        }
        filter.verdicts |= 1u << verdict;
    }
    std::vector<browse::FileRow> rows;
    browse::FilterFiles(volume, filter, rows);
    PrintRows(rows, options.json);
    std::fflush(stdout);
    return ReportScanFaults(volume, volume.UnreadableSectors(), kExitOk);
}

}  // namespace cli
