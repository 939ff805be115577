// Copies selected found files from the volume to a destination folder,
// recreating their folder paths and never overwriting: a name that exists
// already gets "_1", "_2", ... before its extension.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace scan {
class CBaseFileObject;
class VolumeScanner;
}  // namespace scan

namespace recover {

// What to recover: result indices, and folders of the result tree ("a\\b";
// "" the whole tree), each with every file at or below it.
struct Selection {
    std::vector<std::int64_t> indices;
    std::vector<std::string> folders;
};

constexpr std::size_t kTransferBytes = 0x4000000;  // 64 MiB

// Error numbers in the log line of a file that failed.
enum RecoverError {
    kErrorFolder = 1,  // the folder for the output file cannot be made
    kErrorCreate = 3,  // the output file cannot be created
    kErrorRead = 4,    // a read delivered no data
    kErrorWrite = 5,   // a write wrote less than given
};

// Why a file did not come out whole (bits; a file may have several).
enum RecoverProblem : std::uint32_t {
    // The reader's scan::ContentFault bits, then the writer's own.
    kProblemCannotMakeFolder = 1u << 16,
    kProblemCannotCreate = 1u << 17,
    kProblemWriteFailed = 1u << 18,
    kProblemDestinationFull = 1u << 19,
    kProblemCannotRename = 1u << 20,
};

// Every reason a problem mask holds, in words, ", " between them.
std::string DescribeProblems(std::uint32_t problems, std::uint64_t unreadableSectors);

enum class Outcome {
    kWritten,  // whole, under its name
    kDoubtful, // every byte written, under its name, from clusters that other files own now
    kPartial,  // some bytes, under its name with kPartialSuffix: not the file as it was
    kFailed,   // nothing kept
};

// A file not written whole kept under its name plus this.
constexpr const char* kPartialSuffix = ".partial";

// One file that did not come out whole.
struct FileReport {
    std::string source;       // its folder path and name on the volume
    std::string why;          // kDoubtful: the outcome in words, and what the volume says of it
    std::string output;       // the file kept for it, or empty
    Outcome outcome = Outcome::kFailed;
    std::uint32_t problems = 0;          // scan::ContentFault and RecoverProblem bits
    std::uint64_t unreadableSectors = 0;
    std::uint64_t bytes = 0;             // what stands in the output
};

struct RecoverSummary;
// How many of the files that are not whole have each reason.
std::string CountProblems(const RecoverSummary& summary);

struct RecoverSummary {
    std::size_t selected = 0;
    std::size_t succeeded = 0;  // written whole
    std::size_t doubtful = 0;   // written whole from clusters others own now: probably not the original
    std::size_t partial = 0;
    std::size_t failed = 0;
    std::uint64_t bytes = 0;    // what the run left on disk, partial files included
    bool stopped = false;       // a stop request ended the run
    bool deviceGone = false;    // the medium went away
    std::vector<FileReport> problems;  // each file that is doubtful, partial or failed, in the order handled
    std::string receipt;        // the receipt's path; "" when none could be written
    // Files written whole under a shorter name than theirs (their name, or a
    // folder's, was longer than the destination takes): source, output.
    std::vector<std::pair<std::string, std::string>> shortened;
    // Files written under their name with a number added, because the name
    // was taken in the destination (by a file already there, or another of
    // the run): source, output.
    std::vector<std::pair<std::string, std::string>> renamed;
};

// How far a run is, read by another thread while it goes: files handled of
// those selected, and the output file being written.
class RecoverProgress {
public:
    std::atomic<std::uint64_t> total {0};
    std::atomic<std::uint64_t> done {0};
    std::string Path() const;
    void SetPath(const std::string& path);

private:
    mutable std::mutex m_lock;
    std::string m_path;
};

// What a doubtful file is told as: its clusters taken, or its content not
// what its kind holds.
constexpr const char* kDoubtfulText = "written, but its clusters now belong to other files — probably not the original";
constexpr const char* kDoubtfulContentText = "written, but its content does not check out — probably not the original";

// The whole run. The destination must not be empty; on this platform it is a
// folder path with "/" separators. A file is written under a temporary name
// (its name plus kPartialSuffix) and takes its own name and time only once
// every byte of it was read and written; otherwise it keeps the temporary
// name, or is removed when nothing could be written.
// Each file's content is checked first where its kind allows, and a file
// whose verdict is partial or overwritten is written but counted apart
// (doubtful), without its time. A receipt of the run is written into the
// destination. `progress`, when given, is kept up to date.
RecoverSummary RecoverFiles(scan::VolumeScanner& volume, const Selection& selection,
                            const std::string& destination, RecoverProgress* progress = nullptr);

// The bytes of the files `selection` takes (as RecoverFiles takes them),
// each rounded up to a whole number of `unit` bytes.
std::uint64_t SelectionBytes(const scan::VolumeScanner& volume, const Selection& selection, std::uint64_t unit = 1);

// Makes the folders that are to hold `outputPath`; true when they exist.
bool EnsureParentFolders(const std::string& outputPath);

// A name from the volume made safe to be one path component: "." and ".."
// and names holding a separator or NUL cannot lead outside the destination.
std::string SafeComponent(const std::string& name);

}  // namespace recover
