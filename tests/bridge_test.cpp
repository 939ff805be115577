// The script bridge driven as the documents drive it: calls on one thread
// (the test's, standing for the UI thread), notifications recorded as they
// arrive from the workers, against real volumes (the test images) and a
// real store.
#include "base/StopRequest.h"
#include "bridge/MainFrame.h"
#include "bridge/Protocol.h"
#include "browse/FolderTree.h"
#include "browse/Filters.h"
#include "store/ResultStore.h"
#include "platform/Time.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using bridge::Value;
using bridge::Values;

namespace browse {
// Values show as JSON in failures.
void PrintTo(const ScriptValue& value, std::ostream* out)
{
    *out << value.ToJson();
}
}  // namespace browse

namespace {

const std::string kImages = QUENLAR_IMAGE_DIR;

struct Notification {
    std::string function;
    Values args;
    bridge::DocumentId document = 0;  // the one document it went to; 0 every document
};

// The documents' side: every notification, in order.
class Recorder final : public bridge::UiChannel {
public:
    void Call(const std::string& function, Values args) override { Record(0, function, std::move(args)); }
    void CallDocument(bridge::DocumentId document, const std::string& function, Values args) override
    {
        Record(document, function, std::move(args));
    }
    // A document that has gone (kGone), or one that lags behind by `bytes`.
    std::size_t Backlog(bridge::DocumentId document) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_backlogs.find(document);
        return it == m_backlogs.end() ? 0 : it->second;
    }
    void SetBacklog(bridge::DocumentId document, std::size_t bytes)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_backlogs[document] = bytes;
    }

    std::vector<Notification> Calls()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }
    std::vector<Notification> Named(const std::string& function)
    {
        std::vector<Notification> named;
        for (Notification& n : Calls())
            if (n.function == function)
                named.push_back(std::move(n));
        return named;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.clear();
    }
    // Waits until `done` holds for the calls so far, while `meanwhile` runs
    // every 20 ms on this thread (the UI taking batches); false on time-out.
    bool Until(const std::function<bool(const std::vector<Notification>&)>& done,
               const std::function<void()>& meanwhile = {}, std::chrono::seconds limit = std::chrono::seconds(60))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (meanwhile)
                meanwhile();
            {
                std::unique_lock<std::mutex> lock(m_lock);
                if (done(m_calls))
                    return true;
                m_changed.wait_for(lock, std::chrono::milliseconds(20));
            }
        }
        return false;
    }

private:
    void Record(bridge::DocumentId document, const std::string& function, Values args)
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_calls.push_back({function, std::move(args), document});
        }
        m_changed.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Notification> m_calls;
    std::map<bridge::DocumentId, std::size_t> m_backlogs;
};

bool Has(const std::vector<Notification>& calls, const std::string& function)
{
    return std::any_of(calls.begin(), calls.end(), [&](const Notification& n) { return n.function == function; });
}

std::size_t Count(const std::vector<Notification>& calls, const std::string& function)
{
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const Notification& n) { return n.function == function; }));
}

bridge::WorkerTiming FastTiming()
{
    bridge::WorkerTiming t;
    t.idleWait = std::chrono::milliseconds(50);
    t.releaseWait = std::chrono::milliseconds(20);
    return t;
}

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base::StopRequest = 0;
        dir = fs::path(testing::TempDir()) /
              ("bridge-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_TRUE(store::OpenStore((dir / store::kDatabaseFile).string()));
        frame = std::make_unique<bridge::MainFrame>(ui, FastTiming());
    }
    void TearDown() override
    {
        base::StopRequest = 2;  // any worker left ends
        frame.reset();
        base::StopRequest = 0;
        store::CloseStore();
        fs::remove_all(dir);
    }

    Value Call(const std::string& name, Values args = {}, bridge::DocumentId document = 0)
    {
        Value result;
        EXPECT_TRUE(frame->HandleCall(document, name, args, result)) << name;
        return result;
    }
    bool Handled(const std::string& name, Values args = {})
    {
        Value result;
        return frame->HandleCall(name, args, result);
    }
    // The UI's part while a scan runs: take the folders not taken yet, a
    // batch at a time, and keep their pairs.
    void TakeBatches(bridge::DocumentId document = 0) { TakeInto(folders, document); }
    void TakeInto(std::map<std::string, std::int64_t>& tree, bridge::DocumentId document)
    {
        for (;;) {
            const Value batch = Call("GetScanFilePathData", {0}, document);
            if (!batch.IsArray())
                return;
            EXPECT_LE(batch.Items().size(), 50u);
            for (const Value& pair : batch.Items())
                tree[pair.Items()[0].String()] = pair.Items()[1].Int();
        }
    }
    // The current scan's identity, as GetWorkState gives it.
    Value ScanId() { return Call("GetWorkState").Get("scan"); }
    // The index of file `name` in `folder` of the current scan, as its
    // listing gives it; -1 when it is not there.
    std::int64_t IndexIn(const std::string& folder, const std::string& name)
    {
        ui.Clear();
        EXPECT_EQ(Call("GetPathFiles", {"p", folder}), Value(0));
        EXPECT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "EndReceiePathFiles"); }));
        for (const Notification& n : ui.Named("InReceiePathFiles"))
            for (const Value& row : n.args[1].Items())
                if (row.Items()[0] == Value(name))
                    return row.Items()[5].Int();
        return -1;
    }
    // A preview as the documents get it: asked for, then told.
    Value Preview(const Value& index, const Value& length, std::optional<std::int64_t> offset = {})
    {
        const std::size_t before = ui.Named("SetFilePreview").size();
        EXPECT_EQ(offset ? Call("GetFilePreviewAt", {ScanId(), index, *offset, length})
                         : Call("GetFilePreview", {ScanId(), index, length}),
                  Value(0));
        EXPECT_TRUE(ui.Until([before](const auto& calls) { return Count(calls, "SetFilePreview") > before; }));
        const auto told = ui.Named("SetFilePreview");
        if (told.size() <= before)
            return Value();
        EXPECT_EQ(told[before].args[0], Value(index.Int()));
        return told[before].args[1];
    }
    // `tree` holds every folder of the current scan's results with its count.
    void ExpectWholeTree(const std::map<std::string, std::int64_t>& tree)
    {
        const std::map<std::string, std::int64_t> want = TreeOfResults();
        EXPECT_GT(want.size(), 0u);
        EXPECT_EQ(tree, want);
    }
    // Every folder of the current scan's results with the files at or below it.
    std::map<std::string, std::int64_t> TreeOfResults()
    {
        const auto volume = frame->CurrentReader();
        std::map<std::string, std::int64_t> want;
        if (!volume)
            return want;
        const scan::ReadResults results = std::as_const(*volume).Results();
        for (const auto& f : *results) {
            std::string path = f->m_filePath;
            if (f->m_isDirectory == 1 || path.empty() || path == "/" || f->m_existType == scan::kExistUnset)
                continue;
            path.pop_back();
            for (;;) {
                ++want[path];
                const std::size_t cut = path.rfind('\\');
                if (cut == std::string::npos)
                    break;
                path.resize(cut);
            }
        }
        return want;
    }
    bool UntilEnd()
    {
        return ui.Until([](const auto& calls) { return Has(calls, "AllPathSendFinishedToUi"); },
                        [this] { TakeBatches(); });
    }
    // A copy of a test image grown to `bytes`, its boot sector's size made
    // to match: a larger disk with the same files, for a deep scan that
    // lasts long enough to be stopped.
    std::string Grown(const std::string& name, std::uint64_t bytes)
    {
        const fs::path copy = dir / (name + "-grown.img");
        fs::copy_file(kImages + "/" + name + ".img", copy);
        fs::resize_file(copy, bytes);
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        const std::uint64_t sectors = bytes / 512 - 1;
        f.seekp(0x28);
        for (int i = 0; i < 8; ++i)
            f.put(static_cast<char>(sectors >> (8 * i)));
        return copy.string();
    }

    fs::path dir;
    Recorder ui;
    std::unique_ptr<bridge::MainFrame> frame;
    std::map<std::string, std::int64_t> folders;  // as the UI received them
};

