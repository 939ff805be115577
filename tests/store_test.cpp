#include "store/ResultStore.h"

#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

using namespace scan;

namespace {

std::unique_ptr<FoundFile> MakeFile(const std::string& fullName, const std::string& path, std::uint8_t exist,
                                    std::vector<FileExtent> extents = {})
{
    auto f = std::make_unique<FoundFile>();
    f->SetNameUtf8(fullName);
    f->m_filePath = path;
    SetExistCode(*f, exist);
    f->m_fileSize = 1234;
    f->m_latestTime = 133000000000000000ULL;
    f->m_fileNo = 77;
    f->m_fileSystemType = kNtfs;
    f->m_isDirectory = 0;
    f->extents = std::move(extents);
    return f;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::path(testing::TempDir()) /
              ("store-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        file = (dir / store::kDatabaseFile).string();
        ASSERT_TRUE(store::OpenStore(file));
    }
    void TearDown() override
    {
        store::CloseStore();
        std::filesystem::remove_all(dir);
    }

    // Runs one query on a second connection and returns its single number.
    std::int64_t Count(const std::string& sql)
    {
        sqlite3* db = nullptr;
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        std::int64_t n = -1;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            n = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return n;
    }

    store::ScanRecordInfo Record(std::uint64_t next)
    {
        store::ScanRecordInfo r;
        r.path = "/dev/sdz1";
        r.startTime = 5;
        r.useTime = 6;
        r.nextPosition = next;
        r.lastScanFlag = kScanDeepRunning;
        return r;
    }

    std::filesystem::path dir;
    std::string file;
};

}  // namespace

TEST_F(StoreTest, SavesAndLoadsFilesExactly)
{
    VolumeScanner volume;
    volume.AppendResult(MakeFile("a.b.c", "A\\B\\", 20, {{10, 8, 0}, {100, 16, 0}, {7, 2, 1}}));
    volume.AppendResult(MakeFile("README", "", 3));  // placed in the tree as a lost file
    volume.AppendResult(MakeFile("it's \"quoted\"; drop table x;--.txt", "lost_dir\\O'Brien\\", 10));
    volume.AppendResult(MakeFile("фото.jpeg", "Ünï\\", 1));
    auto folder = MakeFile("Folder", "", 10);
    folder->m_isDirectory = 1;
    volume.AppendResult(std::move(folder));
    ASSERT_TRUE(store::SaveScanResults(volume, Record(4096)));
    EXPECT_EQ(Count("select count(*) from tbl_fileExtent where fileId = 1"), 3);
    EXPECT_EQ(Count("select count(*) from tbl_fileInfo where m_accessTime = m_modifyTime and "
                    "m_modifyTime = m_createTime"),
              5);
    EXPECT_EQ(Count("select min(id) from tbl_fileInfo"), 1);

    VolumeScanner loaded;
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    ASSERT_EQ(loaded.m_results.size(), 5u);
    const FoundFile& first = *loaded.m_results[0];
    EXPECT_EQ(first.name(), "a.b");
    EXPECT_EQ(first.suffix(), "c");
    EXPECT_EQ(first.m_filePath, "A\\B\\");
    EXPECT_EQ(first.extents, (std::vector<FileExtent> {{10, 8, 0}, {100, 16, 0}, {7, 2, 1}}));
    EXPECT_EQ(ExistCode(first), 20);
    EXPECT_EQ(first.m_fileNo, 77u);
    EXPECT_EQ(first.m_fileSize, 1234u);
    EXPECT_EQ(first.m_latestTime, 133000000000000000ULL);
    EXPECT_EQ(first.m_fileSystemType, kNtfs);
    EXPECT_EQ(first.m_isDirectory, 0);

    EXPECT_EQ(loaded.m_results[1]->FullNameUtf8(), "README");
    EXPECT_EQ(loaded.m_results[1]->suffix(), "");
    // Placed in the tree before the save: it comes back unplaced, to be placed again.
    EXPECT_EQ(ExistCode(*loaded.m_results[1]), 30);
    EXPECT_EQ(ExistCode(*loaded.m_results[3]), 10);
    EXPECT_EQ(loaded.m_results[2]->FullNameUtf8(), "it's \"quoted\"; drop table x;--.txt");
    EXPECT_EQ(loaded.m_results[2]->m_filePath, "lost_dir\\O'Brien\\");
    EXPECT_EQ(loaded.m_results[3]->FullNameUtf8(), "фото.jpeg");
    EXPECT_EQ(loaded.m_results[4]->m_isDirectory, 1);  // folders stay folders

    store::ScanRecordInfo record;
    ASSERT_TRUE(store::ReadLastScanRecord(record));
    EXPECT_EQ(record.path, "/dev/sdz1");
    EXPECT_EQ(record.nextPosition, 4096u);
    EXPECT_EQ(record.lastScanFlag, kScanDeepRunning);
}

