#include "NtfsBuilder.h"

#include "base/StopRequest.h"
#include "jobs/ScanJobs.h"
#include "ntfs/NtfsRecord.h"
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put64;
using testing_ntfs::RecordBuilder;

namespace {

const std::string kImages = QUENLAR_IMAGE_DIR;

// A small NTFS volume in memory: 1 KiB clusters (one record each), the $MFT
// at cluster 4 for 60 records, 8192 sectors (four deep-scan chunks) in all.
class SyntheticNtfs {
public:
    static constexpr std::uint64_t kSectors = 8192;
    static constexpr std::uint64_t kMftSector = 8;
    static constexpr std::uint32_t kMftRecords = 60;

    SyntheticNtfs() : m_bytes(kSectors * 512)
    {
        std::memcpy(&m_bytes[3], "NTFS    ", 8);
        Put16(&m_bytes[0x0B], 512);
        m_bytes[0x0D] = 2;
        Put64(&m_bytes[0x28], kSectors);
        Put64(&m_bytes[0x30], 4);
        m_bytes[0x40] = 0xF6;
        PlaceInMft(0, RecordBuilder(0).FileName(u"$MFT", 5, 3).NonResident(0x80, {0x11, kMftRecords, 4}, 60 * 1024).Finish());
        PlaceInMft(5, Folder(5, 5, u"."));
    }

    static testing_ntfs::Record File(std::uint32_t n, std::uint32_t parent, const std::u16string& name, bool inUse = true)
    {
        return RecordBuilder(n, inUse ? RecordBuilder::kInUse : 0)
            .StandardInformation(1, 2, 3)
            .FileName(name, parent, 1)
            .Resident(0x80, std::vector<std::uint8_t>(10, 0x61))
            .Finish();
    }
    static testing_ntfs::Record Folder(std::uint32_t n, std::uint32_t parent, const std::u16string& name)
    {
        return RecordBuilder(n, RecordBuilder::kInUse | RecordBuilder::kFolder).FileName(name, parent, 1).Finish();
    }

