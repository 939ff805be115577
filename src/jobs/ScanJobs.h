// The jobs both front ends run, below them both: opening a volume by the
// name the user gave, a deep scan that keeps its results when it is paused,
// the saved-scan record and the resumption of a saved scan, and the check
// that a destination lies off the volume being read. The command line calls
// these directly; the UI's workers call the same.
#pragma once

#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <cstdint>
#include <functional>
#include <string>

namespace jobs {

// The saved-scan record of `volume`: the name it goes by (how its caller
// named it; for an image file or another volume, which the lists of one run
// only number, the file or device itself), its identity and device, the
// scan mode, and where a deep scan goes on.
store::ScanRecordInfo SavedScanRecord(const scan::VolumeScanner& volume, std::uint64_t nextPosition,
                                      std::uint64_t useTime);

// Whether the opened `volume` is the one `record` was made of; when not,
// `difference` says how it differs, in words. A record saved by an older
// version, which has no identity, is taken at its word.
bool SameVolumeAsSaved(const scan::VolumeScanner& volume, const store::ScanRecordInfo& record,
                       std::string& difference);

// Runs the deep scan from `startSector`. Paused with a keep request, or cut
// short because the medium went away or kept failing, it saves the results
// and the position to the store so that a later resume goes on from there
// (unless `maySave` is false: the store then keeps what it holds). `saved`
// tells whether it did. Returns the scan's DeepScanEnd.
int RunDeepScan(scan::VolumeScanner& volume, std::uint64_t startSector, bool maySave = true, bool* saved = nullptr);
// Whether a deep scan that ended so leaves nothing to resume: the store is
// then to be emptied (store::DropTables), once its results are safely out.
bool LeavesNothingToResume(int deepEnd);

struct ResumeOutcome {
    enum Status {
        kNothingSaved,  // the store holds no scan record
        kCannotOpen,    // the saved volume cannot be opened (see openStatus)
        kOtherVolume,   // the saved name now opens another volume (see difference); nothing was loaded
        kLoadFailed,    // the stored files could not be read
        kResumed,       // see action
    } status = kNothingSaved;
    store::ScanRecordInfo record;
    int openStatus = 0;
    // What ran after loading: 2 the deep scan (deepEnd tells how it ended),
    // 1 a normal scan, 0 nothing (the saved scan had finished).
    int action = 0;
    int deepEnd = scan::kDeepFinished;
    bool saved = false;       // the deep scan saved itself again (paused, or the medium failed)
    std::string difference;   // kOtherVolume: how the volume differs from the saved one
    bool unchecked = false;   // saved by an older version: the volume could not be checked
};

// Opens `volume` on a volume named as the UI and the store name them (a
// partition name, a mount point, a device node or image file), keeping the
// name as its device path (for an image file or another volume named by its
// place in the list, the file or device itself). Returns Open's status. A
// name the disk list cannot resolve is opened as it is (and fails as a
// path would); `unresolved`, when given, says why it could not be resolved.
int OpenNamedVolume(scan::VolumeScanner& volume, const std::string& name, std::string* unresolved = nullptr);

// Whether the saved scan in the store, if any, may be replaced by a scan of
// `volume`: there is none, or it is of this volume, whatever it is called
// now (a record of an older version knows its name only). `saved` is what
// the store holds.
bool MayReplaceSavedScan(const scan::VolumeScanner& volume, store::ScanRecordInfo& saved);
// Saves the results of `volume`, whose deep scan has begun, as they stand,
// to go on from where the deep scan is now.
bool SaveScanNow(scan::VolumeScanner& volume);

// Whether writing to `destination` (a folder, made if it is missing) would
// write to the volume being read: the nearest folder of it that exists lies
// on the device `volume` was opened on.
bool DestinationOnSource(const scan::VolumeScanner& volume, const std::string& destination);

// Why found files cannot be recovered into the folder `destination` (made
// if it is missing), in one sentence for the user; "" when they can. The
// folder must be given whole, be a folder or one that can be made, be
// writable, lie on another device than the volume, and have room for the
// files: `bytesIn(unit)` is what they take on a file system that gives
// files room in units of `unit` bytes (no function: not checked).
std::string DestinationProblem(const scan::VolumeScanner& volume, const std::string& destination,
                               const std::function<std::uint64_t(std::uint64_t unit)>& bytesIn);

// What a caller of ResumeSavedScan does at each step (the UI's resume worker
// publishes the volume and tells the UI; the command line needs none).
struct ResumeSteps {
    virtual ~ResumeSteps() = default;
    // Opened and loaded: the volume is there to be shown; `scanFollows` says
    // whether a phase of the scan runs on after it.
    virtual void Loaded(scan::VolumeScanner&, bool /*scanFollows*/) {}
    virtual void DeepScanStarts() {}
    virtual void DeepScanEnded(int /*deepEnd*/) {}
    virtual void NormalScanStarts() {}
    virtual void NormalScanEnded() {}
};

// Reads the saved scan record, opens its volume, checks that it is the
// volume the scan was made of, loads the stored files and goes on as the
// saved scan mode says (a saved normal scan is run again: nothing of it is
// loaded).
ResumeOutcome ResumeSavedScan(scan::VolumeScanner& volume, ResumeSteps* steps = nullptr);

}  // namespace jobs
