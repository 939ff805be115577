#include "NtfsBuilder.h"

#include "base/StopRequest.h"
#include "platform/BlockDevice.h"
#include "recover/Receipt.h"
#include "recover/RecoveryWriter.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <chrono>

namespace fs = std::filesystem;
using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put64;
using testing_ntfs::RecordBuilder;

namespace {

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every file below `root`, relative, with "/" between folders.
std::set<std::string> Tree(const fs::path& root)
{
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        files.insert(fs::relative(e.path(), root).generic_string());
    return files;
}

class RecoverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        base::StopRequest = 0;
        root = fs::path(testing::TempDir()) /
               ("recover-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root);
        dest = root / "out";
        // A volume whose records hold resident data; names come from it.
        std::vector<std::uint8_t> bytes(64 * 1024);
        volume.Open(std::make_unique<platform::MemoryDevice>(bytes), "memory");
        auto& device = static_cast<platform::MemoryDevice&>(*volume.m_device);
        for (int i = 0; i < 8; ++i) {
            const std::string text = "content " + std::to_string(i);
            const testing_ntfs::Record r =
                RecordBuilder(40 + i).Resident(0x80, std::vector<std::uint8_t>(text.begin(), text.end())).Finish();
            std::copy(r.begin(), r.end(), device.Bytes().begin() + 4096 + i * 1024);
        }
    }
    void TearDown() override { fs::remove_all(root); }

    void Add(const std::string& fullName, const std::string& path, int record)
    {
        auto f = std::make_unique<FoundFile>();
        f->SetNameUtf8(fullName);
        f->m_filePath = path;
        f->m_fileSystemType = kNtfs;
        f->m_isDirectory = 0;
        f->m_fileSize = 9;
        f->m_latestTime = 133000000000000000ULL;
        f->extents = {{static_cast<std::uint64_t>(8 + 2 * record), 2, 1}};
        volume.AppendResult(std::move(f));
    }

    fs::path root;
    fs::path dest;
    VolumeScanner volume;
};

}  // namespace

TEST(SafeComponent, KeepsNamesAndDefusesTraversal)
{
    EXPECT_EQ(recover::SafeComponent("report"), "report");
    EXPECT_EQ(recover::SafeComponent("Ünïcødé фото"), "Ünïcødé фото");
    EXPECT_EQ(recover::SafeComponent(".."), "_..");
    EXPECT_EQ(recover::SafeComponent("."), "_.");
    EXPECT_EQ(recover::SafeComponent(""), "_");
    EXPECT_EQ(recover::SafeComponent("a/../b"), "a_.._b");
    EXPECT_EQ(recover::SafeComponent(std::string("nul\0byte", 8)), "nul_byte");
    EXPECT_EQ(recover::SafeComponent("...."), "....");
}

TEST_F(RecoverTest, HostileNamesStayInsideTheDestination)
{
    Add("..", "", 0);
    Add("../../escape.txt", "", 1);
    Add("evil.txt", "..\\..\\", 2);
    Add("x.txt", "a/../../b\\", 3);
    Add("..", "..\\", 4);
    const auto summary = recover::RecoverFiles(volume, recover::Selection {{}, {""}}, dest.string());
    EXPECT_EQ(summary.succeeded, 5u);
    // Nothing was written beside the destination.
    EXPECT_EQ(Tree(root).size(), Tree(dest).size() + 1);
    EXPECT_TRUE(fs::exists(dest / "_.."));
    EXPECT_TRUE(fs::exists(dest / ".._.._escape.txt"));
    EXPECT_TRUE(fs::exists(dest / "_.." / "_.." / "evil.txt"));
    EXPECT_TRUE(fs::exists(dest / "a_.._.._b" / "x.txt"));
    EXPECT_EQ(ReadAll(dest / "_.." / "_.." / "evil.txt"), "content 2");
}

