// How fast the folder tree of a scan reaches the documents: the bridge scans
// a volume while a consumer, standing for the documents, takes the folder
// batches every 50 ms (GetScanFilePathData, until there is none) and also
// when told of them (SendFileToUi). Prints the time from the scan call to the
// first batch, to the end of the scan (the last SetWorkEnd of a scan phase),
// and to the whole tree (AllPathSendFinishedToUi and the batches left then).
//   pathstreamer_bench VOLUME
#include "bridge/MainFrame.h"
#include "store/ResultStore.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

class Consumer final : public bridge::UiChannel {
public:
    void Call(const std::string& function, bridge::Values args) override
    {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(m_lock);
        if (function == "SetWorkEnd" && (args[0] == bridge::Value(1) || args[0] == bridge::Value(2)))
            scanEnd = now;
        if (function == "AllPathSendFinishedToUi")
            treeDone = now;
        if (function == "SendFileToUi")
            told = true;
    }

    std::mutex m_lock;
    Clock::time_point scanEnd {};
    Clock::time_point treeDone {};
    bool told = false;
};

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s VOLUME\n", argv[0]);
        return 2;
    }
    store::OpenStore("pathstreamer-bench.db");
    Consumer ui;
    bridge::MainFrame frame(ui);
    bridge::Value result;
    const auto start = Clock::now();
    frame.HandleCall("ScanDiskDelFile", {std::string(argv[1])}, result);
    Clock::time_point first {};
    Clock::time_point last {};
    std::size_t folders = 0;
    std::size_t batches = 0;
    // Takes every batch there is now; false when there was none.
    auto take = [&] {
        bool any = false;
        for (;;) {
            bridge::Value batch;
            frame.HandleCall("GetScanFilePathData", {0}, batch);
            if (!batch.IsArray())
                return any;
            any = true;
            last = Clock::now();
            if (batches++ == 0)
                first = last;
            folders += batch.Items().size();
        }
    };
    while (true) {
        take();
        {
            std::lock_guard<std::mutex> lock(ui.m_lock);
            if (ui.treeDone != Clock::time_point {})
                break;
            if (ui.told) {
                ui.told = false;
                continue;  // told of a batch: take it at once
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Told that the tree is whole: what is left is taken now.
    take();
    std::lock_guard<std::mutex> lock(ui.m_lock);
    const Clock::time_point whole = std::max(last, ui.treeDone);
    std::printf("first batch            %8.3f s after the scan call\n", Seconds(start, first));
    std::printf("scan ended             %8.3f s\n", Seconds(start, ui.scanEnd));
    std::printf("whole tree delivered   %8.3f s (%.3f s after the scan ended)\n", Seconds(start, whole),
                Seconds(ui.scanEnd, whole));
    std::printf("folder pairs received  %8zu in %zu batches; %s files found\n", folders, batches,
                [&] {
                    bridge::Value n;
                    frame.HandleCall("GetFilesNumber", {}, n);
                    return std::to_string(n.Int());
                }().c_str());
    frame.HandleCall("StopOperate", {2}, result);
    return 0;
}
