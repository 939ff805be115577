// The Windows layer's own rules, run under Wine: names made safe for
// Windows, files created new and never over another, settings, the lock of
// a running instance, raw reads of an image.
#include "disks/Disks.h"
#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/OutputFile.h"
#include "platform/Process.h"
#include "platform/win32/Wide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace platform;
using platform::win32::WidePath;
using platform::win32::WindowsSafeName;

namespace {

std::string TempFolder(const char* name)
{
    const std::filesystem::path p = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

TEST(WindowsNames, ReservedForbiddenAndTrailingCharactersAreMadeSafe)
{
    EXPECT_EQ(WindowsSafeName(L"holiday.jpg"), L"holiday.jpg");  // a good name stays
    EXPECT_EQ(WindowsSafeName(L"фото 1.png"), L"фото 1.png");
    EXPECT_EQ(WindowsSafeName(L"CON"), L"CON_");
    EXPECT_EQ(WindowsSafeName(L"con.txt"), L"con_.txt");
    EXPECT_EQ(WindowsSafeName(L"Nul.tar.gz"), L"Nul_.tar.gz");
    EXPECT_EQ(WindowsSafeName(L"COM1.txt"), L"COM1_.txt");
    EXPECT_EQ(WindowsSafeName(L"lpt9"), L"lpt9_");
    EXPECT_EQ(WindowsSafeName(L"COM0"), L"COM0");  // not a device
    EXPECT_EQ(WindowsSafeName(L"CONSOLE.txt"), L"CONSOLE.txt");
    EXPECT_EQ(WindowsSafeName(L"a:stream.txt"), L"a_stream.txt");  // no alternate data stream
    EXPECT_EQ(WindowsSafeName(L"q?*<>|\"x.txt"), L"q______x.txt");
    EXPECT_EQ(WindowsSafeName(L"trailing. . "), L"trailing____");
    EXPECT_EQ(WindowsSafeName(L"nul   "), L"nul___");
    EXPECT_EQ(WindowsSafeName(L"tab\there"), L"tab_here");
    EXPECT_EQ(WindowsSafeName(L"..\\..\\x.txt"), L".._.._x.txt");

    // Paths: the prefix stays, each name after it is made safe.
    EXPECT_EQ(WidePath("C:\\out/CON/a:b."), L"C:\\out\\CON_\\a_b_");
    EXPECT_EQ(WidePath("\\\\.\\PhysicalDrive0"), L"\\\\.\\PhysicalDrive0");
    EXPECT_EQ(WidePath("\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition1"),
              L"\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition1");
    EXPECT_EQ(WidePath("\\\\server\\share\\AUX.txt"), L"\\\\server\\share\\AUX_.txt");
    EXPECT_EQ(WidePath("relative/PRN"), L"relative\\PRN_");
    // After the first '/', names are found files': a '\\' in one is no way out.
    EXPECT_EQ(WidePath("C:\\out/many/..\\..\\xy.txt"), L"C:\\out\\many\\.._.._xy.txt");
    EXPECT_EQ(WidePath("C:/out/a"), L"C:\\out\\a");
}

TEST(WindowsFiles, NewFilesNeverReplaceOthersAndSafeNamesStayInside)
{
    const std::string folder = TempFolder("quenlar-windows-files");
    OutputFile out;
    ASSERT_EQ(out.CreateNew(folder + "\\CON.txt"), CreateResult::Created);
    EXPECT_EQ(out.Write("abc", 3), 3u);
    out.SetTime(132223104000000000ULL);  // 2020-01-01
    out.Close();
    EXPECT_EQ(out.CreateNew(folder + "\\CON.txt"), CreateResult::Exists);
    EXPECT_EQ(out.CreateNew(folder + "\\con.TXT"), CreateResult::Exists);  // names compare without case
    ASSERT_EQ(out.CreateNew(folder + "\\a:b"), CreateResult::Created);
    out.Close();
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder))) {
        const std::u8string n = entry.path().filename().u8string();
        names.emplace_back(n.begin(), n.end());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> {"CON_.txt", "a_b"}));
    EXPECT_TRUE(PathExists(folder + "\\CON.txt"));
    EXPECT_TRUE(MakeFolder(folder + "\\NUL"));
    EXPECT_TRUE(IsFolder(folder + "\\NUL"));
    EXPECT_EQ(RenameNoReplace(folder + "\\a:b", folder + "\\CON.txt"), RenameResult::Exists);
    EXPECT_EQ(RenameNoReplace(folder + "\\a:b", folder + "\\renamed"), RenameResult::Renamed);
    EXPECT_FALSE(DestinationOnSource(folder + "\\CON.txt", folder));  // an image file: writing beside it is fine
}

TEST(WindowsFiles, SettingsLocksAndRawReads)
{
    const std::string folder = TempFolder("quenlar-windows-misc");
    const std::string ini = folder + "\\config.ini";
    EXPECT_EQ(ReadIniInt(ini, "LOG", "LEVEL", 3), 3);
    ASSERT_TRUE(WriteIniString(ini, "LOG", "LEVEL", "2"));
    EXPECT_EQ(ReadIniInt(ini, "log", "level", 3), 2);

    ProcessLock first;
    ProcessLock second;
    ASSERT_TRUE(first.Acquire(folder + "\\instance.lock", "the first one"));
    EXPECT_FALSE(second.Acquire(folder + "\\instance.lock", "the second one"));
    EXPECT_EQ(second.Holder(), "the first one");
    first.Release();
    EXPECT_TRUE(second.Acquire(folder + "\\instance.lock", "the second one"));

    {
        std::ofstream image(std::filesystem::u8path(folder + "\\image.img"), std::ios::binary);
        for (int i = 0; i < 4096; ++i)
            image.put(static_cast<char>(i & 0xFF));
    }
    OpenResult open = OpenBlockDevice(folder + "\\image.img");
    ASSERT_TRUE(open.device);
    EXPECT_EQ(open.device->Size(), 4096u);
    std::uint8_t bytes[600] = {};
    const ReadResult r = open.device->ReadAt(3500, bytes, sizeof bytes);
    EXPECT_EQ(r.status, ReadStatus::Ok);
    EXPECT_EQ(r.bytes, 596u);  // to the end
    EXPECT_EQ(bytes[0], 3500 & 0xFF);
    EXPECT_EQ(OpenBlockDevice(folder).error, OpenError::IsFolder);
    EXPECT_EQ(OpenBlockDevice(folder + "\\missing.img").error, OpenError::NotFound);
}

TEST(WindowsDisks, TheLiveDiskListOnARealDiskStack)
{
    std::vector<disks::DiskInfo> list;
    disks::EnumerateDisks(list);
    const bool anyDisk = std::any_of(list.begin(), list.end(), [](const disks::DiskInfo& d) {
        return d.diskNumber < disks::kImageDisk;
    });
    if (!anyDisk)
        GTEST_SKIP() << "the Setup API lists no disk here (Wine has no disk stack); the disk list is tested on "
                        "recorded Windows facts (WindowsDisks.RecordedSystemsGiveTheListThePartsDescribe)";
    for (std::size_t i = 1; i < list.size(); ++i)
        EXPECT_LT(list[i - 1].diskNumber, list[i].diskNumber);  // in order, the pseudo-disk last
    for (const disks::DiskInfo& disk : list) {
        for (const disks::PartitionInfo& p : disk.partitions)
            EXPECT_FALSE(p.devicePath.empty());
    }
}