TEST_F(RecoverTest, SelectionNumberingAndTimes)
{
    Add("a.txt", "docs\\", 0);
    Add("b.txt", "docs\\old\\", 1);
    Add("c.txt", "docsets\\", 2);
    Add("README", "", 3);
    // Indices 3, 1, 3 and one past the end: two files, in index order.
    recover::RecoverProgress progress;
    auto summary = recover::RecoverFiles(
        volume, recover::Selection {{3, 1, 3, 4}, {}},
        dest.string(), &progress);
    EXPECT_EQ(summary.selected, 3u);
    EXPECT_EQ(summary.succeeded, 2u);
    EXPECT_EQ(progress.done, 3u);
    EXPECT_EQ(ReadAll(dest / "README"), "content 3");
    EXPECT_EQ(ReadAll(dest / "docs" / "old" / "b.txt"), "content 1");

    // A folder takes its subfolders, not its namesakes.
    summary = recover::RecoverFiles(volume, recover::Selection {{}, {"docs"}}, dest.string());
    EXPECT_EQ(summary.succeeded, 2u);
    EXPECT_TRUE(fs::exists(dest / "docs" / "a.txt"));
    EXPECT_TRUE(fs::exists(dest / "docs" / "old" / "b_1.txt"));
    EXPECT_FALSE(fs::exists(dest / "docsets"));

    // Again: numbered names, with and without an extension.
    recover::RecoverFiles(volume, recover::Selection {{3, 0}, {}}, dest.string());
    recover::RecoverFiles(volume, recover::Selection {{3}, {}}, dest.string());
    EXPECT_TRUE(fs::exists(dest / "README_1"));
    EXPECT_TRUE(fs::exists(dest / "README_2"));
    EXPECT_TRUE(fs::exists(dest / "docs" / "a_1.txt"));

    // The found file's time becomes the output's modification time.
    const auto written = fs::last_write_time(dest / "README");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(written).time_since_epoch()).count();
    EXPECT_EQ(seconds, (133000000000000000LL - 116444736000000000LL) / 10000000);
}

TEST_F(RecoverTest, FailuresAreCountedAndTheRunGoesOn)
{
    Add("good.txt", "", 0);
    auto unknown = std::make_unique<FoundFile>();
    unknown->SetNameUtf8("unknown.bin");
    unknown->m_fileSize = 10;  // no file system: nothing can be read
    volume.AppendResult(std::move(unknown));
    auto empty = std::make_unique<FoundFile>();
    empty->SetNameUtf8("empty.txt");
    empty->m_fileSystemType = kNtfs;
    volume.AppendResult(std::move(empty));
    const auto summary = recover::RecoverFiles(volume, recover::Selection {{}, {""}}, dest.string());
    EXPECT_EQ(summary.succeeded, 2u);
    EXPECT_EQ(summary.failed, 1u);
    // Nothing of it could be written: no empty file is left to pass for it.
    EXPECT_FALSE(fs::exists(dest / "unknown.bin"));
    EXPECT_FALSE(fs::exists(dest / "unknown.bin.partial"));
    ASSERT_EQ(summary.problems.size(), 1u);
    EXPECT_EQ(summary.problems[0].outcome, recover::Outcome::kFailed);
    EXPECT_EQ(summary.problems[0].source, "unknown.bin");
    EXPECT_EQ(fs::file_size(dest / "empty.txt"), 0u);
    EXPECT_EQ(ReadAll(dest / "good.txt"), "content 0");

    // A stop request ends the run before the next file.
    base::StopRequest = base::kStopDiscard;
    const auto stopped = recover::RecoverFiles(volume, recover::Selection {{0}, {}}, dest.string());
    EXPECT_TRUE(stopped.stopped || stopped.selected == 0);
    base::StopRequest = 0;
}

