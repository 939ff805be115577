#include "recover/RecoveryWriter.h"

#include "base/Log.h"
#include "base/Sha256.h"
#include "recover/Receipt.h"
#include "search/Evidence.h"
#include "base/StopRequest.h"
#include "search/Scans.h"
#include "volume/FileContent.h"
#include "platform/Files.h"
#include "platform/OutputFile.h"
#include "volume/VolumeScanner.h"

#include <utility>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>

namespace recover {
namespace {

// Room a file's name keeps for a number ("_" and up to 7 digits) and the
// temporary suffix.
constexpr std::size_t kNumberRoom = 8;
// An extension longer than this is cut too when a name must be shortened.
constexpr std::size_t kLongestKeptExtension = 32;

// The first bytes of `text`, at most `limit`, never cutting a UTF-8 sequence.
std::string Utf8Prefix(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return std::string(text);
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut));
}

// "~" and 8 hex digits of a hash of the whole name: two long names that
// begin alike stay apart once shortened.
std::string NameTag(std::string_view name)
{
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char tag[16];
    std::snprintf(tag, sizeof tag, "~%08x", hash);
    return tag;
}

// `name` (and its extension) shortened to fit `room` bytes, keeping the
// extension; `shortened` is set when it had to be.
void FitName(std::string& name, std::string& suffix, std::size_t room, bool& shortened)
{
    const std::size_t whole = name.size() + (suffix.empty() ? 0 : 1 + suffix.size());
    if (whole <= room)
        return;
    shortened = true;
    const std::string tag = NameTag(name + "." + suffix);
    suffix = Utf8Prefix(suffix, kLongestKeptExtension);
    const std::size_t kept = suffix.empty() ? 0 : 1 + suffix.size();
    name = Utf8Prefix(name, room > kept + tag.size() ? room - kept - tag.size() : 0) + tag;
}

// The folder path inside the destination: each folder of the found file's
// path made safe (and short enough), "/" between them.
std::string SafeFolderPath(const scan::FolderPath& folder, bool& shortened)
{
    std::string out;
    if (folder.IsUnresolved())  // a path never resolved: the destination itself
        return out;
    const std::string& filePath = folder.str();
    std::size_t start = 0;
    while (start < filePath.size()) {
        const std::size_t end = filePath.find('\\', start);
        std::string part = SafeComponent(filePath.substr(start, end == std::string::npos ? std::string::npos : end - start));
        std::string none;
        FitName(part, none, platform::kMaxNameBytes, shortened);
        out += part + "/";
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

// The selection set: unique result indices in ascending order.
std::set<std::uint32_t> BuildSelection(const scan::ResultList& results, const Selection& selection)
{
    std::set<std::uint32_t> set;
    for (const std::int64_t index : selection.indices) {
        if (index >= 0 && index <= 0xFFFFFFFF)
            set.insert(static_cast<std::uint32_t>(index));
    }
    for (const std::string& folder : selection.folders) {
        if (base::StopRequested())
            break;
        base::LogDebug("waiting to recovery path: %s", folder.c_str());
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (base::StopRequested())
                break;
            const scan::FoundFile& f = *results[i];
            if (f.m_isDirectory == scan::kKindFolder)
                continue;
            const std::string& p = f.m_filePath;
            if (folder.empty() || p == folder ||
                (p.size() > folder.size() && p[folder.size()] == '\\' && p.compare(0, folder.size(), folder) == 0))
                set.insert(static_cast<std::uint32_t>(i));
        }
    }
    return set;
}

std::string DisplayName(const scan::FoundFile& f)
{
    return f.m_filePath + f.FullNameUtf8();
}

// The found file's folder path and name, "/" between folders, for people.
std::string SourceName(const scan::FoundFile& f)
{
    std::string path = f.m_filePath.IsUnresolved() ? std::string() : f.m_filePath.str();
    std::replace(path.begin(), path.end(), '\\', '/');
    return path + f.FullNameUtf8();
}

}  // namespace

std::string SafeComponent(const std::string& name)
{
    std::string safe;
    safe.reserve(name.size() + 1);
    for (const char c : name)
        safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    if (safe.empty() || safe == "." || safe == "..")
        safe.insert(0, "_");
    return safe;
}

