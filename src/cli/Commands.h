// The command-line front end's commands. Each returns the process exit code:
// 0 done, 1 the work failed (the reason went to stderr).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scan {
class VolumeScanner;
}
namespace store {
struct ScanRecordInfo;
}

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A recovery wrote every file, but some from clusters other files own now.
constexpr int kExitDoubtful = 3;
constexpr int kExitInterrupted = 130;

// Opens `path` (a device, an image file, or the mount point of one) and checks
// that it holds a known file system with usable geometry; otherwise prints one
// line to stderr and returns false.
// Opens the volume a command names, saying why when it cannot. A volume
// whose file system cannot be read is taken only when `byContent` (a deep
// scan will look through it for files by their content), and said so.
bool OpenVolume(const std::string& path, scan::VolumeScanner& volume, bool byContent = false);

// Opens mydatabase.db as its one owner; `doing` says what for, to another
// process that finds it taken. False after one line on stderr.
bool OpenResultStore(const std::string& doing);
// Whether a deep scan of `volume` may run: not when the store holds a
// paused scan of another volume, which it would replace, unless
// `discardSaved`. False after one line on stderr.
bool MayReplaceSavedScan(const scan::VolumeScanner& volume, bool discardSaved);
// Whether the opened `volume` is the one the saved `record` was made of;
// false after one line on stderr that says how it differs. Says so, too,
// when a record of an older version cannot be checked.
bool CheckSavedVolume(const scan::VolumeScanner& volume, const store::ScanRecordInfo& record);

// Empties the store when it goes out of scope, if armed: a deep scan that
// ran to its end leaves no scan to resume, but the store is kept until the
// command's output is out, so that a kill before that loses nothing.
class DropSavedScanAtEnd {
public:
    DropSavedScanAtEnd() = default;
    ~DropSavedScanAtEnd();
    DropSavedScanAtEnd(const DropSavedScanAtEnd&) = delete;
    DropSavedScanAtEnd& operator=(const DropSavedScanAtEnd&) = delete;
    void Arm() { m_armed = true; }

private:
    bool m_armed = false;
};

// Says on stderr how many sectors a scan could not read, if any; returns
// `exitCode`, or kExitFailed in place of kExitOk when there were some.
int ReportUnreadable(std::uint64_t sectors, int exitCode);
// Says what of the volume's metadata could not be read or used (and what was
// done instead), then the unreadable sectors; exit code 1 when there was
// anything to say, unless `exitCode` already tells a failure.
int ReportScanFaults(const scan::VolumeScanner& volume, std::uint64_t unreadableSectors, int exitCode);

struct DisksOptions {
    bool json = false;
};
// The disks, their partitions and the other volumes of the system.
int RunDisks(const DisksOptions& options);

// The device of partition `partition` of disk `disk` as 'quenlar disks'
// numbers them (0: the whole disk); false after one line on stderr.
bool ResolveDiskPartition(std::uint32_t disk, std::uint32_t partition, std::string& devicePath);

struct PartitionsOptions {
    std::string disk;
    bool whole = false;  // every sector, not only where partitions begin
    bool json = false;
};
// The volumes on a disk or disk image, named by a table or not.
int RunPartitions(const PartitionsOptions& options);

struct ProbeOptions {
    std::string volume;
    bool json = false;
};
int RunProbe(const ProbeOptions& options);

struct ScanOptions {
    std::string volume;
    bool deep = false;
    bool check = false;  // check the content of the files whose kind allows it
    bool json = false;
    bool bodyfile = false;
    bool discardSaved = false;
    bool noContent = false;  // the deep scan does not search files by their content
    std::uint64_t stopAtSector = ~std::uint64_t {0};
};
// Normal scan, and with `deep` the deep scan after it; lists every result.
// The deep scan, paused by Ctrl-C (or at stopAtSector), saves its results.
int RunScan(const ScanOptions& options);

struct ResumeOptions {
    bool json = false;
    bool check = false;  // check the content of the files whose kind allows it
    bool bodyfile = false;
    bool noContent = false;
    std::uint64_t stopAtSector = ~std::uint64_t {0};
};
// Continues the saved scan and lists the results.
int RunResume(const ResumeOptions& options);

// Where the results come from: a fresh scan of a volume (with `deep` the deep
// scan after the normal one), or the saved scan of mydatabase.db.
struct SourceOptions {
    std::string volume;
    bool deep = false;
    bool check = false;  // check the content of the files whose kind allows it
    bool saved = false;
    bool discardSaved = false;
};
// Fills `volume` with results as `source` says; false after one line on
// stderr. A deep scan that runs to its end arms `dropAtEnd`. With
// `source.check`, the content of the results is checked afterwards.
bool LoadResults(const SourceOptions& source, scan::VolumeScanner& volume, DropSavedScanAtEnd& dropAtEnd);

struct TreeOptions {
    SourceOptions source;
    bool json = false;
};
// The folder tree with the number of files at or below each folder.
int RunTree(const TreeOptions& options);

struct ListOptions {
    SourceOptions source;
    std::string folder;
    bool json = false;
};
// The files directly in one folder.
int RunList(const ListOptions& options);

struct FilterOptions {
    SourceOptions source;
    bool pictures = false, documents = false, videos = false, audio = false, emails = false;
    std::uint64_t minSize = 0;
    std::uint64_t maxSize = 0;
    std::uint32_t hours = 0;
    std::vector<std::string> verdicts;  // "intact", "likely", ...
    bool json = false;
};
// The files of the chosen categories, size range and age.
int RunFilter(const FilterOptions& options);

struct RecoverOptions {
    SourceOptions source;
    std::string destination;
    std::vector<std::int64_t> indices;
    std::vector<std::string> folders;
    bool all = false;
};
// Scans the volume (or loads the saved scan) and copies the selected files.
int RunRecover(const RecoverOptions& options);

// Checks the content of every result whose kind allows it, with progress on
// a terminal; Ctrl-C ends the checks early. Returns how many were checked.
std::size_t CheckResultContents(scan::VolumeScanner& volume);

struct VerifyOptions {
    std::string destination;
    bool json = false;
};
// Hashes the files a recovery wrote into `destination` again and compares
// them with its receipts.
int RunVerify(const VerifyOptions& options);

}  // namespace cli
