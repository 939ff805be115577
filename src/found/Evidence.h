// How sure we are that a found file gives back its own bytes: what the
// volume says of its clusters now (in use by someone else, shared with other
// found files, past the end), what its content looks like where that can be
// checked cheaply, and the verdict drawn from both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace scan {

class CBaseFileObject;

// The verdict on a found file, worst last.
enum Verdict : std::uint8_t {
    kVerdictUnknown = 0,      // nothing to judge by (a folder, no data, encrypted)
    kVerdictIntact = 1,       // no cluster taken or shared, and its content checks out
    kVerdictLikely = 2,       // no cluster taken or shared; its content was not or cannot be checked
    kVerdictPartial = 3,      // some clusters taken, shared, unreadable or missing
    kVerdictOverwritten = 4,  // all or nearly all taken, or its content is not what its kind begins with
};

// What the content check said.
enum ContentVerdict : std::uint8_t {
    kContentNotChecked = 0,
    kContentPasses = 1,
    kContentFailsAtStart = 2,  // it does not begin as its kind does
    kContentFailsLater = 3,    // it begins well but breaks or ends wrong
    kContentNotCheckable = 4,  // a kind the check does not know
};

// Facts about a file's place on the volume (bits of FileEvidence::flags).
enum EvidenceFlag : std::uint8_t {
    kEvidenceAssessed = 1u << 0,         // the evidence pass has seen it
    kEvidenceNoAllocation = 1u << 1,     // the file system's allocation could not be read
    kEvidencePastVolume = 1u << 2,       // extents past the end of the volume
    kEvidencePastDevice = 1u << 3,       // extents past the end of the device (an image cut short)
    kEvidenceDataShort = 1u << 4,        // its size is larger than its extents, or its chain ends early
    kEvidenceUnreadable = 1u << 5,       // unreadable sectors were met reading it
    kEvidenceNoData = 1u << 6,           // nothing says where its data is
    kEvidenceSameAsLive = 1u << 7,       // its clusters are those of a live file of the same name and size
};

// Whom a file shares clusters with (FileEvidence::conflictKind).
enum ConflictKind : std::uint8_t {
    kConflictNone = 0,
    kConflictLive = 1,    // a file in use
    kConflictNewer = 2,   // a deleted or lost file written later
    kConflictOther = 3,   // another found file of unknown order
};

struct FileEvidence {
    // Non-live file: its clusters the file system marks in use now, which
    // belong to someone else. Live file: its clusters marked free.
    std::uint32_t taken = 0;
    // Its clusters that other found files (a live or a newer one) hold too,
    // besides those counted in `taken`.
    std::uint32_t shared = 0;
    // 1 + the result index of one file it shares clusters with; 0 for none.
    std::uint32_t conflictWith = 0;
    std::uint8_t flags = 0;         // EvidenceFlag bits
    std::uint8_t content = kContentNotChecked;  // a ContentVerdict
    std::uint8_t verdict = kVerdictUnknown;     // a Verdict
    std::uint8_t conflictKind = kConflictNone;  // a ConflictKind
};

// "intact", "likely", "partial", "overwritten", "unknown".
const char* VerdictName(std::uint8_t verdict);
// The verdict from its name; false for another word.
bool VerdictFromName(std::string_view name, std::uint8_t& verdict);
// The verdict in plain words for the window and reports.
const char* VerdictWords(std::uint8_t verdict);
// "passes", "fails-at-start", "fails-later", "not-checkable", "not-checked".
const char* ContentName(std::uint8_t content);

// Draws the verdict from the evidence: `clusters` is how many clusters
// the file's data takes.
std::uint8_t JudgeEvidence(const CBaseFileObject& file, std::uint64_t clusters);
// One short sentence of why: what tipped the verdict.
std::string EvidenceReason(const CBaseFileObject& file);

}  // namespace scan