bool EnsureParentFolders(const std::string& outputPath)
{
    const std::size_t slash = outputPath.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return false;
    const std::string folder = outputPath.substr(0, slash);
    if (platform::IsFolder(folder))
        return true;
    bool made = false;
    for (std::size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        const std::string part = folder.substr(0, pos);
        if (!platform::IsFolder(part))
            made = platform::MakeFolder(part);
        if (pos == std::string::npos)
            break;
    }
    return made;
}

namespace {

// The output of one file: written under `temporary`, renamed to its own name
// when whole.
struct Output {
    std::string path;       // the name it is meant to have
    std::string temporary;  // path + kPartialSuffix
    platform::OutputFile file;
    int error = 0;
    std::uint32_t problems = 0;
};

std::string OutputName(const std::string& folder, const std::string& name, const std::string& suffix,
                       std::uint64_t j)
{
    const std::string tag = j == 0 ? "" : "_" + std::to_string(j);
    return folder + name + tag + (suffix.empty() ? "" : "." + suffix);
}

// Creates the temporary file under the first name j = 0, 1, ... whose own
// name and temporary name are both free.
void CreateOutput(RecoverProgress& progress, const std::string& folder, const std::string& name,
                  const std::string& suffix, Output& out, std::uint64_t& j)
{
    for (;; ++j) {
        out.path = OutputName(folder, name, suffix, j);
        out.temporary = out.path + kPartialSuffix;
        if (!EnsureParentFolders(out.path)) {
            out.error = kErrorFolder;
            out.problems |= kProblemCannotMakeFolder;
            return;
        }
        if (platform::PathExists(out.path))
            continue;
        progress.SetPath(out.path);
        const platform::CreateResult created = out.file.CreateNew(out.temporary);
        if (created == platform::CreateResult::Created)
            return;
        if (created == platform::CreateResult::Failed) {
            out.error = kErrorCreate;
            out.problems |= kProblemCannotCreate;
            return;
        }
    }
}

// Gives a whole file its own name: the first free one from j on.
bool Publish(const std::string& folder, const std::string& name, const std::string& suffix, Output& out,
             std::uint64_t j)
{
    for (;; ++j) {
        const std::string path = OutputName(folder, name, suffix, j);
        switch (platform::RenameNoReplace(out.temporary, path)) {
        case platform::RenameResult::Renamed:
            out.path = path;
            return true;
        case platform::RenameResult::Exists:
            continue;  // taken meanwhile, by another program
        case platform::RenameResult::Failed:
            return false;
        }
    }
}

}  // namespace

namespace {

// Each reason a file may not be whole: in a sentence of its own, and short,
// for counts.
const struct ProblemText {
    std::uint32_t bit;
    const char* text;   // nullptr: the unreadable sectors, counted
    const char* label;
} kProblemTexts[] = {
    {scan::kFaultUnreadable, nullptr, "unreadable sectors"},
    {scan::kFaultDataEnds, "its clusters end before the file does", "clusters end early"},
    {scan::kFaultTornRecord, "its file record is torn", "torn record"},
    {scan::kFaultEncrypted, "it is encrypted", "encrypted"},
    {scan::kFaultUnsupported, "its compression is not supported", "unsupported compression"},
    {scan::kFaultDamagedCompression, "its compressed data is damaged", "damaged compressed data"},
    {scan::kFaultNoData, "nothing tells where its data is", "no data"},
    {scan::kFaultMediumGone, "the device went away", "device gone"},
    {scan::kFaultPastEnd, "its data lies past the end of the device (the image or disk is cut short)", "past the end"},
    {kProblemCannotMakeFolder, "its folder cannot be made", "folder not made"},
    {kProblemCannotCreate, "the file cannot be created", "not created"},
    {kProblemWriteFailed, "writing it failed", "write failed"},
    {kProblemDestinationFull, "the destination is full", "destination full"},
    {kProblemCannotRename, "it cannot be given its name", "not renamed"},
};

}  // namespace

std::string DescribeProblems(std::uint32_t problems, std::uint64_t unreadableSectors)
{
    std::string text;
    for (const ProblemText& t : kProblemTexts) {
        if ((problems & t.bit) == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += t.text != nullptr ? t.text
                                  : std::to_string(unreadableSectors) + " unreadable sector" +
                                        (unreadableSectors == 1 ? "" : "s") + " read as zeros";
    }
    // A file that simply came out short, with nothing else known.
    return text.empty() ? "not all of it could be read" : text;
}

std::string CountProblems(const RecoverSummary& summary)
{
    std::string text;
    for (const ProblemText& t : kProblemTexts) {
        const auto n = std::count_if(summary.problems.begin(), summary.problems.end(),
                                     [&](const FileReport& r) { return (r.problems & t.bit) != 0; });
        if (n == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += std::string(t.label) + ": " + std::to_string(n);
    }
    return text;
}

std::string RecoverProgress::Path() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_path;
}

void RecoverProgress::SetPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_path = path;
}