    void PlaceInMft(std::uint32_t n, const testing_ntfs::Record& r) { PlaceAt(kMftSector + 2 * n, r); }
    void PlaceAt(std::uint64_t sector, const testing_ntfs::Record& r)
    {
        std::copy(r.begin(), r.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    }

    platform::MemoryDevice* Open(VolumeScanner& volume)
    {
        auto device = std::make_unique<platform::MemoryDevice>(m_bytes);
        platform::MemoryDevice* raw = device.get();
        volume.Open(std::move(device), "synthetic");
        volume.m_deep.retryDelayMs = 0;
        return raw;
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

std::map<std::string, const FoundFile*> ByName(const VolumeScanner& volume)
{
    std::map<std::string, const FoundFile*> byName;
    for (const auto& f : volume.m_results)
        byName[f->FullNameUtf8()] = f;
    return byName;
}

// Everything a result says, for comparing two runs.
using ResultKey = std::tuple<std::string, std::string, std::uint64_t, int, int, std::uint32_t, std::uint64_t, std::string>;
std::multiset<ResultKey> Keys(const VolumeScanner& volume)
{
    std::multiset<ResultKey> keys;
    for (const auto& f : volume.m_results) {
        std::ostringstream extents;
        for (const FileExtent& e : f->extents)
            extents << e.startSector << "+" << e.sectorCount << "/" << int {e.isPersist} << " ";
        keys.insert({f->FullNameUtf8(), f->m_filePath, f->m_fileSize, f->m_existType, f->m_isDirectory, f->m_fileNo,
                     f->m_latestTime, extents.str()});
    }
    return keys;
}

struct ManifestRow {
    std::string path;
    std::string type;
    std::uint64_t size = 0;
    std::string state;
};

std::vector<ManifestRow> Manifest(const std::string& name)
{
    std::vector<ManifestRow> rows;
    std::ifstream in(std::string(QUENLAR_MANIFEST_DIR) + "/" + name + ".manifest.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ManifestRow row;
        std::string size, digest;
        std::getline(fields, row.path, '\t');
        std::getline(fields, row.type, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, digest, '\t');
        std::getline(fields, row.state, '\t');
        row.size = std::stoull(size);
        rows.push_back(row);
    }
    return rows;
}

// Our "A\\B\\name" for a manifest path "A/B/name".
std::string OurPath(const FoundFile& f)
{
    std::string p = f.m_filePath + f.FullNameUtf8();
    for (char& c : p) {
        if (c == '\\')
            c = '/';
    }
    return p;
}

class NtfsScanTest : public ::testing::Test {
protected:
    void SetUp() override { base::StopRequest = 0; }
    void TearDown() override { base::StopRequest = 0; }
};

}  // namespace

TEST_F(NtfsScanTest, NormalScanBuildsPathsFromParentRecords)
{
    SyntheticNtfs ntfs;
    ntfs.PlaceInMft(11, SyntheticNtfs::Folder(11, 5, u"$Extend"));  // a system folder: mapped, not listed
    ntfs.PlaceInMft(36, SyntheticNtfs::File(36, 5, u"root.txt"));
    ntfs.PlaceInMft(40, SyntheticNtfs::Folder(40, 5, u"A"));
    ntfs.PlaceInMft(41, SyntheticNtfs::Folder(41, 40, u"B"));
    ntfs.PlaceInMft(42, SyntheticNtfs::File(42, 41, u"deep.txt"));
    ntfs.PlaceInMft(43, SyntheticNtfs::File(43, 50, u"early.txt", false));  // parent read later
    ntfs.PlaceInMft(50, SyntheticNtfs::Folder(50, 5, u"Later"));
    ntfs.PlaceInMft(44, SyntheticNtfs::File(44, 55, u"orphan.txt", false));  // parent record gone
    ntfs.PlaceInMft(51, SyntheticNtfs::Folder(51, 52, u"X"));  // X and Y name each other
    ntfs.PlaceInMft(52, SyntheticNtfs::Folder(52, 51, u"Y"));
    ntfs.PlaceInMft(45, SyntheticNtfs::File(45, 51, u"looped.txt"));
    ntfs.PlaceInMft(46, SyntheticNtfs::File(46, 11, u"quota.txt"));
    testing_ntfs::Record extension = SyntheticNtfs::File(47, 5, u"extension.txt");
    Put64(&extension[0x20], 36);  // part of record 36: not a file of its own
    ntfs.PlaceInMft(47, extension);

    VolumeScanner volume;
    ntfs.Open(volume);
    ASSERT_EQ(scan::NormalScan(volume), 0);
    auto byName = ByName(volume);
    EXPECT_EQ(byName.count("$MFT"), 0u);
    EXPECT_EQ(byName.count("$Extend"), 0u);
    EXPECT_EQ(byName.count("extension.txt"), 0u);
    EXPECT_EQ(byName.at("root.txt")->m_filePath, "");
    EXPECT_EQ(byName.at("root.txt")->m_existType, kExistInUse);
    EXPECT_EQ(byName.at("root.txt")->extents, (std::vector<FileExtent> {{SyntheticNtfs::kMftSector + 72, 2, 1}}));
    EXPECT_EQ(byName.at("root.txt")->m_fileSize, 10u);
    EXPECT_EQ(byName.at("root.txt")->m_latestTime, 3u);
    EXPECT_EQ(byName.at("deep.txt")->m_filePath, "A\\B\\");
    EXPECT_EQ(byName.at("B")->m_isDirectory, 1);
    EXPECT_EQ(byName.at("B")->m_filePath, "A\\");
    EXPECT_EQ(byName.at("early.txt")->m_filePath, "Later\\");
    EXPECT_EQ(byName.at("early.txt")->m_existType, kExistDeleted);
    EXPECT_EQ(byName.at("orphan.txt")->m_filePath, "lost_dir\\");
    EXPECT_EQ(byName.at("orphan.txt")->m_existType, kExistLost);
    EXPECT_EQ(byName.at("quota.txt")->m_filePath, "$Extend\\");
    const std::string looped = byName.at("looped.txt")->m_filePath;
    EXPECT_EQ(looped.rfind("lost_dir\\", 0), 0u) << looped;
    EXPECT_EQ(volume.m_progress, 2u * SyntheticNtfs::kMftRecords);
}

TEST_F(NtfsScanTest, AnUnreadableSectorCostsOnlyItsRecord)
{
    SyntheticNtfs ntfs;
    for (std::uint32_t n = 36; n < 46; ++n)
        ntfs.PlaceInMft(n, SyntheticNtfs::File(n, 5, u"f" + std::u16string(1, static_cast<char16_t>(u'0' + n - 36))));
    VolumeScanner volume;
    platform::MemoryDevice* device = ntfs.Open(volume);
    const std::uint64_t bad = SyntheticNtfs::kMftSector + 2 * 40;  // the first half of record 40
    device->FailRange(bad * 512, (bad + 1) * 512, platform::ReadStatus::Error);
    scan::NormalScan(volume);
    auto byName = ByName(volume);
    EXPECT_EQ(byName.count("f4"), 0u);
    for (const char* name : {"f0", "f3", "f5", "f9"})
        EXPECT_EQ(byName.count(name), 1u) << name;

    // A medium that goes away ends the scan.
    VolumeScanner gone;
    device = ntfs.Open(gone);
    device->FailRange(0, SyntheticNtfs::kSectors * 512, platform::ReadStatus::MediumGone);
    scan::NormalScan(gone);
    EXPECT_FALSE(gone.DeviceOpen());
    EXPECT_EQ(gone.ResultCount(), 0u);
}

TEST_F(NtfsScanTest, RecordsThatARunBoundarySplitsAndRunsOutsideTheVolume)
{
    // 512-byte clusters and 1024-byte records: the $MFT's first run (81
    // clusters at 16) ends in the middle of record 40, whose second half is
    // the first cluster of the second run (at 1000). A third run lies past
    // the volume's end, and ends in the middle of a record too: the records
    // of the fourth keep their places.
    std::vector<std::uint8_t> bytes(4096 * 512);
    std::memcpy(&bytes[3], "NTFS    ", 8);
    Put16(&bytes[0x0B], 512);
    bytes[0x0D] = 1;
    Put64(&bytes[0x28], 4096);
    Put64(&bytes[0x30], 16);
    bytes[0x40] = 0xF6;
    // Runs: 81 at 16; 41 at 1000; 21 at 1000 + 60000; 20 at 2000.
    const std::vector<std::uint8_t> runs = {0x21, 81, 16, 0, 0x21, 41, 0xD8, 0x03, 0x31, 21, 0x60, 0xEA, 0x00,
                                            0x31, 20, 0x88, 0x19, 0xFF};
    auto place = [&](std::uint64_t sector, const testing_ntfs::Record& r, std::size_t from, std::size_t length) {
        std::copy(r.begin() + static_cast<std::ptrdiff_t>(from), r.begin() + static_cast<std::ptrdiff_t>(from + length),
                  bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    };
    place(16, RecordBuilder(0).FileName(u"$MFT", 5, 3).NonResident(0x80, runs, 163 * 512).Finish(), 0, 1024);
    place(16 + 10, SyntheticNtfs::Folder(5, 5, u"."), 0, 1024);
    const testing_ntfs::Record split = SyntheticNtfs::File(40, 5, u"split.txt");
    place(16 + 80, split, 0, 512);
    place(1000, split, 512, 512);
    place(1001, SyntheticNtfs::File(41, 5, u"after.txt"), 0, 1024);
    // Records 61-71 would be in the run past the end; 72 begins in the
    // fourth run's second cluster.
    place(2001, SyntheticNtfs::File(72, 5, u"beyond.txt"), 0, 1024);
    VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(bytes), "split");
    volume.m_deep.retryDelayMs = 0;
    scan::NormalScan(volume);
    auto byName = ByName(volume);
    ASSERT_EQ(byName.count("split.txt"), 1u);
    EXPECT_EQ(byName["split.txt"]->m_fileNo, 40u);
    EXPECT_FALSE(byName["split.txt"]->m_torn);
    ASSERT_EQ(byName.count("after.txt"), 1u);
    EXPECT_EQ(byName["after.txt"]->extents, (std::vector<FileExtent> {{1001, 2, 1}}));
    ASSERT_EQ(byName.count("beyond.txt"), 1u);
    EXPECT_EQ(byName["beyond.txt"]->m_fileNo, 72u);
}

TEST_F(NtfsScanTest, DeepScanFindsStrayRecordsOutsideTheMft)
{
    SyntheticNtfs ntfs;
    ntfs.PlaceInMft(36, SyntheticNtfs::File(36, 5, u"current.txt"));
    ntfs.PlaceAt(700, SyntheticNtfs::Folder(70, 5, u"Old"));
    ntfs.PlaceAt(900, SyntheticNtfs::File(80, 70, u"old.txt", false));
    ntfs.PlaceAt(1500, SyntheticNtfs::File(81, 99, u"nowhere.txt", false));
    ntfs.PlaceAt(1600, SyntheticNtfs::Folder(20, 5, u"sys"));  // a system record: mapped only
    // Records of other sizes, one of them across the end of the first 1 MiB
    // the scan reads (which begins after the $MFT, at sector 128), one at an
    // odd sector; and a torn one.
    ntfs.PlaceAt(128 + 2048 - 2, RecordBuilder(82, 0, 4096).FileName(u"big record.txt", 5, 1).Finish());
    ntfs.PlaceAt(3001, RecordBuilder(83, 0, 2048).FileName(u"odd.txt", 5, 1).Finish());
    testing_ntfs::Record torn = RecordBuilder(84, 0, 4096).FileName(u"torn.txt", 5, 1).Finish();
    torn[3 * 512 - 2] ^= 0x55;
    ntfs.PlaceAt(4000, torn);
    VolumeScanner volume;
    platform::MemoryDevice* device = ntfs.Open(volume);
    device->FailRange(1200 * 512, 1201 * 512, platform::ReadStatus::Error);  // a bad sector on the way
    scan::NormalScan(volume);
    ASSERT_EQ(scan::DeepScan(volume, 0), kDeepFinished);
    EXPECT_EQ(volume.m_scanMode, kScanDeepFinished);
    auto byName = ByName(volume);
    EXPECT_EQ(byName.at("big record.txt")->m_fileNo, 82u);
    EXPECT_EQ(byName.at("odd.txt")->m_fileNo, 83u);
    EXPECT_TRUE(byName.at("torn.txt")->m_torn);
    EXPECT_FALSE(byName.at("odd.txt")->m_torn);
    ASSERT_EQ(volume.m_results.size(), 7u);
    EXPECT_EQ(byName.at("current.txt")->m_existType, kExistInUse);
    EXPECT_EQ(byName.at("Old")->m_existType, kExistLost);
    EXPECT_EQ(byName.at("old.txt")->m_filePath, "Old\\");
    EXPECT_EQ(byName.at("old.txt")->extents, (std::vector<FileExtent> {{900, 2, 1}}));
    EXPECT_EQ(byName.at("nowhere.txt")->m_filePath, "lost_dir\\");
    EXPECT_EQ(byName.at("nowhere.txt")->m_existType, kExistLost);
    EXPECT_EQ(volume.m_progress, SyntheticNtfs::kSectors);

    // Started inside the $MFT, the scan begins at its end: the MFT's records
    // are not found a second time.
    VolumeScanner inside;
    ntfs.Open(inside);
    ASSERT_EQ(scan::DeepScan(inside, SyntheticNtfs::kMftSector + 10), kDeepFinished);
    EXPECT_EQ(ByName(inside).count("current.txt"), 0u);
    EXPECT_EQ(ByName(inside).count("old.txt"), 1u);
    EXPECT_EQ(ByName(inside).count("big record.txt"), 1u);
}

TEST_F(NtfsScanTest, APausedDeepScanResumesToTheSameResults)
{
    SyntheticNtfs ntfs;
    ntfs.PlaceInMft(36, SyntheticNtfs::File(36, 5, u"current.txt"));
    ntfs.PlaceAt(300, SyntheticNtfs::File(80, 70, u"before its folder.txt", false));
    ntfs.PlaceAt(5000, SyntheticNtfs::Folder(70, 5, u"Old"));
    ntfs.PlaceAt(5200, SyntheticNtfs::File(82, 70, u"in the same chunk.txt", false));
    ntfs.PlaceAt(7000, SyntheticNtfs::File(81, 70, u"after.txt", false));

    const auto dir = std::filesystem::path(testing::TempDir()) / "resume-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(store::OpenStore((dir / store::kDatabaseFile).string()));

    VolumeScanner unbroken;
    ntfs.Open(unbroken);
    scan::NormalScan(unbroken);
    ASSERT_EQ(jobs::RunDeepScan(unbroken, 0), kDeepFinished);
    EXPECT_EQ(ByName(unbroken).at("before its folder.txt")->m_filePath, "Old\\");

    // Paused between chunks (chunks end at 8, 2176, 4224: a stop asked for
    // at 2500 comes at the start of the fourth), and inside one, between two
    // records of the same chunk, as a Ctrl-C may: the record at 5200 was not
    // read yet, and a resumed scan starts with it.
    for (const auto& [stopAt, next] : {std::pair<std::uint64_t, std::uint64_t> {2500, 4224}, {5100, 5200}}) {
        base::StopRequest = 0;
        VolumeScanner first;
        ntfs.Open(first);
        scan::NormalScan(first);
        first.m_deep.stopAtSector = stopAt;
        ASSERT_EQ(jobs::RunDeepScan(first, 0), kDeepPaused);
        EXPECT_EQ(base::StopRequest, base::kStopKeep);
        EXPECT_EQ(first.m_deep.nextPosition, next);
        EXPECT_EQ(ByName(first).at("before its folder.txt")->m_filePath, "/");  // still waiting
        EXPECT_EQ(ByName(first).count("in the same chunk.txt"), 0u);

        // A later run of the program: the scan record says where to go on.
        // The saved volume path names our memory volume, so open it by hand.
        base::StopRequest = 0;
        store::ScanRecordInfo record;
        ASSERT_TRUE(store::ReadLastScanRecord(record));
        EXPECT_EQ(record.lastScanFlag, kScanDeepRunning);
        EXPECT_EQ(record.nextPosition, first.m_deep.nextPosition);
        VolumeScanner resumed;
        ntfs.Open(resumed);
        ASSERT_TRUE(store::LoadFoundFiles(resumed));
        ASSERT_EQ(jobs::RunDeepScan(resumed, record.nextPosition), kDeepFinished);
        EXPECT_EQ(Keys(resumed), Keys(unbroken)) << "paused at " << stopAt;
    }
    store::ScanRecordInfo record;

    // A finished scan leaves nothing to resume: its caller empties the store.
    EXPECT_TRUE(jobs::LeavesNothingToResume(kDeepFinished));
    ASSERT_TRUE(store::DropTables());
    record = {};
    ASSERT_TRUE(store::ReadLastScanRecord(record));
    EXPECT_TRUE(record.path.empty());
    store::CloseStore();
}

TEST_F(NtfsScanTest, AStopWithoutKeepEmptiesTheStore)
{
    const auto dir = std::filesystem::path(testing::TempDir()) / "discard-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(store::OpenStore((dir / store::kDatabaseFile).string()));
    SyntheticNtfs ntfs;
    ntfs.PlaceAt(300, SyntheticNtfs::File(80, 5, u"a.txt"));
    VolumeScanner volume;
    ntfs.Open(volume);
    volume.m_deep.stopAtSector = 100;
    ASSERT_EQ(jobs::RunDeepScan(volume, 0), kDeepPaused);

    VolumeScanner again;
    ntfs.Open(again);
    base::StopRequest = base::kStopDiscard;
    EXPECT_EQ(jobs::RunDeepScan(again, 0), kDeepStopped);
    // The saved scan stays until the caller has put out what it found; then
    // nothing is left to resume.
    store::ScanRecordInfo kept;
    ASSERT_TRUE(store::ReadLastScanRecord(kept));
    EXPECT_FALSE(kept.path.empty());
    EXPECT_TRUE(jobs::LeavesNothingToResume(kDeepStopped));
    EXPECT_FALSE(jobs::LeavesNothingToResume(kDeepPaused));
    ASSERT_TRUE(store::DropTables());
    store::ScanRecordInfo record;
    ASSERT_TRUE(store::ReadLastScanRecord(record));
    EXPECT_TRUE(record.path.empty());
    VolumeScanner loaded;
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    EXPECT_TRUE(loaded.m_results.empty());
    store::CloseStore();
}

namespace {

// A large volume held as a few written blocks (zeros elsewhere), whose reads
// of one range fail: always, or only for the first `failingReads` reads that
// touch it (a disk that fails for a while and then reads again).
class SparseVolume final : public platform::BlockDevice {
public:
    explicit SparseVolume(std::uint64_t bytes) : m_size(bytes) {}

    void Write(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) { m_blocks[offset] = bytes; }
    void Fail(std::uint64_t begin, std::uint64_t end, std::uint64_t failingReads = ~std::uint64_t {0})
    {
        m_failBegin = begin;
        m_failEnd = end;
        m_failingReads = failingReads;
    }
    std::uint64_t Reads() const { return m_reads; }

    platform::ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override
    {
        ++m_reads;
        if (offset < m_failEnd && offset + length > m_failBegin && m_failingReads != 0) {
            --m_failingReads;
            return {0, platform::ReadStatus::Error, 5};
        }
        if (offset >= m_size)
            return {};
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_size - offset));
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, n);
        for (const auto& [at, bytes] : m_blocks) {
            const std::uint64_t end = at + bytes.size();
            if (end <= offset || at >= offset + n)
                continue;
            const std::uint64_t from = std::max(at, offset);
            const std::uint64_t to = std::min(end, offset + n);
            std::memcpy(out + (from - offset), bytes.data() + (from - at), static_cast<std::size_t>(to - from));
        }
        return {n, platform::ReadStatus::Ok, 0};
    }
    std::uint64_t Size() const override { return m_size; }

private:
    std::uint64_t m_size;
    std::map<std::uint64_t, std::vector<std::uint8_t>> m_blocks;
    std::uint64_t m_failBegin = 0;
    std::uint64_t m_failEnd = 0;
    std::uint64_t m_failingReads = 0;
    std::uint64_t m_reads = 0;
};

// A volume of `mib` MiB with the synthetic NTFS boot sector, $MFT and root,
// and stray file records at the given MiB offsets.
std::unique_ptr<SparseVolume> FailingNtfs(std::uint64_t mib, const std::vector<std::pair<std::uint64_t, std::u16string>>& strays)
{
    auto device = std::make_unique<SparseVolume>(mib << 20);
    std::vector<std::uint8_t> boot(512);
    std::memcpy(&boot[3], "NTFS    ", 8);
    Put16(&boot[0x0B], 512);
    boot[0x0D] = 2;
    Put64(&boot[0x28], (mib << 20) / 512);
    Put64(&boot[0x30], 4);
    boot[0x40] = 0xF6;
    device->Write(0, boot);
    device->Write(8 * 512, RecordBuilder(0).FileName(u"$MFT", 5, 3).NonResident(0x80, {0x11, 60, 4}, 60 * 1024).Finish());
    device->Write((8 + 10) * 512, SyntheticNtfs::Folder(5, 5, u"."));
    std::uint32_t number = 100;
    for (const auto& [at, name] : strays)
        device->Write(at << 20, SyntheticNtfs::File(number++, 5, name, false));
    return device;
}

}  // namespace