std::multiset<std::string> Keys(const scan::VolumeScanner& volume)
{
    const scan::ReadResults results = volume.Results();
    std::multiset<std::string> keys;
    for (const auto& f : *results)
        keys.insert(f->m_filePath + "|" + f->FullNameUtf8() + "|" + std::to_string(f->m_fileSize) + "|" +
                    std::to_string(f->m_existType));
    return keys;
}

}  // namespace

TEST_F(BridgeTest, ANormalScanThenTheDeepScanReachTheUiInOrder)
{
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs.img"}), Value(0));
    ASSERT_TRUE(UntilEnd());
    const auto calls = ui.Calls();
    // SetWorkEnd(1, 0, 0), then SetWorkEnd(2, 0, 0), then the idle batches
    // (each announced), then AllPathSendFinishedToUi, last.
    std::vector<std::string> order;
    for (const Notification& n : calls) {
        if (n.function == "SetCurrentScan")
            continue;
        if (n.function == "SetWorkEnd")
            order.push_back("end" + std::to_string(n.args[0].Int()));
        else if (order.empty() || order.back() != n.function)
            order.push_back(n.function);
    }
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ(order[0], "end1");
    EXPECT_EQ(order[1], "end2");
    EXPECT_EQ(order.back(), "AllPathSendFinishedToUi");
    for (const Notification& n : ui.Named("SetWorkEnd")) {
        EXPECT_EQ(n.args[1], Value(0));
        EXPECT_EQ(n.args[2], Value(0));
    }
    EXPECT_EQ(frame->WorkFlag(), 0u);
    // The tree the UI received: every folder of the results, with its count.
    const auto tree = frame->CurrentTree();
    ASSERT_TRUE(tree);
    const std::map<std::string, std::int32_t> counts = tree->Counts();
    EXPECT_EQ(folders.size(), counts.size());
    for (const auto& [folder, count] : counts)
        EXPECT_EQ(folders[folder], count) << folder;
    EXPECT_GT(folders["Documents"], 0);
}

// A quick scan ends with its normal scan: told as a scan that finished, its
// tree whole, its deep scan not begun; the deep scan can follow later and
// adds what it finds. The documents' tree marks deleted folders.
TEST_F(BridgeTest, AQuickScanEndsWithItsNormalScanAndTheDeepScanMayFollow)
{
    EXPECT_EQ(Call("OpenImageFile", {kImages + "/fat32.img"}), Value(0));
    Call("FreshDiskInfo");
    EXPECT_EQ(Call("QuickScanPartition", {static_cast<std::int64_t>(disks::kImageDisk), 1}), Value(0));
    ASSERT_TRUE(UntilEnd());
    disks::SetOfferedImages({});
    EXPECT_EQ(ui.Named("SetWorkEnd").size(), 1u);
    EXPECT_EQ(ui.Named("SetWorkEnd")[0].args, (Values {1, 0, 0}));
    Value work = Call("GetWorkState");
    EXPECT_EQ(work.Get("deepBegun"), Value(false));
    EXPECT_EQ(work.Get("fileSystem"), Value("FAT32"));
    const std::int64_t quick = work.Get("fileCount").Int();
    EXPECT_GT(quick, 10);
    EXPECT_LT(quick, work.Get("files").Int());  // the folders are results too
    ExpectWholeTree(folders);
    // The marks come with GetScanFolders alone: GetScanFilePathData keeps its pairs.
    std::map<std::string, std::int64_t> marks;
    const Value id = ScanId();
    const bridge::DocumentId other = 7;  // a document that has taken nothing yet
    for (Value batch = Call("GetScanFolders", {id}, other); batch.IsArray(); batch = Call("GetScanFolders", {id}, other))
        for (const Value& entry : batch.Items()) {
            ASSERT_EQ(entry.Items().size(), 3u);
            marks[entry.Items()[0].String()] = entry.Items()[2].Int();
        }
    EXPECT_EQ(marks.size(), folders.size());
    EXPECT_EQ(marks["DeletedFolder"], 2);
    EXPECT_EQ(marks["DeletedFolder\\Sub"], 2);
    EXPECT_EQ(marks["Documents"], 0);

    ui.Clear();
    EXPECT_EQ(Call("DeepScanPartition"), Value(0));
    ASSERT_TRUE(UntilEnd());
    work = Call("GetWorkState");
    EXPECT_EQ(work.Get("deepBegun"), Value(true));
    EXPECT_GE(work.Get("fileCount").Int(), quick);
    EXPECT_EQ(frame->WorkFlag(), 0u);
}

