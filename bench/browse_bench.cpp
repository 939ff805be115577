// What the documents wait for on a very large scan: N results (default
// 2,000,000, names of 11 to 19 bytes, one extent each) in 20,000 folders,
// one of which holds 100,000 files. Prints the
// time to the first folder batch (100 folders, as the path streamer takes
// them while a scan runs), to place every result in the tree, to list the
// large folder's rows, and to filter all results for pictures, and the
// memory each result takes.
//   browse_bench [N]
#include "browse/Filters.h"
#include "browse/FolderTree.h"
#include "volume/VolumeScanner.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

// The process's resident memory in bytes.
double Resident()
{
    unsigned long long pages = 0;
    unsigned long long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%llu %llu", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * 4096.0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
    constexpr std::size_t kLarge = 100000;
    scan::VolumeScanner volume;
    const double before = Resident();
    for (std::size_t i = 0; i < count; ++i) {
        auto f = std::make_unique<scan::FoundFile>();
        f->SetNameUtf8("photo " + std::to_string(i) + (i % 4 == 0 ? ".jpg" : ".txt"));
        f->m_filePath = i < kLarge ? std::string("Big\\") : "Users\\Folder " + std::to_string(i % 20000) + "\\";
        f->m_fileSize = 1000 + i % 100000;
        f->m_latestTime = 133000000000000000ULL + i * 10000000ULL;
        f->m_existType = i % 10 == 0 ? scan::kExistDeleted : scan::kExistInUse;
        f->m_fileSystemType = scan::kNtfs;
        f->m_isDirectory = 0;
        f->extents.push_back({1000000 + i * 16, 16, 0});
        volume.AppendResult(std::move(f));
    }

    const double perResult = (Resident() - before) / static_cast<double>(count);
    browse::FolderUpdates updates;
    browse::FolderTree tree;
    auto start = Clock::now();
    browse::CollectFolderUpdates(volume, tree, updates, "", 100);
    const double first = Since(start);
    start = Clock::now();
    std::size_t folders = updates.size();
    for (;;) {
        updates.clear();
        const std::size_t left = browse::CollectFolderUpdates(volume, tree, updates, "", browse::kNoLimit);
        folders += updates.size();
        if (updates.empty() && left == 0)
            break;
    }
    const double whole = Since(start);

    std::vector<browse::FileRow> rows;
    start = Clock::now();
    browse::ListFolderFiles(volume, "Big\\", rows);
    const double listing = Since(start);
    const std::size_t listed = rows.size();

    rows.clear();
    start = Clock::now();
    browse::Filter pictures;
    pictures.categories[0] = 1;
    browse::FilterFiles(volume, pictures, rows);
    const double filter = Since(start);

    std::printf("results %zu (%.0f bytes each in memory): first folder batch %.3f s, whole tree %.2f s (%zu folder updates), "
                "listing of %zu rows %.3f s, pictures filter %.2f s (%zu rows)\n",
                count, perResult, first, whole, folders, listed, listing, filter, rows.size());
    return listed == kLarge ? 0 : 1;
}