TEST_F(NtfsScanTest, ADiskThatFailsForAWhileIsPassedOverFastAndReadAgainAtTheEnd)
{
    // 64 MiB; reads of 10-30 MiB fail for a while: the scan skips ahead,
    // twice as far each time, and reads the stretches it passed over at the
    // end, when the disk reads again.
    auto device = FailingNtfs(64, {{5, u"before.txt"}, {13, u"in the gap.txt"}, {50, u"after.txt"}});
    SparseVolume& raw = *device;
    raw.Fail(10 << 20, 30 << 20, 8);
    VolumeScanner volume;
    volume.Open(std::move(device), "flaky");
    volume.m_deep.retryDelayMs = 0;
    scan::NormalScan(volume);
    ASSERT_EQ(scan::DeepScan(volume, 0), kDeepFinished);
    auto byName = ByName(volume);
    EXPECT_EQ(byName.count("before.txt"), 1u);
    EXPECT_EQ(byName.count("in the gap.txt"), 1u);
    EXPECT_EQ(byName.count("after.txt"), 1u);

    // Always failing: the stretch stays unread, and is counted; a handful of
    // reads, not one per sector of it.
    device = FailingNtfs(64, {{5, u"before.txt"}, {13, u"in the gap.txt"}, {50, u"after.txt"}});
    device->Fail(10 << 20, 30 << 20);
    SparseVolume& always = *device;
    VolumeScanner failing;
    failing.Open(std::move(device), "bad");
    failing.m_deep.retryDelayMs = 0;
    scan::NormalScan(failing);
    ASSERT_EQ(scan::DeepScan(failing, 0), kDeepFinished);
    byName = ByName(failing);
    EXPECT_EQ(byName.count("in the gap.txt"), 0u);
    EXPECT_EQ(byName.count("after.txt"), 1u);
    EXPECT_GE(failing.m_unreadableSectors, (20u << 20) / 512);
    EXPECT_LE(failing.m_unreadableSectors, (40u << 20) / 512);
    // The first failure alone reads its chunk again in pieces and sector by
    // sector (each read tried twice): some 4,200 reads.
    EXPECT_LT(always.Reads(), 5000u);
}