TEST_F(BridgeTest, AStopThatKeepsTheDeepScanResumesAfterARestart)
{
    const std::string image = Grown("ntfs-reformatted", 1ULL << 30);
    // The whole scan, unbroken.
    EXPECT_EQ(Call("ScanDiskDelFile", {image}), Value(0));
    ASSERT_TRUE(UntilEnd());
    const std::multiset<std::string> whole = Keys(*frame->CurrentReader());
    EXPECT_GT(whole.size(), 10u);
    // Again, stopped with the keep bit once the deep scan runs.
    ui.Clear();
    folders.clear();
    EXPECT_EQ(Call("ScanDiskDelFile", {image}), Value(0));
    ASSERT_TRUE(ui.Until([this](const auto&) { return frame->WorkFlag() == bridge::kWorkDeepScan; },
                         [this] { TakeBatches(); }));
    EXPECT_EQ(Call("StopOperate", {1}), Value(1));
    ASSERT_TRUE(ui.Until(
        [](const auto& calls) {
            return std::any_of(calls.begin(), calls.end(),
                               [](const Notification& n) { return n.function == "SetWorkEnd" && n.args[0] == Value(2); });
        },
        [this] { TakeBatches(); }));
    EXPECT_EQ(ui.Named("SetWorkEnd").back().args[2], Value(1));
    // The tree of what the paused scan found is whole, and told so.
    ASSERT_TRUE(UntilEnd());
    ExpectWholeTree(folders);
    EXPECT_EQ(Call("GetLastScanStatus"), Value(1));
    EXPECT_EQ(Call("GetWorkState").Get("saved"), Value(true));
    // A new bridge, as after the program was closed and started again.
    frame.reset();
    base::StopRequest = 0;
    ui.Clear();
    frame = std::make_unique<bridge::MainFrame>(ui, FastTiming());
    EXPECT_EQ(Call("GetLastScanStatus"), Value(1));
    const Value info = Call("GetSaveScanInfo");
    EXPECT_EQ(info.Items()[0].Items()[0], Value(image));
    // What the banner tells of it: an image file of NTFS, 1 GiB, begun today,
    // how far its deep scan got, and the files it holds (folders not counted).
    const Value& facts = info.Items()[2];
    EXPECT_EQ(facts.Get("fileSystem"), Value("NTFS"));
    EXPECT_EQ(facts.Get("bytes"), Value(std::to_string(1ULL << 30)));
    EXPECT_EQ(facts.Get("image"), Value(image));
    const platform::LocalTime now = platform::NowLocal();
    char today[16];
    std::snprintf(today, sizeof today, "%04d-%02d-%02d", now.year, now.month, now.day);
    EXPECT_EQ(facts.Get("started").String().substr(0, 10), today);
    EXPECT_EQ(facts.Get("total"), Value(std::to_string((1ULL << 30) / 512)));
    EXPECT_LT(std::stoll(facts.Get("done").String()), std::stoll(facts.Get("total").String()));
    EXPECT_GE(facts.Get("files").Int(), 1);
    EXPECT_LT(facts.Get("files").Int(), static_cast<std::int64_t>(whole.size()));
    EXPECT_EQ(Call("ResumeScan"), Value(0));
    ASSERT_TRUE(UntilEnd());
    EXPECT_TRUE(Has(ui.Calls(), "StartDeepScan"));
    EXPECT_EQ(Keys(*frame->CurrentReader()), whole);
    EXPECT_EQ(Call("GetLastScanStatus"), Value(0));  // finished: nothing left saved
}

TEST_F(BridgeTest, AStopWithoutKeepEndsWithTheWholeTree)
{
    const std::string image = Grown("ntfs", 1ULL << 30);
    EXPECT_EQ(Call("ScanDiskDelFile", {image}), Value(0));
    ASSERT_TRUE(ui.Until([this](const auto&) { return frame->WorkFlag() == bridge::kWorkDeepScan; },
                         [this] { TakeBatches(); }));
    EXPECT_EQ(Call("StopOperate", {2}), Value(2));
    ASSERT_TRUE(ui.Until(
        [](const auto& calls) {
            return std::any_of(calls.begin(), calls.end(), [](const Notification& n) {
                return n.function == "SetWorkEnd" && n.args[0] == Value(2) && n.args[2] == Value(2);
            });
        },
        [this] { TakeBatches(); }));
    // The tree is whole after a stop too, and the documents are told so.
    ASSERT_TRUE(UntilEnd());
    EXPECT_EQ(Call("GetLastScanStatus"), Value(0));
    EXPECT_EQ(frame->WorkFlag(), 0u);
    ExpectWholeTree(folders);
}

namespace {

// Saves `files` (path, name) as a finished deep scan (flag 3) of `device`.
void SaveFinishedScan(const std::string& device, const std::vector<std::pair<std::string, std::string>>& files)
{
    scan::VolumeScanner volume;
    for (const auto& [path, name] : files) {
        auto f = std::make_unique<scan::FoundFile>();
        f->SetNameUtf8(name);
        f->m_filePath = path;
        f->m_fileSize = 10;
        f->m_isDirectory = 0;
        f->m_existType = scan::kExistDeleted;
        f->m_fileSystemType = scan::kNtfs;
        volume.AppendResult(std::move(f));
    }
    store::ScanRecordInfo record;
    record.path = device;
    record.lastScanFlag = scan::kScanDeepFinished;
    ASSERT_TRUE(store::SaveScanResults(volume, record));
}

// The standard base64 text of `bytes`, to compare previews with.
std::string Base64(const std::string& bytes)
{
    std::string text;
    FILE* pipe = nullptr;
    const fs::path file = fs::temp_directory_path() / ("quenlar-b64-" + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary) << bytes;
    pipe = ::popen(("base64 -w0 '" + file.string() + "'").c_str(), "r");
    char chunk[4096];
    for (std::size_t got; pipe != nullptr && (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, got);
    if (pipe != nullptr)
        ::pclose(pipe);
    fs::remove(file);
    return text;
}

}  // namespace

TEST_F(BridgeTest, AResumedScanThatHadFinishedSendsItsFoldersInBatchesOfFifty)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 120; ++i)
        files.push_back({"Folder " + std::to_string(1000 + i) + "\\", "a.jpg"});
    SaveFinishedScan(kImages + "/ntfs.img", files);
    EXPECT_EQ(Call("ResumeScan"), Value(0));
    // The documents take each batch when they are told of it.
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "AllPathSendFinishedToUi"); },
                         [this] { TakeBatches(); }));
    EXPECT_FALSE(Has(ui.Calls(), "StartDeepScan"));
    std::vector<std::int64_t> sizes;
    for (const Notification& n : ui.Named("SendFileToUi")) {
        EXPECT_EQ(n.args[0], Value("120"));
        sizes.push_back(n.args[1].Int());
    }
    EXPECT_EQ(sizes, (std::vector<std::int64_t> {50, 50, 20}));
    EXPECT_EQ(folders.size(), 120u);
}

// Loading a large saved scan takes a while; until its scan runs (or the
// load ends) no other work may start, and the program's end asks it to stop.
TEST_F(BridgeTest, AResumedScanIsBusyWhileItLoads)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 20000; ++i)
        files.push_back({"Folder " + std::to_string(i % 100) + "\\", "f" + std::to_string(i) + ".txt"});
    SaveFinishedScan(kImages + "/ntfs.img", files);
    EXPECT_EQ(Call("ResumeScan"), Value(0));
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs.img"}), Value(1));
    EXPECT_EQ(Call("ResumeScan"), Value(static_cast<std::int64_t>(bridge::kWorkResume)));
    // Nor can the saved scan being loaded be discarded.
    EXPECT_EQ(Call("DiscardSavedScan"), Value(static_cast<std::int64_t>(bridge::kWorkResume)));
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "AllPathSendFinishedToUi"); },
                         [this] { TakeBatches(); }));
    EXPECT_EQ(Call("GetWorkFlag"), Value(0));
    EXPECT_EQ(Call("GetFilesNumber"), Value(20000));
    // Idle, the user may forget it; the results on screen stay.
    EXPECT_EQ(Call("GetLastScanStatus"), Value(1));
    EXPECT_EQ(Call("DiscardSavedScan"), Value(0));
    EXPECT_EQ(Call("GetLastScanStatus"), Value(0));
    EXPECT_EQ(Call("GetFilesNumber"), Value(20000));
}