TEST_F(StoreTest, ScanRecords)
{
    store::ScanRecordInfo record;
    ASSERT_TRUE(store::ReadLastScanRecord(record));
    EXPECT_TRUE(record.path.empty());  // nothing saved

    store::ScanRecordInfo older = Record(1);
    store::ScanRecordInfo newer = Record(2);
    newer.path = "/dev/sdz2";
    ASSERT_TRUE(store::InsertScanRecord(older));
    ASSERT_TRUE(store::InsertScanRecord(newer));
    ASSERT_TRUE(store::ReadLastScanRecord(record));
    EXPECT_EQ(record.path, "/dev/sdz2");
    EXPECT_EQ(record.nextPosition, 2u);

    // An empty scanner saves one record and no rows.
    VolumeScanner empty;
    ASSERT_TRUE(store::SaveScanResults(empty, Record(3)));
    EXPECT_EQ(Count("select count(*) from tbl_ScanRecordInfo"), 1);
    EXPECT_EQ(Count("select count(*) from tbl_fileInfo"), 0);

    ASSERT_TRUE(store::DropTables());
    for (const char* table : {"tbl_fileInfo", "tbl_fileExtent", "tbl_ScanRecordInfo", "tbl_fileState", "tbl_folderMap",
                              "tbl_scanVolume"})
        EXPECT_EQ(Count(std::string("select count(*) from ") + table), 0) << table;
}

// A saved scan keeps what its volume was: a later resume checks the volume
// at that path against it. A record of an older version has none.
TEST_F(StoreTest, TheVolumeOfASavedScanComesBackWithIt)
{
    store::ScanRecordInfo saved = Record(7);
    saved.path = "/images/card.img";
    saved.hasIdentity = true;
    saved.identity = {409600, scan::kFat32, 0x1234ABCD, 0xFEDCBA9876543210ULL};
    saved.deviceNode = "/images/card.img";
    VolumeScanner empty;
    ASSERT_TRUE(store::SaveScanResults(empty, saved));
    store::ScanRecordInfo read;
    ASSERT_TRUE(store::ReadLastScanRecord(read));
    EXPECT_TRUE(read.hasIdentity);
    EXPECT_EQ(read.identity, saved.identity);
    EXPECT_EQ(read.deviceNode, saved.deviceNode);
    // Saved again without one (as an older version did): none is read back,
    // and the older identity row went with the older record.
    ASSERT_TRUE(store::SaveScanResults(empty, Record(8)));
    store::ScanRecordInfo older;
    ASSERT_TRUE(store::ReadLastScanRecord(older));
    EXPECT_FALSE(older.hasIdentity);
    EXPECT_EQ(Count("select count(*) from tbl_scanVolume"), 0);
}

TEST(VolumeIdentity, WhatTellsVolumesApartAndHowItIsSaid)
{
    std::uint8_t boot[512] = {};
    boot[0x48] = 0x11;
    boot[0x4F] = 0x88;
    const scan::VolumeIdentity ntfs = scan::ReadVolumeIdentity(boot, scan::kNtfs, 512 * 1000);
    EXPECT_EQ(ntfs.sectors, 1000u);
    EXPECT_EQ(ntfs.serialNumber, 0x8800000000000011ULL);
    EXPECT_EQ(scan::SerialText(ntfs), "8800000000000011");
    boot[0x43] = 0xCD;
    boot[0x46] = 0x12;
    const scan::VolumeIdentity fat = scan::ReadVolumeIdentity(boot, scan::kFat32, 512 * 1000);
    EXPECT_EQ(scan::SerialText(fat), "1200-00CD");
    EXPECT_EQ(scan::DescribeDifference(ntfs, ntfs), "");
    EXPECT_EQ(scan::DescribeDifference(ntfs, fat), "its file system (NTFS then, FAT32 now)");
    scan::VolumeIdentity grown = fat;
    grown.sectors = 2000000;
    grown.serialNumber = 1;
    EXPECT_EQ(scan::DescribeDifference(fat, grown),
              "its size (1,000 sectors then, 2,000,000 now); its serial number (1200-00CD then, 0000-0001 now)");
    // The same serial and size, another boot sector: still another volume.
    boot[0x10] = 1;
    EXPECT_EQ(scan::DescribeDifference(fat, scan::ReadVolumeIdentity(boot, scan::kFat32, 512 * 1000)),
              "its boot sector");
}

