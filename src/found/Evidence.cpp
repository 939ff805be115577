#include "found/Evidence.h"

#include "found/FoundFile.h"

namespace scan {
namespace {

bool Live(const CBaseFileObject& file)
{
    return file.m_existType == kExistInUse;
}

// Clusters that do not hold the file's own bytes any more, as far as the
// volume tells.
std::uint64_t Hurt(const CBaseFileObject& file)
{
    const FileEvidence& e = file.m_evidence;
    if (e.flags & kEvidenceSameAsLive)
        return 0;
    return std::uint64_t {e.shared} + (Live(file) ? 0 : e.taken);
}

std::string Count(std::uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

const char* VerdictName(std::uint8_t verdict)
{
    switch (verdict) {
    case kVerdictIntact: return "intact";
    case kVerdictLikely: return "likely";
    case kVerdictPartial: return "partial";
    case kVerdictOverwritten: return "overwritten";
    default: return "unknown";
    }
}

bool VerdictFromName(std::string_view name, std::uint8_t& verdict)
{
    for (std::uint8_t v = kVerdictUnknown; v <= kVerdictOverwritten; ++v) {
        if (name == VerdictName(v)) {
            verdict = v;
            return true;
        }
    }
    return false;
}

const char* VerdictWords(std::uint8_t verdict)
{
    switch (verdict) {
    case kVerdictIntact: return "Whole (checked)";
    case kVerdictLikely: return "Likely whole";
    case kVerdictPartial: return "Partly overwritten";
    case kVerdictOverwritten: return "Overwritten";
    default: return "Cannot tell";
    }
}

const char* ContentName(std::uint8_t content)
{
    switch (content) {
    case kContentPasses: return "passes";
    case kContentFailsAtStart: return "fails-at-start";
    case kContentFailsLater: return "fails-later";
    case kContentNotCheckable: return "not-checkable";
    default: return "not-checked";
    }
}

std::uint8_t JudgeEvidence(const CBaseFileObject& file, std::uint64_t clusters)
{
    const FileEvidence& e = file.m_evidence;
    if (file.m_isDirectory == kKindFolder || file.m_encoding == kEncrypted || file.m_encoding == kUnknownCompression)
        return kVerdictUnknown;
    if ((e.flags & kEvidenceNoData) && file.m_fileSize != 0)
        return kVerdictUnknown;
    // A file in use gives back what the volume holds of it now: its content
    // check can only make the verdict surer, never worse.
    const std::uint8_t content = Live(file) && e.content != kContentPasses ? std::uint8_t {kContentNotChecked} : e.content;
    if (content == kContentFailsAtStart)
        return kVerdictOverwritten;
    const std::uint64_t hurt = Hurt(file);
    if (clusters != 0 && hurt * 10 >= clusters * 9)
        return kVerdictOverwritten;
    if (hurt != 0 || content == kContentFailsLater ||
        (e.flags & (kEvidencePastDevice | kEvidenceDataShort | kEvidenceUnreadable)))
        return kVerdictPartial;
    if (content == kContentPasses)
        return kVerdictIntact;
    // A deleted file whose clusters the volume cannot say anything about.
    if ((e.flags & kEvidenceNoAllocation) && !Live(file) && clusters != 0)
        return kVerdictUnknown;
    return kVerdictLikely;
}

std::string EvidenceReason(const CBaseFileObject& file)
{
    const FileEvidence& e = file.m_evidence;
    if (file.m_isDirectory == kKindFolder)
        return "a folder";
    if (file.m_encoding == kEncrypted)
        return "encrypted: its bytes cannot be read back here";
    if (file.m_encoding == kUnknownCompression)
        return "compressed in a way that cannot be read back here";
    if ((e.flags & kEvidenceNoData) && file.m_fileSize != 0)
        return "nothing says where its data is";
    std::string why;
    auto add = [&why](const std::string& part) {
        if (!why.empty())
            why += "; ";
        why += part;
    };
    if (e.content == kContentFailsAtStart)
        add(Live(file) ? "it does not begin as a ." + std::string(file.suffix()) + " file does"
                       : "it does not begin as a ." + std::string(file.suffix()) + " file does: other data lies there now");
    if (!Live(file) && e.taken != 0 && !(e.flags & kEvidenceSameAsLive))
        add(e.taken == 1 ? std::string("1 of its clusters now belongs to another file")
                         : std::to_string(e.taken) + " of its clusters now belong to other files");
    if (Live(file) && e.taken != 0)
        add(Count(e.taken, "of its clusters is", "of its clusters are") + " marked free though the file is in use");
    if (e.conflictWith != 0) {
        const char* whom = e.conflictKind == kConflictLive    ? "a file in use"
                           : e.conflictKind == kConflictNewer ? "a file written later"
                                                              : "another found file";
        const std::string which = std::string(whom) + " (index " + std::to_string(e.conflictWith - 1) + ")";
        if (e.shared != 0)
            add("shares " + Count(e.shared, "cluster", "clusters") + " with other found files, among them " + which);
        else
            add("its clusters overlap " + which);
    }
    if (e.flags & kEvidencePastDevice)
        add("part of it lies past the end of the device");
    else if (e.flags & kEvidencePastVolume)
        add("part of it lies past the end of the volume");
    if (e.flags & kEvidenceDataShort)
        add("its data ends before its size");
    if (e.flags & kEvidenceUnreadable)
        add("some of its sectors could not be read");
    if (file.m_torn && FoundByContent(file))
        add("its content breaks off: it was kept as far as it held");
    else if (file.m_torn)
        add("its record is torn");
    if (e.content == kContentFailsLater)
        add("its content begins well but breaks further on");
    if (Live(file) && !why.empty() && e.taken == 0 && e.shared == 0 && (e.content == kContentFailsAtStart ||
                                                                          e.content == kContentFailsLater))
        return why + "; it is in use, so these are the bytes it holds";
    if (!why.empty())
        return why;
    if ((e.flags & kEvidenceNoAllocation) && !Live(file) && !file.extents.empty())
        return "the volume's record of which clusters are in use could not be read";
    std::string first = Live(file) ? "in use on the volume" : "no cluster of it is taken by another file";
    if (e.flags & kEvidenceSameAsLive)
        first = "its clusters are those of the file in use of the same name";
    switch (e.content) {
    case kContentPasses: return first + "; its content checks out";
    case kContentNotCheckable: return first + "; its kind of content cannot be checked";
    default: return first + "; its content was not checked";
    }
}

}  // namespace scan