TEST_F(BridgeTest, FolderListingsComeInBatchesOfAHundred)
{
    // Nothing to list before a scan: no notification at all.
    EXPECT_EQ(Call("GetPathFiles", {"1", "Photos"}), Value(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(ui.Calls().empty());

    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 250; ++i)
        files.push_back({"Photos\\", "p" + std::to_string(i) + ".jpg"});
    files.push_back({"", "root.txt"});
    SaveFinishedScan(kImages + "/ntfs.img", files);
    EXPECT_EQ(Call("ResumeScan"), Value(0));
    ASSERT_TRUE(UntilEnd());
    ui.Clear();
    EXPECT_EQ(Call("GetPathFiles", {7, "Photos"}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "EndReceiePathFiles"); }));
    const auto calls = ui.Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls.front().function, "StartReceiePathFiles");
    EXPECT_EQ(calls.front().args[0], Value(Value::Array {"7", "Photos\\"}));
    EXPECT_EQ(calls[1].args[1].Items().size(), 100u);
    EXPECT_EQ(calls[2].args[1].Items().size(), 100u);
    EXPECT_EQ(calls[3].args[1].Items().size(), 50u);
    EXPECT_EQ(calls[1].args[1].Items()[0].Items().size(), 11u);  // a FileRow
    // The root, written as one backslash: an empty folder in the header.
    ui.Clear();
    Call("GetPathFiles", {"2", "\\"});
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "EndReceiePathFiles"); }));
    EXPECT_EQ(ui.Calls().front().args[0], Value(Value::Array {"2", ""}));
    EXPECT_EQ(ui.Named("InReceiePathFiles").size(), 1u);
}