TEST_F(StoreTest, LoadsTheLargestOfThreeTimes)
{
    VolumeScanner volume;
    volume.AppendResult(MakeFile("t.txt", "", 10));
    ASSERT_TRUE(store::SaveScanResults(volume, Record(1)));
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "update tbl_fileInfo set m_accessTime=5, m_modifyTime=9, m_createTime=7", nullptr, nullptr,
                 nullptr);
    sqlite3_close(db);
    VolumeScanner loaded;
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    EXPECT_EQ(loaded.m_results.at(0)->m_latestTime, 9u);
}

TEST_F(StoreTest, APausedScansWaitingPathsAndFoldersComeBack)
{
    VolumeScanner volume;
    volume.AppendResult(MakeFile("waiting.txt", "/", 30));
    volume.AppendResult(MakeFile("done.txt", "A\\", 30));
    volume.m_deep.paths.pending.push_back({0, 900});
    volume.m_deep.paths.folders[40] = {40, 5, "A", 3};
    volume.m_deep.paths.folders[41] = {41, 40, "B'", 3};
    ASSERT_TRUE(store::SaveScanResults(volume, Record(10)));

    VolumeScanner loaded;
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    ASSERT_EQ(loaded.m_deep.paths.pending.size(), 1u);
    EXPECT_EQ(loaded.m_deep.paths.pending[0].index, 0u);
    EXPECT_EQ(loaded.m_deep.paths.pending[0].parent, 900u);
    ASSERT_EQ(loaded.m_deep.paths.folders.size(), 2u);
    EXPECT_EQ(loaded.m_deep.paths.folders.at(41).name, "B'");
    EXPECT_EQ(loaded.m_deep.paths.folders.at(41).parent, 40u);
    EXPECT_EQ(loaded.m_results[0]->m_filePath, "/");
}

TEST_F(StoreTest, AFailedSaveLeavesTheEarlierSaveWhole)
{
    VolumeScanner small;
    small.AppendResult(MakeFile("keep.txt", "", 10, {{1, 2, 0}}));
    ASSERT_TRUE(store::SaveScanResults(small, Record(111)));

    // A disk that fills up half-way through the next save.
    VolumeScanner big;
    for (int i = 0; i < 20000; ++i)
        big.AppendResult(MakeFile("file" + std::to_string(i) + ".bin", std::string(200, 'p'), 30, {{1, 2, 0}}));
    ASSERT_TRUE(store::LimitDatabasePages(Count("pragma page_count") + 20));

    EXPECT_FALSE(store::SaveScanResults(big, Record(222)));

    VolumeScanner loaded;
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    ASSERT_EQ(loaded.m_results.size(), 1u);
    EXPECT_EQ(loaded.m_results[0]->FullNameUtf8(), "keep.txt");
    EXPECT_EQ(loaded.m_results[0]->extents.size(), 1u);
    store::ScanRecordInfo record;
    ASSERT_TRUE(store::ReadLastScanRecord(record));
    EXPECT_EQ(record.nextPosition, 111u);
    EXPECT_EQ(Count("select count(*) from tbl_ScanRecordInfo"), 1);
}

TEST(StoreClosed, OperationsFailQuietly)
{
    store::CloseStore();
    VolumeScanner volume;
    volume.AppendResult(MakeFile("x.txt", "", 10));
    EXPECT_FALSE(store::SaveScanResults(volume, {}));
    EXPECT_FALSE(store::LoadFoundFiles(volume));
    store::ScanRecordInfo record;
    EXPECT_FALSE(store::ReadLastScanRecord(record));
    EXPECT_FALSE(store::OpenStore("/nonexistent-folder/x/mydatabase.db"));
}