TEST_F(NtfsScanTest, ADiskThatFailsEverywhereStopsTheDeepScanLikeAPause)
{
    // 1 GiB, every read from 100 MiB on failing: after a few reads, each
    // skipping twice as far, the scan stops and says where the failures
    // began, keeping what it found.
    auto device = FailingNtfs(1024, {{50, u"found.txt"}, {500, u"unreachable.txt"}});
    device->Fail(100 << 20, 1024 << 20);
    SparseVolume& raw = *device;
    VolumeScanner volume;
    volume.Open(std::move(device), "dying");
    volume.m_deep.retryDelayMs = 0;
    scan::NormalScan(volume);
    ASSERT_EQ(scan::DeepScan(volume, 0), kDeepFailingMedium);
    // Chunks begin after the $MFT (sector 128): the first that fails whole
    // is the one after the chunk that holds 100 MiB.
    EXPECT_GE(volume.m_deep.nextPosition, (100u << 20) / 512);
    EXPECT_LT(volume.m_deep.nextPosition, (100u << 20) / 512 + 2048);
    EXPECT_EQ(ByName(volume).count("found.txt"), 1u);
    EXPECT_LT(raw.Reads(), 100u + 5000u);
    EXPECT_GT(volume.m_unreadableSectors, 0u);
}