TEST_F(BridgeTest, WhileWorkRunsEveryCallThatStartsWorkIsRefused)
{
    EXPECT_EQ(Call("ScanDiskDelFile", {Grown("ntfs", 1ULL << 30)}), Value(0));
    ASSERT_TRUE(ui.Until([this](const auto&) { return frame->WorkFlag() == bridge::kWorkDeepScan; },
                         [this] { TakeBatches(); }));
    EXPECT_EQ(Call("ScanDiskDelFile", {"x"}), Value(1));
    EXPECT_EQ(Call("ScanDiskPartitionDelFile", {1, 1}), Value(1));
    EXPECT_EQ(Call("SpecialScan", {0, "/"}), Value(1));
    EXPECT_EQ(Call("RecoveryDelFile", {Value::Array {}, dir.string()}), Value(1));
    // These answer the work flag itself.
    EXPECT_EQ(Call("GetFilterFileArr", {Value::Map {}}), Value(2));
    EXPECT_EQ(Call("ResumeScan"), Value(2));
    EXPECT_EQ(Call("DeepScanPartition"), Value(2));
    EXPECT_EQ(Call("GetWorkFlag"), Value(2));
    const Value progress = Call("GetScanProc");
    EXPECT_TRUE(progress.Items()[0].IsString());
    // The list's pictures wait for the scan's reads: "ask again later".
    EXPECT_EQ(Call("GetThumbnail", {ScanId(), 0}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetThumbnail"); }));
    EXPECT_EQ(ui.Named("SetThumbnail").at(0).args[1], Value(1));
    EXPECT_EQ(Call("StopOperate", {2}), Value(2));
    ASSERT_TRUE(ui.Until([this](const auto&) { return frame->WorkFlag() == 0; }, [this] { TakeBatches(); }));
}

TEST_F(BridgeTest, FilterAndRecoveryEnds)
{
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs.img"}), Value(0));
    ASSERT_TRUE(UntilEnd());
    ui.Clear();
    // Pictures only, with every other key missing (read as undefined).
    Value::Map filter {{"Pictures", 1}, {"ScanName", "scan 1"}};
    EXPECT_EQ(Call("GetFilterFileArr", {filter}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetWorkEnd"); }));
    auto calls = ui.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, "StartFilterDataArr");
    EXPECT_EQ(calls[0].args[1], Value("scan 1"));
    EXPECT_GT(calls[0].args[0].Items().size(), 2u);
    for (const Value& row : calls[0].args[0].Items()) {
        const std::string name = row.Items()[0].String();
        EXPECT_TRUE(name.ends_with(".jpg") || name.ends_with(".png")) << name;
    }
    EXPECT_EQ(calls[1].args[0], Value(16));
    EXPECT_EQ(frame->WorkFlag(), 0u);

    // Recovery of one folder and an index, then its end.
    ui.Clear();
    const fs::path out = dir / "out";
    EXPECT_EQ(Call("RecoveryDelFile", {Value::Array {"E:\\Documents", 0, true}, out.string()}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetWorkEnd"); }));
    EXPECT_EQ(ui.Calls().back().args, (Values {4, 0, 0}));
    EXPECT_TRUE(fs::exists(out / "Documents" / "report.pdf"));
    const Value progress = Call("GetRecoverProc");
    EXPECT_EQ(progress.Items()[0], progress.Items()[1]);
    EXPECT_NE(progress.Items()[2], Value(""));
    // Its report: everything whole, nothing refused.
    Value report = Call("GetRecoverReport");
    ASSERT_EQ(report.Items().size(), 12u);
    EXPECT_GT(report.Items()[0].Int(), 1);    // the files the folder holds, and the index
    EXPECT_EQ(report.Items()[1], report.Items()[0]);
    EXPECT_EQ(report.Items()[2], Value(0));
    EXPECT_EQ(report.Items()[3], Value(0));
    EXPECT_TRUE(report.Items()[7].Items().empty());
    EXPECT_EQ(report.Items()[8], Value(""));
    EXPECT_EQ(report.Items()[9], Value(0));
    EXPECT_TRUE(fs::exists(fs::path(report.Items()[10].String()))) << "the receipt";
    EXPECT_TRUE(report.Items()[11].Items().empty());

    // The same again into the same folder: every copy is renamed, and said so.
    ui.Clear();
    EXPECT_EQ(Call("RecoveryDelFile", {Value::Array {"E:\\Documents"}, out.string()}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetWorkEnd"); }));
    report = Call("GetRecoverReport");
    ASSERT_EQ(report.Items().size(), 12u);
    ASSERT_EQ(report.Items()[11].Items().size(), static_cast<std::size_t>(report.Items()[1].Int()));
    const Value& copy = report.Items()[11].Items()[0];
    EXPECT_EQ(copy.Items()[2], Value("renamed"));
    EXPECT_NE(copy.Items()[1].String().find("_1."), std::string::npos) << copy.Items()[1].String();
    EXPECT_TRUE(fs::exists(out / "Documents" / "report_1.pdf"));

    // A destination that cannot take the files refuses them all, in one
    // sentence, before anything is made: a relative path, a file, a folder
    // below a file, one that cannot be written in.
    const auto refusal = [&](const std::string& destination) {
        ui.Clear();
        EXPECT_EQ(Call("RecoveryDelFile", {Value::Array {"E:\\Documents"}, destination}), Value(0));
        EXPECT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetWorkEnd"); }));
        EXPECT_EQ(ui.Calls().back().args, (Values {4, 1, 0}));
        return Call("GetRecoverReport").Items()[8].String();
    };
    EXPECT_NE(refusal("relative/out").find("full path"), std::string::npos);
    EXPECT_FALSE(fs::exists("relative"));
    const fs::path file = out / "Documents" / "report.pdf";
    EXPECT_NE(refusal(file.string()).find("is a file, not a folder"), std::string::npos);
    EXPECT_NE(refusal((file / "below").string()).find("is not a folder"), std::string::npos);
    EXPECT_NE(refusal("/proc/quenlar").find("cannot write in"), std::string::npos);
    EXPECT_FALSE(fs::exists(file / "below"));
    // The folder recovered into last is offered first the next time.
    EXPECT_EQ(Call("GetRecoverDestination"), Value(out.string()));

    // The preview of a file reads what recovery wrote, and writes nothing.
    const std::int64_t pdf = IndexIn("Documents", "report.pdf");
    ASSERT_GE(pdf, 0);
    const Value preview = Preview(pdf, 1 << 30);  // asks too much: 64 KiB at most
    ASSERT_EQ(preview.Items().size(), 7u);
    EXPECT_EQ(preview.Items()[5], Value("0"));
    EXPECT_EQ(preview.Items()[6].Items()[0], Value("1"));  // one run of sectors
    EXPECT_GT(std::stoll(preview.Items()[6].Items()[1].String()), 0);
    EXPECT_EQ(preview.Items()[0], Value("50000"));
    EXPECT_EQ(preview.Items()[2], Value(""));
    // With its verdict: in use, its made-up content no PDF, so no surer than likely.
    EXPECT_EQ(preview.Items()[3], Value("likely"));
    EXPECT_NE(preview.Items()[4], Value(""));
    std::ifstream recovered(out / "Documents" / "report.pdf", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(recovered)), std::istreambuf_iterator<char>());
    EXPECT_EQ(preview.Items()[1].String(), Base64(bytes));
    EXPECT_EQ(Preview(pdf, 3).Items()[1], Value(Base64(bytes.substr(0, 3))));
    // A page further on: from where it is asked, to the file's end at most.
    const Value page = Preview(pdf, 4096, 49997);
    EXPECT_EQ(page.Items()[1], Value(Base64(bytes.substr(49997))));
    EXPECT_EQ(page.Items()[5], Value("49997"));
    EXPECT_EQ(Preview(pdf, 4096, std::int64_t {1} << 50).Items()[1], Value(""));
    EXPECT_EQ(Preview(pdf, 4, -5).Items()[1], Value(Base64(bytes.substr(0, 4))));
    EXPECT_EQ(Preview(-1, 10), Value(0));
    EXPECT_EQ(Preview(std::int64_t {1} << 40, 10), Value(0));
    const Value none = Preview(pdf, "x");  // a length that is no number: none
    ASSERT_EQ(none.Items().size(), 7u);
    EXPECT_EQ(none.Items()[1], Value(""));
    // Asked for many at once, the worker reads the newest waiting one next
    // and every answer names its file.
    const std::size_t told = ui.Named("SetFilePreview").size();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Call("GetFilePreview", {ScanId(), i % 2 == 0 ? pdf : std::int64_t {-1}, 3}), Value(0));
    EXPECT_EQ(Call("GetFilePreview", {ScanId(), pdf, 4}), Value(0));
    const Value fourBytes(Base64(bytes.substr(0, 4)));
    ASSERT_TRUE(ui.Until([&](const auto& sent) {
        const Notification* last = nullptr;
        for (const Notification& n : sent)
            last = n.function == "SetFilePreview" ? &n : last;
        return Count(sent, "SetFilePreview") > told && last->args[1].Items().size() == 7 &&
               last->args[1].Items()[1] == fourBytes;
    }));
    EXPECT_LE(ui.Named("SetFilePreview").size() - told, 21u);

    // The list's pictures: a small photo comes whole; a file that is no
    // picture, a folder and no file at all give none.
    const std::int64_t holiday = IndexIn("Pictures", "holiday.jpg");
    ASSERT_GE(holiday, 0);
    const auto thumbnail = [&](std::int64_t index) {
        ui.Clear();
        EXPECT_EQ(Call("GetThumbnail", {ScanId(), index}), Value(0));
        EXPECT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetThumbnail"); }));
        const auto told = ui.Named("SetThumbnail");
        EXPECT_EQ(told.at(0).args[0], Value(index));
        EXPECT_EQ(told.at(0).args[2], ScanId());
        return told.at(0).args[1];
    };
    const Value picture = thumbnail(holiday);
    ASSERT_TRUE(picture.IsString());
    EXPECT_EQ(picture.String().size(), (120000 + 2) / 3 * 4);
    // The same bytes the preview reads (65535 bytes: whole base64 groups).
    EXPECT_EQ(picture.String().substr(0, 65535 / 3 * 4), Preview(holiday, 65535).Items()[1].String());
    EXPECT_EQ(thumbnail(pdf), Value(0));
    EXPECT_EQ(thumbnail(-1), Value(0));
    EXPECT_EQ(thumbnail(std::int64_t {1} << 40), Value(0));

    // The content checks after the scan: paused, gone on with, done; an
    // earlier scan's name is refused.
    EXPECT_EQ(Call("CheckContents", {ScanId(), false}), Value(0));
    Value checks = Call("GetContentChecks");
    ASSERT_EQ(checks.Items().size(), 4u);
    EXPECT_EQ(checks.Items()[2], Value(1));
    EXPECT_EQ(Call("CheckContents", {ScanId(), true}), Value(0));
    for (int i = 0; i < 500 && Call("GetContentChecks").Items()[3] == Value(1); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    checks = Call("GetContentChecks");
    EXPECT_EQ(checks.Items()[3], Value(0));
    EXPECT_EQ(checks.Items()[0], checks.Items()[1]);
    EXPECT_GT(checks.Items()[1].Int(), 100);
    EXPECT_EQ(Call("CheckContents", {"an earlier scan", true}), Value(bridge::kStaleScan));

    // No destination at all is refused: status 1, and the report says why.
    ui.Clear();
    Call("RecoveryDelFile", {Value::Array {0}, ""});
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetWorkEnd"); }));
    EXPECT_EQ(ui.Calls().back().args, (Values {4, 1, 0}));
    report = Call("GetRecoverReport");
    EXPECT_EQ(report.Items()[1], Value(0));
    EXPECT_NE(report.Items()[8], Value(""));

    // A hostile selection: a quarter of a million indices out of range or
    // negative, nested arrays, maps, folders that climb out; into a
    // destination whose parents do not exist yet. Only the valid index is
    // written, inside the destination.
    ui.Clear();
    Value::Array hostile;
    for (int i = 0; i < 250000; ++i)
        hostile.emplace_back(i % 2 == 0 ? std::int64_t {1} << 40 : -i);
    hostile.emplace_back(Value::Array {Value::Array {0}});
    hostile.emplace_back(Value::Map {{"a", 1}});
    hostile.emplace_back("..\\..\\..\\");
    hostile.emplace_back(Value(true));
    hostile.emplace_back(0);
    const fs::path deep = dir / "new" / "deeper" / "out";
    EXPECT_EQ(Call("RecoveryDelFile", {hostile, deep.string()}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& sent) { return Has(sent, "SetWorkEnd"); }));
    EXPECT_EQ(ui.Calls().back().args, (Values {4, 0, 0}));
    std::size_t written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "new"))
        written += entry.is_regular_file() && !entry.path().filename().string().starts_with("quenlar-receipt") ? 1 : 0;
    EXPECT_EQ(written, 1u);
    EXPECT_TRUE(fs::exists(deep / "quenlar-receipt.json"));
    EXPECT_TRUE(fs::exists(deep / "quenlar-receipt.csv"));
    EXPECT_EQ(frame->WorkFlag(), 0u);
}

// Two scan calls back to back start one scan, and a stop that comes before
// the worker has opened the volume ends it all the same, told with the
// whole tree (20 tries each).
TEST_F(BridgeTest, OneScanPerDoubleClickAndEveryStopIsTold)
{
    for (int t = 0; t < 20; ++t) {
        ui.Clear();
        folders.clear();
        EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs.img"}), Value(0));
        EXPECT_EQ(Call("ScanDiskPartitionDelFile", {1, 1}, 2), Value(1));
        const int stop = t % 2 == 0 ? 1 : 2;
        EXPECT_EQ(Call("StopOperate", {stop}), Value(stop));
        ASSERT_TRUE(UntilEnd()) << t;
        const auto ends = ui.Named("SetWorkEnd");
        ASSERT_FALSE(ends.empty()) << t;
        EXPECT_EQ(ends.back().args[2], Value(stop)) << t;
        EXPECT_EQ(frame->WorkFlag(), 0u);
        EXPECT_EQ(folders, TreeOfResults()) << t;
        const Value state = Call("GetWorkState");
        EXPECT_EQ(state.Get("ended").Items().at(2), Value(stop));
        EXPECT_EQ(state.Get("treeComplete"), Value(true));
        // Nearly always the stop comes before the volume is open: nothing was read.
        if (ends.size() == 1 && Call("GetFilesNumber") == Value(0) && stop == 1) {
            EXPECT_EQ(state.Get("saved"), Value(false));
            EXPECT_NE(state.Get("note").String().find("first step"), std::string::npos);
        }
    }
    // Unstopped, one scan's results, not two.
    ui.Clear();
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs-reformatted.img"}), Value(0));
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs-reformatted.img"}, 2), Value(1));
    ASSERT_TRUE(UntilEnd());
    const std::size_t once = Keys(*frame->CurrentReader()).size();
    std::set<std::string> distinct;
    for (const std::string& key : Keys(*frame->CurrentReader()))
        distinct.insert(key);
    EXPECT_GT(once, 100u);
    EXPECT_EQ(distinct.size(), once);  // no record listed twice
}

// The calls of the documents name the scan whose rows they act on: those of
// an earlier scan are refused, and nothing is read or written for them.
TEST_F(BridgeTest, RowsOfAnEarlierScanAreRefused)
{
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/fat32.img"}), Value(0));
    ASSERT_TRUE(UntilEnd());
    const Value first = ScanId();
    EXPECT_NE(first, Value(""));
    EXPECT_EQ(ScanId(), first);  // the same until a new scan
    ui.Clear();
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/exfat.img"}, 2), Value(0));
    ASSERT_TRUE(UntilEnd());
    const Value second = ScanId();
    EXPECT_NE(second, first);
    // Every document heard of the change.
    const auto told = ui.Named("SetCurrentScan");
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told[0].args, (Values {second}));
    EXPECT_EQ(told[0].document, 0u);
    const fs::path out = dir / "out";
    for (const auto& [name, args] : std::vector<std::pair<std::string, Values>> {
             {"RecoveryScanFiles", {first, Value::Array {0, 1, 2}, out.string()}},
             {"GetScanPathFiles", {first, "t", ""}},
             {"GetScanFilterFiles", {first, "t", Value::Map {}}},
             {"GetFilePreview", {first, 1, 10}},
             {"GetThumbnail", {first, 1}},
             {"GetScanFolders", {first}},
             {"RecoveryScanFiles", {Value(7), Value::Array {0}, out.string()}},
         })
        EXPECT_EQ(Call(name, args, 1), Value(bridge::kStaleScan)) << name;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(frame->WorkFlag(), 0u);
    // Released, no scan is current: every identity is stale.
    EXPECT_EQ(Call("ReleaseScan"), Value(0));
    EXPECT_EQ(Call("GetScanFolders", {second}), Value(bridge::kStaleScan));
    EXPECT_EQ(ScanId(), Value(""));
    // Another bridge (another run) never gives the same identity.
    Recorder other;
    bridge::MainFrame again(other, FastTiming());
    Value result;
    ASSERT_TRUE(again.HandleCall("ScanDiskDelFile", {kImages + "/fat32.img"}, result));
    ASSERT_TRUE(again.HandleCall("GetWorkState", {}, result));
    EXPECT_NE(result.Get("scan"), first);
    ASSERT_TRUE(other.Until([](const auto& calls) { return Has(calls, "AllPathSendFinishedToUi"); }));
}

// Each document takes its own tree, from the start, whenever it comes; what
// it asked for goes to it alone, and a stream to one that lags waits for it,
// and ends when it has gone.
TEST_F(BridgeTest, EachDocumentTakesItsOwn)
{
    EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/ntfs.img"}, 1), Value(0));
    std::map<std::string, std::int64_t> one;
    std::map<std::string, std::int64_t> two;
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "AllPathSendFinishedToUi"); },
                         [&] {
                             TakeInto(one, 1);
                             TakeInto(two, 2);
                         }));
    TakeInto(one, 1);
    TakeInto(two, 2);
    ExpectWholeTree(one);
    EXPECT_EQ(one, two);
    std::map<std::string, std::int64_t> late;
    TakeInto(late, 3);
    EXPECT_EQ(late, one);
    const Value scan = ScanId();

    // A listing for document 1 goes to it alone.
    ui.Clear();
    EXPECT_EQ(Call("GetScanPathFiles", {scan, "t", "Documents"}, 1), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "EndReceiePathFiles"); }));
    for (const Notification& n : ui.Calls()) {
        EXPECT_EQ(n.document, 1u) << n.function;
        EXPECT_EQ(n.args[0], Value(Value::Array {"t", "Documents\\", scan}));
    }
    // Document 4 lags behind: its filter waits, then goes on when it catches up.
    ui.Clear();
    ui.SetBacklog(4, 64u << 20);
    EXPECT_EQ(Call("GetScanFilterFiles", {scan, "f", Value::Map {}}, 4), Value(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(ui.Named("InReceiePathFiles").empty());
    EXPECT_EQ(frame->WorkFlag(), static_cast<std::uint32_t>(bridge::kWorkFilter));
    ui.SetBacklog(4, 0);
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "SetWorkEnd"); }));
    EXPECT_TRUE(Has(ui.Calls(), "EndReceiePathFiles"));
    std::size_t rows = 0;
    for (const Notification& n : ui.Named("InReceiePathFiles"))
        rows += n.args[1].Items().size();
    EXPECT_EQ(rows, static_cast<std::size_t>(Call("GetWorkState").Get("fileCount").Int()));  // files, no folders
    // Document 5 has gone: nothing is sent to it, and the work ends.
    ui.Clear();
    ui.SetBacklog(5, bridge::UiChannel::kGone);
    EXPECT_EQ(Call("GetScanFilterFiles", {scan, "f", Value::Map {}}, 5), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "SetWorkEnd"); }));
    EXPECT_FALSE(Has(ui.Calls(), "InReceiePathFiles"));
    EXPECT_FALSE(Has(ui.Calls(), "EndReceiePathFiles"));
    // A document that left is forgotten: coming back as new, it takes the tree anew.
    frame->DocumentLeft(1);
    std::map<std::string, std::int64_t> again;
    TakeInto(again, 1);
    EXPECT_EQ(again, one);
}

