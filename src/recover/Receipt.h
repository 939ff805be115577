// The receipt of a recovery, written next to the recovered files as
// quenlar-receipt.json and quenlar-receipt.csv (with "_1", "_2", ... when a
// receipt is there already): for each file where it came from, where it went,
// the SHA-256 of what was written, how sure we are of it and why, and what
// happened; with the volume and the scan it came from. Written as the run
// goes, so that an interrupted run leaves a receipt of what it did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
class OutputFile;
}
namespace scan {
class CBaseFileObject;
class VolumeScanner;
}  // namespace scan

namespace recover {

constexpr const char* kReceiptName = "quenlar-receipt";

// One file of the run.
struct ReceiptEntry {
    std::string original;   // its folder path and name on the volume, "/" between
    std::string recovered;  // where it went, relative to the destination; "" when nothing was kept
    std::uint64_t written = 0;
    std::string sha256;     // of the bytes written
    const char* outcome = "";  // "whole", "doubtful", "partial", "failed"
    std::string reasons;
    bool timeRestored = false;
};

class ReceiptWriter {
public:
    ReceiptWriter();
    ~ReceiptWriter();
    ReceiptWriter(const ReceiptWriter&) = delete;
    ReceiptWriter& operator=(const ReceiptWriter&) = delete;

    // Creates the two files in `destination` (a folder path ending in "/")
    // and writes what is known of the run. False when they cannot be made.
    // `results` is how many results the scan holds.
    bool Open(const std::string& destination, const scan::VolumeScanner& volume, const std::string& version,
              std::size_t results);
    void Add(const scan::VolumeScanner& volume, const scan::CBaseFileObject& file, const ReceiptEntry& entry);
    // Ends the JSON with the run's counts.
    void Close(std::size_t whole, std::size_t doubtful, std::size_t partial, std::size_t failed, bool stopped);
    // The JSON receipt's path; "" when none was made.
    const std::string& Path() const { return m_jsonPath; }

private:
    void Put(platform::OutputFile& file, const std::string& text);

    platform::OutputFile* m_json = nullptr;
    platform::OutputFile* m_csv = nullptr;
    std::string m_jsonPath;
    bool m_first = true;
    bool m_failed = false;
};

}  // namespace recover