// The normal scan of the NTFS image against the manifest of what was written:
// every file and folder, existing or deleted, with its path, size and state.
TEST_F(NtfsScanTest, NormalScanOfTheImageMatchesTheManifest)
{
    VolumeScanner volume;
    ASSERT_EQ(volume.Open(kImages + "/ntfs.img"), kOpenOk);
    scan::NormalScan(volume);
    std::map<std::string, const FoundFile*> byPath;
    for (const auto& f : volume.m_results)
        byPath[OurPath(*f)] = f;
    const auto manifest = Manifest("ntfs");
    for (const ManifestRow& row : manifest) {
        const auto it = byPath.find(row.path);
        ASSERT_NE(it, byPath.end()) << row.path;
        const FoundFile& f = *it->second;
        EXPECT_EQ(f.m_isDirectory, row.type == "d" ? 1 : 0) << row.path;
        EXPECT_EQ(f.m_existType, row.state == "existing" ? kExistInUse : kExistDeleted) << row.path;
        if (row.type == "f") {
            EXPECT_EQ(f.m_fileSize, row.size) << row.path;
        }
    }
    // Nothing else: every result is a manifest entry.
    EXPECT_EQ(volume.m_results.size(), manifest.size());
}

// A quick format over an earlier volume: the deep scan finds the earlier
// files' records with names, sizes and the paths their folder records give.
TEST_F(NtfsScanTest, DeepScanFindsFilesOfAFormattedVolume)
{
    VolumeScanner volume;
    ASSERT_EQ(volume.Open(kImages + "/ntfs-reformatted.img"), kOpenOk);
    scan::NormalScan(volume);
    // Only the three new entries: records of the earlier volume that lie in
    // the new $MFT's allocation but past its size are not this volume's.
    const std::size_t normal = volume.ResultCount();
    EXPECT_EQ(normal, 3u);
    ASSERT_EQ(scan::DeepScan(volume, 0), kDeepFinished);
    std::map<std::string, const FoundFile*> deepByPath;
    for (std::size_t i = normal; i < volume.m_results.size(); ++i)
        deepByPath[OurPath(*volume.m_results[i])] = volume.m_results[i];
    std::map<std::string, const FoundFile*> normalByPath;
    for (std::size_t i = 0; i < normal; ++i)
        normalByPath[OurPath(*volume.m_results[i])] = volume.m_results[i];

    for (const ManifestRow& row : Manifest("ntfs-reformatted")) {
        const auto& found = row.state == "formatted" ? deepByPath : normalByPath;
        const auto it = found.find(row.path);
        ASSERT_NE(it, found.end()) << row.path;
        if (row.type == "f") {
            EXPECT_EQ(it->second->m_fileSize, row.size) << row.path;
        }
        EXPECT_EQ(it->second->m_isDirectory, row.type == "d" ? 1 : 0) << row.path;
    }
}