std::uint64_t SelectionBytes(const scan::VolumeScanner& volume, const Selection& selection, std::uint64_t unit)
{
    const scan::ReadResults results = volume.Results();
    unit = std::max<std::uint64_t>(unit, 1);
    std::uint64_t bytes = 0;
    for (const std::uint32_t k : BuildSelection(*results, selection)) {
        if (k < results->size() && (*results)[k]->m_isDirectory != scan::kKindFolder) {
            // (Sizes read off a damaged volume can be anything: the sum stops at the most there is.)
            const std::uint64_t size = std::min<std::uint64_t>((*results)[k]->m_fileSize, UINT64_MAX / 2);
            const std::uint64_t taken = (size + unit - 1) / unit * unit;
            bytes = taken > UINT64_MAX - bytes ? UINT64_MAX : bytes + taken;
        }
    }
    return bytes;
}

RecoverSummary RecoverFiles(scan::VolumeScanner& volume, const Selection& selection,
                            const std::string& destination, RecoverProgress* progress)
{
    RecoverSummary summary;
    RecoverProgress unwatched;
    RecoverProgress& watch = progress != nullptr ? *progress : unwatched;
    watch.total = 0;
    watch.done = 0;
    // Held for the whole run: the files' records must not move under it.
    const scan::LockedResults results = volume.Results();
    const std::set<std::uint32_t> set = BuildSelection(*results, selection);
    summary.selected = set.size();
    watch.total = set.size();

    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(kTransferBytes);
    } catch (const std::bad_alloc&) {
        base::LogLess("Memory is not enough!");
        return summary;
    }
    const std::string base = destination.empty() || destination.back() == '/' ? destination : destination + "/";
    ReceiptWriter receipt;
    if (!set.empty() && EnsureParentFolders(base + ".") && receipt.Open(base, volume, QUENLAR_VERSION, results->size()))
        summary.receipt = receipt.Path();
    else if (!set.empty())
        base::LogLess("The receipt of the recovery cannot be written in %s", base.c_str());

    for (const std::uint32_t k : set) {
        if (base::StopRequested()) {
            base::LogLess("User stop file recovery!");
            summary.stopped = true;
            break;
        }
        if (!volume.DeviceOpen()) {
            base::LogLess("disk handle exception!");
            summary.deviceGone = true;
            break;
        }
        if (k >= results->size()) {
            base::LogDebug("recovery file No error!");
            ++watch.done;
            continue;
        }
        // What its first and last bytes say, before it is judged.
        scan::CheckResultContent(volume, k);
        const scan::FoundFile& f = *(*results)[k];
        const bool doubtful = f.m_evidence.verdict == scan::kVerdictPartial ||
                              f.m_evidence.verdict == scan::kVerdictOverwritten;
        bool shortened = false;
        const std::string folder = base + SafeFolderPath(f.m_filePath, shortened);
        std::string name(f.name());
        std::string suffix = f.suffix().empty() ? "" : SafeComponent(std::string(f.suffix()));
        // The name keeps its text; only what could not be one component is changed.
        if (f.suffix().empty())
            name = SafeComponent(name);
        else
            for (char& c : name)
                c = (c == '/' || c == '\0') ? '_' : c;
        // A name longer than a file system takes (a legal NTFS name of 255
        // UTF-16 units may be 765 UTF-8 bytes) is shortened, extension kept.
        FitName(name, suffix, platform::kMaxNameBytes - kNumberRoom - std::strlen(kPartialSuffix), shortened);

        Output out;
        std::uint64_t j = 0;
        CreateOutput(watch, folder, name, suffix, out, j);
        std::uint64_t written = 0;
        std::uint64_t unreadable = 0;
        base::Sha256 hash;
        bool timeRestored = false;
        if (out.error == 0) {
            const std::unique_ptr<scan::FileContentReader> reader = scan::OpenFileContent(volume, f);
            while (written < f.m_fileSize) {
                const std::size_t chunk = reader->Read(written, buffer.data(), kTransferBytes);
                if (chunk == 0)
                    break;
                const std::size_t put = out.file.Write(buffer.data(), chunk);
                hash.Add(buffer.data(), put);
                written += put;
                if (put < chunk) {
                    out.error = kErrorWrite;
                    out.problems |= out.file.DiskFull() ? kProblemDestinationFull : kProblemWriteFailed;
                    break;
                }
            }
            out.problems |= reader->Report().faults;
            unreadable = reader->Report().unreadableSectors;
            if (out.error == 0 && written < f.m_fileSize)
                out.error = kErrorRead;
            // A file that is not whole, or whose clusters others own now,
            // keeps no time of the found file: it must not pass for the
            // file as it was.
            const bool whole = out.error == 0 && out.problems == 0;
            if (whole && !doubtful) {
                out.file.SetTime(f.m_latestTime);
                timeRestored = true;
            }
            out.file.Close();
            if (whole && !Publish(folder, name, suffix, out, j)) {
                out.error = kErrorWrite;
                out.problems |= kProblemCannotRename;
            }
        }

        FileReport report;
        report.source = SourceName(f);
        report.problems = out.problems;
        report.unreadableSectors = unreadable;
        ReceiptEntry entry;
        entry.original = report.source;
        entry.sha256 = hash.FinishHex();
        entry.written = written;
        entry.timeRestored = timeRestored;
        if (out.error == 0 && out.problems == 0 && doubtful) {
            report.outcome = Outcome::kDoubtful;
            report.output = out.path;
            report.bytes = written;
            const scan::FileEvidence& e = f.m_evidence;
            const bool taken = e.shared != 0 || (f.m_existType != scan::kExistInUse && e.taken != 0);
            report.why = std::string(taken ? kDoubtfulText : kDoubtfulContentText) + " (" + scan::EvidenceReason(f) + ")";
            summary.bytes += written;
            ++summary.doubtful;
            entry.outcome = "doubtful";
            entry.reasons = report.why;
            base::LogDebug("recovery file %s to %s: %s", DisplayName(f).c_str(), out.path.c_str(), report.why.c_str());
            if (shortened)
                summary.shortened.push_back({report.source, out.path});
            if (out.path != OutputName(folder, name, suffix, 0))
                summary.renamed.push_back({report.source, out.path});
            summary.problems.push_back(std::move(report));
        } else if (out.error == 0 && out.problems == 0) {
            ++summary.succeeded;
            summary.bytes += written;
            entry.outcome = "whole";
            base::LogDebug("recovery file %s to %s", DisplayName(f).c_str(), out.path.c_str());
            if (shortened)
                summary.shortened.push_back({report.source, out.path});
            if (out.path != OutputName(folder, name, suffix, 0))
                summary.renamed.push_back({report.source, out.path});
        } else {
            entry.reasons = DescribeProblems(report.problems, unreadable);
            if (written != 0 && !out.temporary.empty() && platform::PathExists(out.temporary)) {
                report.outcome = Outcome::kPartial;
                entry.outcome = "partial";
                report.output = out.temporary;
                report.bytes = written;
                summary.bytes += written;
                ++summary.partial;
                base::LogDebug("recovery file partial:%s to %s (%s)", DisplayName(f).c_str(), report.output.c_str(),
                               DescribeProblems(report.problems, unreadable).c_str());
            } else {
                if (!out.temporary.empty() && out.error != kErrorFolder && out.error != kErrorCreate)
                    platform::RemoveFile(out.temporary);
                report.outcome = Outcome::kFailed;
                entry.outcome = "failed";
                entry.sha256.clear();
                ++summary.failed;
                base::LogDebug("recovery file error,errNo:%d path:%s (%s)", out.error != 0 ? out.error : kErrorRead,
                               DisplayName(f).c_str(), DescribeProblems(report.problems, unreadable).c_str());
            }
            summary.problems.push_back(std::move(report));
        }
        if (entry.outcome != std::string("failed")) {
            const std::string& kept = entry.outcome == std::string("partial") ? summary.problems.back().output : out.path;
            entry.recovered = kept.compare(0, base.size(), base) == 0 ? kept.substr(base.size()) : kept;
        }
        receipt.Add(volume, f, entry);
        ++watch.done;
    }
    receipt.Close(summary.succeeded, summary.doubtful, summary.partial, summary.failed, summary.stopped);
    base::LogLess("recovery files number:%d,success:%d", static_cast<int>(set.size()), static_cast<int>(summary.succeeded));
    return summary;
}

}  // namespace recover