TEST_F(StoreTest, HowNtfsStoredAFileComesBackAndAnOlderStoreLoads)
{
    VolumeScanner volume;
    auto compressed = MakeFile("packed.txt", "", 10, {{800, 40, 0}, {0, 88, kExtentHole}});
    compressed->m_encoding = kLznt1;
    compressed->m_compressionUnit = 4;
    compressed->m_validSize = 1000;
    compressed->m_torn = true;
    volume.AppendResult(std::move(compressed));
    volume.AppendResult(MakeFile("plain.txt", "", 10, {{16, 8, 0}}));
    ASSERT_TRUE(store::SaveScanResults(volume, Record(10)));
    VolumeScanner loaded;
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    ASSERT_EQ(loaded.m_results.size(), 2u);
    const FoundFile& packed = *loaded.m_results[0];
    EXPECT_EQ(packed.extents, (std::vector<FileExtent> {{800, 40, 0}, {0, 88, kExtentHole}}));
    EXPECT_EQ(packed.m_encoding, kLznt1);
    EXPECT_EQ(packed.m_compressionUnit, 4);
    EXPECT_EQ(packed.m_validSize, 1000u);
    EXPECT_TRUE(packed.m_torn);
    EXPECT_EQ(loaded.m_results[1]->m_validSize, kAllValid);
    EXPECT_FALSE(loaded.m_results[1]->m_torn);

    // A store written before these columns existed: its state table has
    // three. It opens, gains the columns, and its files load as stored.
    store::CloseStore();
    std::filesystem::remove(file);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "create table tbl_fileInfo (id integer primary key autoincrement, name TEXT, suffix TEXT,"
                           "m_accessTime INT64, m_modifyTime INT64, m_createTime INT64, m_filePath TEXT,"
                           "m_startSector INT64, m_fileSize INT64, m_fileNo integer, m_existType CHAR,"
                           "m_fileSystemType integer);"
                           "insert into tbl_fileInfo values(1,'old','txt',1,2,3,'',0,100,40,20,1);"
                           "create table tbl_fileState (fileId integer primary key,isDirectory integer,pendingParent "
                           "INT64);"
                           "insert into tbl_fileState values(1,0,-1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ASSERT_TRUE(store::OpenStore(file));
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    ASSERT_EQ(loaded.m_results.size(), 1u);
    EXPECT_EQ(loaded.m_results[0]->FullNameUtf8(), "old.txt");
    EXPECT_EQ(loaded.m_results[0]->m_encoding, kStored);
    EXPECT_EQ(loaded.m_results[0]->m_validSize, kAllValid);
    EXPECT_FALSE(loaded.m_results[0]->m_torn);
    ASSERT_TRUE(store::SaveScanResults(volume, Record(11)));  // the old rows go, new ones fit
    ASSERT_TRUE(store::LoadFoundFiles(loaded));
    ASSERT_EQ(loaded.m_results.size(), 2u);
    EXPECT_EQ(loaded.m_results[0]->m_encoding, kLznt1);
    EXPECT_EQ(Count("select count(*) from pragma_table_info('tbl_fileState')"), 7);
}

// A program killed in the middle of a save (power lost, SIGKILL) leaves the
// save before it whole, or the new one whole once its commit got through:
// never a mix, never a store that cannot be read. The kills fall at spread
// moments of the save, before, during and after its commit.
TEST_F(StoreTest, AKillDuringASaveLeavesOneWholeSave)
{
    VolumeScanner small;
    small.AppendResult(MakeFile("keep.txt", "", 10, {{1, 2, 0}}));
    ASSERT_TRUE(store::SaveScanResults(small, Record(111)));
    store::CloseStore();
    int whole = 0;
    int kept = 0;
    for (const int delayMs : {0, 30, 80, 150, 250, 400, 600, 900}) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            VolumeScanner big;
            for (int i = 0; i < 200000; ++i)
                big.AppendResult(MakeFile("file" + std::to_string(i) + ".bin", std::string(40, 'p'), 30, {{1, 2, 0}}));
            if (!store::OpenStore(file))
                ::_exit(3);
            const char go = 1;
            if (::write(ready[1], &go, 1) != 1)
                ::_exit(4);
            store::SaveScanResults(big, Record(222));
            ::_exit(0);
        }
        ::close(ready[1]);
        char go = 0;
        ASSERT_EQ(::read(ready[0], &go, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        ASSERT_TRUE(store::OpenStore(file)) << "after a kill " << delayMs << " ms into the save";
        store::ScanRecordInfo record;
        ASSERT_TRUE(store::ReadLastScanRecord(record));
        VolumeScanner loaded;
        ASSERT_TRUE(store::LoadFoundFiles(loaded));
        if (record.nextPosition == 222u) {
            EXPECT_EQ(loaded.m_results.size(), 200000u) << delayMs;
            ++whole;
        } else {
            EXPECT_EQ(record.nextPosition, 111u) << delayMs;
            ASSERT_EQ(loaded.m_results.size(), 1u) << delayMs;
            EXPECT_EQ(loaded.m_results[0]->FullNameUtf8(), "keep.txt");
            ++kept;
        }
        EXPECT_EQ(Count("select count(*) from tbl_ScanRecordInfo"), 1);
        // The next trial starts from the small save again.
        if (record.nextPosition == 222u) {
            ASSERT_TRUE(store::SaveScanResults(small, Record(111)));
        }
        store::CloseStore();
    }
    // Some kills came before the commit; with a slow machine all may.
    EXPECT_GT(kept, 0);
    std::printf("kills: %d left the earlier save, %d the new one\n", kept, whole);
    ASSERT_TRUE(store::OpenStore(file));
}