// Records that begin 512 bytes before the end of a read are read whole with
// the next one: in the pass over the volume, in the stretches a failing disk
// made the scan pass over, and across the borders of those stretches.
TEST_F(NtfsScanTest, RecordsAcrossReadBordersAreFoundAlsoWhereReadsFailedForAWhile)
{
    // Chunks begin after the $MFT, at sector 128 + 2048k; a record at the
    // sector before one runs into it (4223, 20607). Reads from sector 20607
    // on fail 4,170 times: the chunk that starts at 20607 (the record there
    // moves the next read back by one sector) fails whole (4,164 reads with
    // its pieces and sectors, each tried twice), then three more, each
    // skipping twice as far; all of it is read at the end, when the disk
    // reads again, in chunks from sector 20607: records at 22654, 24702, ...
    // run across those.
    const std::uint64_t sectors[] = {4223, 20607, 22654, 24702, 28798, 32894, 45054};
    std::set<std::string> wanted;
    for (const std::uint64_t s : sectors)
        wanted.insert("at " + std::to_string(s) + ".txt");
    for (const std::uint64_t failing : {std::uint64_t {0}, std::uint64_t {4170}}) {
        auto device = FailingNtfs(64, {});
        std::uint32_t number = 100;
        for (const std::uint64_t s : sectors) {
            const std::string name = "at " + std::to_string(s) + ".txt";
            device->Write(s * 512, SyntheticNtfs::File(number++, 5, std::u16string(name.begin(), name.end()), false));
        }
        if (failing != 0)
            device->Fail(20607 * 512, 30 << 20, failing);
        VolumeScanner volume;
        volume.Open(std::move(device), "borders");
        volume.m_deep.retryDelayMs = 0;
        scan::NormalScan(volume);
        ASSERT_EQ(scan::DeepScan(volume, 0), kDeepFinished);
        std::set<std::string> found;
        for (const auto& [name, file] : ByName(volume))
            if (name.rfind("at ", 0) == 0)
                found.insert(name);
        EXPECT_EQ(found, wanted) << failing;
        EXPECT_EQ(volume.m_unreadableSectors, 0u) << failing;
    }
}
