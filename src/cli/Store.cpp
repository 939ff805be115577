// The command line's use of the result store: opening it as its one owner,
// keeping a saved scan of another volume from being replaced unasked, and
// emptying it once a finished deep scan's output is out.
#include "cli/Commands.h"

#include "store/ResultStore.h"

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
                     store::kDatabaseFile, holder.c_str());
    else
        std::fprintf(stderr, "quenlar: cannot open the result store '%s' in the current folder\n",
                     store::kDatabaseFile);
    return false;
}

bool MayReplaceSavedScan(const std::string& devicePath, bool discardSaved)
{
    store::ScanRecordInfo record;
    store::ReadLastScanRecord(record);
    if (record.path.empty() || record.path == devicePath || discardSaved)
        return true;
    std::fprintf(stderr,
                 "quenlar: %s holds the paused deep scan of '%s' (to go on at sector %" PRIu64
                 "); this scan would replace it. 'quenlar resume' continues that one; --discard-saved lets this "
                 "one replace it\n",
                 store::kDatabaseFile, record.path.c_str(), record.nextPosition);
    return false;
}

DropSavedScanAtEnd::~DropSavedScanAtEnd()
{
    if (m_armed)
        store::DropTables();
}

}  // namespace cli
