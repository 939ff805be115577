// The command line's use of the result store: opening it as its one owner,
// keeping a saved scan of another volume from being replaced unasked, and
// emptying it once a finished deep scan's output is out.
#include "cli/Commands.h"

#include "cli/Terminal.h"

#include "jobs/ScanJobs.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <cinttypes>
#include <cstdio>

namespace cli {

bool OpenResultStore(const std::string& doing)
{
    if (store::OpenStore(store::kDatabaseFile, doing))
        return true;
    const std::string holder = store::LockHolder();
    if (!holder.empty())
        std::fprintf(stderr, "quenlar: the result store '%s' in this folder is in use by %s; wait for it to end, "
                             "or run in another folder\n",
                     store::kDatabaseFile, Printable(holder).c_str());
    else
        std::fprintf(stderr, "quenlar: cannot open the result store '%s' in the current folder\n",
                     store::kDatabaseFile);
    return false;
}

bool MayReplaceSavedScan(const scan::VolumeScanner& volume, bool discardSaved)
{
    store::ScanRecordInfo record;
    if (jobs::MayReplaceSavedScan(volume, record) || discardSaved)
        return true;
    std::fprintf(stderr,
                 "quenlar: %s holds the paused deep scan of '%s' (to go on at sector %" PRIu64
                 "); this scan would replace it. 'quenlar resume' continues that one; --discard-saved lets this "
                 "one replace it\n",
                 store::kDatabaseFile, Printable(record.path).c_str(), record.nextPosition);
    return false;
}

bool CheckSavedVolume(const scan::VolumeScanner& volume, const store::ScanRecordInfo& record)
{
    std::string difference;
    if (!jobs::SameVolumeAsSaved(volume, record, difference)) {
        std::fprintf(stderr,
                     "quenlar: '%s' no longer holds the volume the saved scan was made of: it differs in %s. The "
                     "saved scan is not used; 'quenlar scan --deep %s --discard-saved' scans what is there now\n",
                     Printable(record.path).c_str(), difference.c_str(), Printable(record.path).c_str());
        return false;
    }
    if (!record.hasIdentity)
        std::fprintf(stderr, "quenlar: the saved scan was made by an older version of Quenlar: that '%s' still "
                             "holds the same volume cannot be checked\n",
                     Printable(record.path).c_str());
    return true;
}

DropSavedScanAtEnd::~DropSavedScanAtEnd()
{
    if (m_armed)
        store::DropTables();
}

}  // namespace cli