TEST_F(RecoverTest, AFileThatIsNotWholeNeverTakesItsName)
{
    // A 16 KiB file at sector 64 whose sectors 70-71 cannot be read, and a
    // whole one beside it.
    auto& device = static_cast<platform::MemoryDevice&>(*volume.m_device);
    for (std::size_t i = 64 * 512; i < 96 * 512; ++i)
        device.Bytes()[i] = static_cast<std::uint8_t>('a' + i % 26);
    device.FailRange(70 * 512, 72 * 512, platform::ReadStatus::Error);
    volume.m_volumeSize = 128;
    for (const char* name : {"photo.jpg", "whole.txt"}) {
        auto f = std::make_unique<FoundFile>();
        f->SetNameUtf8(name);
        f->m_filePath = "album\\";
        f->m_fileSystemType = kNtfs;
        f->m_isDirectory = 0;
        f->m_fileSize = std::string(name) == "photo.jpg" ? 16384 : 1000;
        f->m_latestTime = 133000000000000000ULL;
        f->extents = {{std::string(name) == "photo.jpg" ? 64u : 80u, 32, 0}};
        volume.AppendResult(std::move(f));
    }
    const auto summary = recover::RecoverFiles(volume, recover::Selection {{}, {"album"}}, dest.string());
    EXPECT_EQ(summary.succeeded, 1u);
    EXPECT_EQ(summary.partial, 1u);
    EXPECT_EQ(summary.failed, 0u);
    EXPECT_EQ(summary.bytes, 16384u + 1000u);  // the partial file's bytes are on disk too
    ASSERT_EQ(summary.problems.size(), 1u);
    const recover::FileReport& report = summary.problems[0];
    EXPECT_EQ(report.outcome, recover::Outcome::kPartial);
    EXPECT_EQ(report.source, "album/photo.jpg");
    EXPECT_EQ(report.unreadableSectors, 2u);
    EXPECT_EQ(recover::DescribeProblems(report.problems, report.unreadableSectors),
              "2 unreadable sectors read as zeros");
    EXPECT_EQ(recover::CountProblems(summary), "unreadable sectors: 1");

    // Under its own name only the whole file; the other keeps what could be
    // read, the bad sectors as zeros, and no time of the found file.
    EXPECT_FALSE(fs::exists(dest / "album" / "photo.jpg"));
    const fs::path kept = dest / "album" / "photo.jpg.partial";
    EXPECT_EQ(report.output, kept.string());
    const std::string bytes = ReadAll(kept);
    ASSERT_EQ(bytes.size(), 16384u);
    EXPECT_EQ(bytes.substr(6 * 512, 1024), std::string(1024, '\0'));
    EXPECT_EQ(bytes[0], 'a' + (64 * 512) % 26);
    EXPECT_EQ(bytes[8 * 512], 'a' + (72 * 512) % 26);
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(kept);
    EXPECT_LT(age, std::chrono::hours(1));
    EXPECT_EQ(fs::file_size(dest / "album" / "whole.txt"), 1000u);
    EXPECT_FALSE(fs::exists(dest / "album" / "whole.txt.partial"));

    // Again: the whole file gets the next number; so does the partial one,
    // beside the first.
    recover::RecoverFiles(volume, recover::Selection {{}, {"album"}}, dest.string());
    EXPECT_TRUE(fs::exists(dest / "album" / "whole_1.txt"));
    EXPECT_TRUE(fs::exists(dest / "album" / "photo_1.jpg.partial"));
}

TEST_F(RecoverTest, NamesTooLongForTheDestinationAreShortened)
{
    // A legal NTFS name of 254 UTF-16 units of "é" is 508 UTF-8 bytes; a
    // folder of the same, and a second file that differs only at its end.
    std::string long1, long2;
    for (int i = 0; i < 250; ++i)
        long1 += "é";
    long2 = long1 + "b";
    long1 += "a";
    Add(long1 + ".jpeg", long1 + "\\", 0);
    Add(long2 + ".jpeg", long1 + "\\", 1);
    const auto summary = recover::RecoverFiles(volume, recover::Selection {{}, {""}}, dest.string());
    EXPECT_EQ(summary.succeeded, 2u);
    ASSERT_EQ(summary.shortened.size(), 2u);
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dest)) {
        const std::string name = e.path().filename().string();
        EXPECT_LE(name.size(), 255u) << name;
        if (e.is_regular_file() && !name.starts_with(recover::kReceiptName)) {
            names.insert(name);
            EXPECT_EQ(e.path().extension(), ".jpeg");
            EXPECT_EQ(name.compare(0, 20, long1, 0, 20), 0);  // it begins as the found name does
        }
    }
    EXPECT_EQ(names.size(), 2u);  // told apart though their first 230 bytes agree
    EXPECT_EQ(summary.shortened[0].first, long1 + "/" + long1 + ".jpeg");
    EXPECT_TRUE(fs::exists(summary.shortened[0].second));
    EXPECT_EQ(ReadAll(summary.shortened[1].second), "content 1");
}