TEST_F(BridgeTest, WhatTheTableDoesNotHandleAndAnswersWithoutAScan)
{
    Value result;
    EXPECT_FALSE(frame->HandleCall("ScanDiskDelFile", {}, result));
    EXPECT_FALSE(frame->HandleCall("GetWorkFlag", {1}, result));
    EXPECT_FALSE(frame->HandleCall("getworkflag", {}, result));
    EXPECT_FALSE(frame->HandleCall("NoSuchCall", {}, result));
    EXPECT_EQ(Call("StopOperate", {1}), Value(0));  // no volume: nothing stops, nothing is emptied
    EXPECT_EQ(Call("GetScanProc"), Value(Value::Array {0, 0}));
    EXPECT_EQ(Call("GetRecoverProc"), Value(Value::Array {0, 0, ""}));
    EXPECT_EQ(Call("GetFilesNumber"), Value(0));
    EXPECT_EQ(Call("DeepScanPartition"), Value(-1));
    EXPECT_EQ(Call("GetScanFilePathData", {"anything"}), Value(0));
    EXPECT_EQ(Call("GetDiskPartition"), Value(""));
    EXPECT_EQ(Call("GetLastScanStatus"), Value(0));
    EXPECT_EQ(Call("GetSaveScanInfo"), Value(Value::Array {Value::Array {""}, 0, Value::Map {}}));
    // Arguments of the wrong kind read as a script value converts: a text as 0, anything else as empty.
    EXPECT_EQ(Call("StopOperate", {"not a number"}), Value(0));
    EXPECT_EQ(Call("GetFilterFileArr", {"not a map"}), Value(0));
    ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "SetWorkEnd"); }));
    EXPECT_EQ(ui.Calls().back().args, (Values {16, 0, 0}));
    // A drive root loses its backslash and names its device \\.\C:, which
    // cannot be opened here: the scan finds nothing and ends as usual.
    ui.Clear();
    EXPECT_EQ(Call("ScanDiskDelFile", {"C:\\"}), Value(0));
    ASSERT_TRUE(UntilEnd());
    EXPECT_EQ(frame->CurrentReader()->m_devicePath, "\\\\.\\C:");
    EXPECT_EQ(Call("GetFilesNumber"), Value(0));
}

