// What saving and loading a scan's results costs: N results (default
// 1,000,000) like a large NTFS scan's — names of 8 to 20 characters, 2,000
// folders, one extent each, a tenth deleted, one in fifty a folder — saved into a new result
// database (as a pause saves them), saved again over that save (a second
// pause) and loaded back (as a resume loads them).
// Prints the time of each, the database's size, and checks the load.
//   store_bench [N]
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::string file = "store-bench.db";
    std::filesystem::remove(file);
    std::filesystem::remove(file + "-journal");
    if (!store::OpenStore(file)) {
        std::fprintf(stderr, "store_bench: cannot open %s\n", file.c_str());
        return 1;
    }
    scan::VolumeScanner volume;
    for (std::size_t i = 0; i < count; ++i) {
        auto f = std::make_unique<scan::FoundFile>();
        f->SetNameUtf8("document " + std::to_string(i * 7919 % 1000003) + (i % 3 == 0 ? ".jpg" : ".docx"));
        f->m_filePath = "Users\\someone\\Folder " + std::to_string(i % 2000) + "\\";
        f->m_fileSize = 1000 + i % 100000;
        f->m_fileNo = static_cast<std::uint32_t>(i + 64);
        f->m_latestTime = 133000000000000000ULL + i * 10000000ULL;
        f->m_existType = i % 10 == 0 ? scan::kExistDeleted : scan::kExistInUse;
        f->m_fileSystemType = scan::kNtfs;
        f->m_isDirectory = i % 50 == 0 ? 1 : 0;
        f->extents.push_back({1000000 + i * 16, 16, 0});
        volume.AppendResult(std::move(f));
    }
    store::ScanRecordInfo record;
    record.path = "/dev/bench";
    record.lastScanFlag = scan::kScanDeepRunning;

    auto start = Clock::now();
    const bool saved = store::SaveScanResults(volume, record);
    const double save = Since(start);
    // A second pause of the same scan saves over the first save.
    start = Clock::now();
    const bool savedAgain = store::SaveScanResults(volume, record);
    const double saveAgain = Since(start);
    scan::VolumeScanner loaded;
    start = Clock::now();
    const bool read = store::LoadFoundFiles(loaded);
    const double load = Since(start);
    const bool same = read && loaded.m_results.size() == count && count > 0 &&
                      loaded.m_results[count - 1]->m_filePath == volume.m_results[count - 1]->m_filePath &&
                      loaded.m_results[count - 1]->extents.size() == 1;
    std::printf("results %zu: save %.2f s%s, save over it %.2f s%s, load %.2f s%s, database %.0f MB\n", count, save,
                saved ? "" : " (FAILED)", saveAgain, savedAgain ? "" : " (FAILED)", load, same ? "" : " (WRONG)",
                static_cast<double>(std::filesystem::file_size(file)) / 1e6);
    store::CloseStore();
    return saved && savedAgain && same ? 0 : 1;
}