TEST_F(BridgeTest, UtilityCalls)
{
    EXPECT_EQ(Call("GetAppVersion"), Value(std::string(QUENLAR_TEST_VERSION)));
    EXPECT_EQ(Call("GetCurrentPath"), Value(fs::current_path().string()));
    const std::string desktop = Call("GetIndependentPath", {1}).String();
    const std::string documents = Call("GetIndependentPath", {2}).String();
    EXPECT_NE(desktop, documents);
    EXPECT_EQ(Call("GetIndependentPath", {0}).String(), documents);
    EXPECT_EQ(Call("OpenFolderPath", {"/no/such/folder"}), Value(2));
    EXPECT_EQ(Call("FreshDiskInfo"), Value(0));
    const Value disks = Call("GetDiskPartition");
    ASSERT_TRUE(disks.IsArray());
    for (const Value& disk : disks.Items()) {
        ASSERT_EQ(disk.Items().size(), 6u);
        for (const Value& p : disk.Items()[5].Items())
            EXPECT_EQ(p.Items().size(), 14u);
    }
    EXPECT_TRUE(Call("GetDiskAllTypeNameFun").IsArray());
    // The folder picker's listing: folders only (hidden ones left out),
    // sorted, with the folder above; image files when asked for.
    fs::create_directories(dir / "pick" / "b folder");
    fs::create_directories(dir / "pick" / "A folder");
    fs::create_directories(dir / "pick" / ".hidden");
    std::ofstream(dir / "pick" / "card.img") << "x";
    std::ofstream(dir / "pick" / "notes.txt") << "x";
    Value listing = Call("ListFolders", {(dir / "pick" / "b folder" / "..").string(), 0});
    EXPECT_EQ(listing.Get("path"), Value((dir / "pick").string()));
    EXPECT_EQ(listing.Get("parent"), Value(dir.string()));
    EXPECT_EQ(listing.Get("folders"), Value(Value::Array {"A folder", "b folder"}));
    EXPECT_TRUE(listing.Get("files").Items().empty());
    EXPECT_EQ(listing.Get("error"), Value(""));
    listing = Call("ListFolders", {(dir / "pick").string(), 1});
    Value::Array images;  // (one nested array, built apart: braces around one would copy it)
    images.emplace_back(Value::Array {"card.img", "1"});
    EXPECT_EQ(listing.Get("files"), Value(std::move(images)));
    EXPECT_NE(Call("ListFolders", {(dir / "pick" / "notes.txt").string(), 0}).Get("error"), Value(""));
    EXPECT_NE(Call("ListFolders", {"/no/such/folder", 0}).Get("error"), Value(""));
    EXPECT_EQ(Call("ListFolders", {"/", 0}).Get("parent"), Value(""));
    EXPECT_TRUE(Call("ListFolders", {"", 0}).Get("path").IsString());  // home
    // An image file opened by path joins the list, once, under "Image files".
    EXPECT_EQ(Call("OpenImageFile", {"/no/such.img"}), Value(1));
    EXPECT_EQ(Call("OpenImageFile", {dir.string()}), Value(1));  // a folder
    EXPECT_EQ(Call("OpenImageFile", {kImages + "/fat32.img"}), Value(0));
    EXPECT_EQ(Call("OpenImageFile", {kImages + "/../" + fs::path(kImages).filename().string() + "/fat32.img"}), Value(0));
    Call("FreshDiskInfo");
    std::size_t offered = 0;
    const Value listed = Call("GetDiskPartition");
    for (const Value& disk : listed.Items())
        if (disk.Items()[1] == Value(static_cast<std::int64_t>(disks::kImageDisk)))
            for (const Value& p : disk.Items()[5].Items())
                offered += p.Items()[3] == Value("FAT32") ? 1 : 0;
    EXPECT_EQ(offered, 1u);
    disks::SetOfferedImages({});
    // The waiting animation: started next to the program, ended once.
    frame->SetProgramFolder(std::string(QUENLAR_TEST_PROGRAM_FOLDER) + "/");
    EXPECT_EQ(Call("CloseAwaitGifWindows"), Value(false));
    EXPECT_EQ(Call("OpenAwaitGifWindows"), Value(true));
    EXPECT_TRUE(frame->AwaitShown());
    EXPECT_EQ(Call("CloseAwaitGifWindows"), Value(true));
    EXPECT_EQ(Call("CloseAwaitGifWindows"), Value(false));
}

TEST(BridgeInstance, ASecondInstanceFindsTheLockTaken)
{
    Recorder ui;
    bridge::MainFrame first(ui);
    bridge::MainFrame second(ui);
    Value result;
    ASSERT_TRUE(first.HandleCall("CheckProgramRun", {}, result));
    EXPECT_EQ(result, Value(0));
    ASSERT_TRUE(first.HandleCall("CheckProgramRun", {}, result));
    EXPECT_EQ(result, Value(1));  // asked again: the name is in use by then
    ASSERT_TRUE(second.HandleCall("CheckProgramRun", {}, result));
    EXPECT_EQ(result, Value(1));
}

// While a scan of each file system runs, the path streamer, listings, a
// filter and progress polls run beside it (the tsan preset checks this).
TEST_F(BridgeTest, ThreadSafetyOfEverythingBesideAScan)
{
    for (const char* image : {"ntfs", "fat32", "exfat"}) {
        ui.Clear();
        folders.clear();
        base::StopRequest = 0;
        EXPECT_EQ(Call("ScanDiskDelFile", {kImages + "/" + image + ".img"}), Value(0)) << image;
        std::atomic<bool> done {false};
        std::thread filter([&] {
            while (!done) {
                if (const auto volume = frame->CurrentReader()) {
                    std::vector<browse::FileRow> rows;
                    browse::Filter everything;
                    bridge::ParseFilterText("1,2,3,4,5,0,0,,0,x", everything);
                    browse::FilterFiles(*volume, everything, rows);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        ASSERT_TRUE(ui.Until([](const auto& calls) { return Has(calls, "AllPathSendFinishedToUi"); },
                             [this] {
                                 TakeBatches();
                                 Call("GetScanProc");
                                 Call("GetFilesNumber");
                                 Call("GetPathFiles", {"t", "Documents"});
                                 Call("GetPathFiles", {"u", ""});
                             }));
        done = true;
        filter.join();
        EXPECT_GT(folders.size(), 3u) << image;
    }
}

TEST(BridgeDevices, APartitionAddedAndRemovedIsTold)
{
    if (::geteuid() != 0 || std::system("command -v losetup partx sfdisk >/dev/null") != 0)
        GTEST_SKIP() << "needs root, losetup, partx and sfdisk";
    Recorder ui;
    bridge::MainFrame frame(ui);
    ASSERT_TRUE(frame.StartDeviceMonitor());
    const fs::path image = fs::path(testing::TempDir()) / "bridge-devices.img";
    ASSERT_EQ(std::system(("truncate -s 16M '" + image.string() + "' && echo ',,L' | sfdisk -q '" + image.string() +
                           "' >/dev/null")
                              .c_str()),
              0);
    // Attached without scanning its table, so that the partition comes with
    // partx, as a disk's partitions come when it is plugged in.
    FILE* pipe = popen(("losetup -f --show '" + image.string() + "'").c_str(), "r");
    char node[64] = {};
    ASSERT_NE(std::fgets(node, sizeof node, pipe), nullptr);
    pclose(pipe);
    std::string loop(node);
    loop.erase(loop.find_last_not_of("\n") + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ui.Clear();
    const auto before = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system(("partx -a " + loop).c_str()), 0);
    // Values {Value(1)}, not Values {1}: inside a generic lambda clang 14
    // reads a braced single integer as the vector's size.
    EXPECT_TRUE(ui.Until(
        [](const auto& calls) {
            return std::any_of(calls.begin(), calls.end(),
                               [](const Notification& n) { return n.args == Values {Value(1)}; });
        },
        {}, std::chrono::seconds(2)));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    const auto removing = std::chrono::steady_clock::now();
    ASSERT_EQ(std::system(("partx -d " + loop).c_str()), 0);
    EXPECT_TRUE(ui.Until(
        [](const auto& calls) {
            return std::any_of(calls.begin(), calls.end(),
                               [](const Notification& n) { return n.args == Values {Value(0)}; });
        },
        {}, std::chrono::seconds(2)));
    EXPECT_LT(std::chrono::steady_clock::now() - removing, std::chrono::seconds(1));
    std::system(("losetup -d " + loop).c_str());
    fs::remove(image);
    for (const Notification& n : ui.Calls())
        EXPECT_EQ(n.function, "USBDiskMonitoring");
}

TEST(DocumentProtocol, SelectionsAndFilterTexts)
{
    // Numbers are result indices; "V:" the whole tree; a drive, its
    // backslashes and the folder below it; anything else is left out.
    const recover::Selection s = bridge::SelectionFromScript(
        {Value(std::int64_t {7}), Value("V:"), Value("E:\\docs\\old"), Value("V:\\\\album"), Value("V:\\"),
         Value("docs"), Value(""), Value::Array {}, Value(std::int64_t {-1})});
    EXPECT_EQ(s.indices, (std::vector<std::int64_t> {7, -1}));
    EXPECT_EQ(s.folders, (std::vector<std::string> {"", "docs\\old", "album", ""}));

    browse::Filter f;
    ASSERT_TRUE(bridge::ParseFilterText("1,0,3,0,5,1024,2.5e3,,48,scan", f));
    EXPECT_EQ(f.categories, (std::array<std::int64_t, 5> {1, 0, 3, 0, 5}));
    EXPECT_EQ(f.minSize, 1024u);
    EXPECT_EQ(f.maxSize, 2500u);
    EXPECT_EQ(f.hours, 48u);
    EXPECT_TRUE(bridge::ParseFilterText("0,0,0,0,0,nan,1e30,,x,", f));
    EXPECT_EQ(f.minSize, 0u);  // what is no number, or too large, counts as none
    EXPECT_EQ(f.maxSize, 0u);
    EXPECT_EQ(f.hours, 0u);
    EXPECT_FALSE(bridge::ParseFilterText("0,0,0,0,0,0,0,,0", f));
}
