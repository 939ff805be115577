#include "NtfsFacts.h"
#include "NtfsBuilder.h"

#include "ntfs/NtfsRecord.h"
#include "ntfs/RecordFacts.h"
#include "platform/BlockDevice.h"
#include "platform/Text.h"
#include "search/Scans.h"
#include "base/ByteView.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

using namespace scan;
using testing_ntfs::BuildExtents;
using testing_ntfs::FileSize;

namespace {

const std::string kImages = QUENLAR_IMAGE_DIR;

// A volume of `size` bytes where byte i holds i % 251, so every read can be
// checked against its offset.
std::vector<std::uint8_t> Pattern(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 251);
    return bytes;
}

// Opens a memory volume and hands back the device for inspection; the
// scanner owns it.
platform::MemoryDevice* OpenMemory(VolumeScanner& volume, std::vector<std::uint8_t> bytes)
{
    auto device = std::make_unique<platform::MemoryDevice>(std::move(bytes));
    platform::MemoryDevice* raw = device.get();
    volume.Open(std::move(device), "memory");
    return raw;
}

struct ManifestRow {
    std::string type;
    std::uint64_t size = 0;
    std::string state;
};

// The manifest of an image by file name (the last path component).
std::map<std::string, ManifestRow> ManifestByName(const std::string& name)
{
    std::map<std::string, ManifestRow> rows;
    std::ifstream in(std::string(QUENLAR_MANIFEST_DIR) + "/" + name + ".manifest.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string path, type, size, digest, state;
        std::getline(fields, path, '\t');
        std::getline(fields, type, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, digest, '\t');
        std::getline(fields, state, '\t');
        rows[path.substr(path.rfind('/') + 1)] = {type, std::stoull(size), state};
    }
    return rows;
}

}  // namespace

TEST(ReadSectors, WholeAndPartialSectors)
{
    VolumeScanner volume;
    platform::MemoryDevice* device = OpenMemory(volume, Pattern(64 * 1024));
    std::vector<std::uint8_t> buffer(4096, 0xEE);

    const auto before = device->ReadCalls();
    EXPECT_EQ(volume.ReadSectors(3, 1024, buffer.data()), 1024u);
    EXPECT_EQ(device->ReadCalls() - before, 1u);  // one read for whole sectors
    EXPECT_EQ(buffer[0], (3 * 512) % 251);

    // 64 bytes: one whole sector read, its first 64 bytes kept.
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    EXPECT_EQ(volume.ReadSectors(2, 64, buffer.data()), 64u);
    EXPECT_EQ(buffer[63], (2 * 512 + 63) % 251);
    EXPECT_EQ(buffer[64], 0xEE);

    // 600 bytes: a whole sector and 88 bytes of the next.
    EXPECT_EQ(volume.ReadSectors(0, 600, buffer.data()), 600u);
    EXPECT_EQ(buffer[599], 599 % 251);

    EXPECT_EQ(volume.ReadSectors(0, 0, buffer.data()), 0u);

    // At the end of the volume a read comes back short.
    EXPECT_EQ(volume.ReadSectors(127, 1024, buffer.data()), 512u);
    EXPECT_EQ(volume.ReadSectors(128, 512, buffer.data()), 0u);
    // Sector numbers whose byte offset overflows fail instead of wrapping.
    EXPECT_EQ(volume.ReadSectors(~std::uint64_t {0} / 256, 512, buffer.data()), 0u);
}

TEST(ReadSectors, ErrorsAreRetriedOnceAndAGoneMediumClosesTheDevice)
{
    VolumeScanner volume;
    platform::MemoryDevice* device = OpenMemory(volume, Pattern(64 * 1024));
    std::vector<std::uint8_t> buffer(4096);

    device->FailRange(10 * 512, 11 * 512, platform::ReadStatus::Error);
    auto before = device->ReadCalls();
    EXPECT_EQ(volume.ReadSectors(10, 512, buffer.data()), 0u);
    EXPECT_EQ(device->ReadCalls() - before, 2u);
    EXPECT_TRUE(volume.DeviceOpen());  // an ordinary error leaves it open
    EXPECT_EQ(volume.ReadSectors(11, 512, buffer.data()), 512u);

    device->FailRange(20 * 512, 21 * 512, platform::ReadStatus::MediumGone);
    std::uint64_t calls = 0;
    device->CountReadsInto(&calls);  // the device is gone after the read
    EXPECT_EQ(volume.ReadSectors(20, 512, buffer.data()), 0u);
    EXPECT_EQ(calls, 1u);  // no retry once the medium is gone
    EXPECT_FALSE(volume.DeviceOpen());
    EXPECT_EQ(volume.ReadSectors(0, 512, buffer.data()), 0u);
}

TEST(Open, ReportsWhyAVolumeCannotBeOpened)
{
    VolumeScanner volume;
    EXPECT_EQ(volume.Open(kImages + "/no-such-image.img"), kOpenNoDevice);
    EXPECT_EQ(volume.m_openError, platform::OpenError::NotFound);
    EXPECT_EQ(volume.Open(kImages), kOpenNoDevice);
    EXPECT_EQ(volume.m_openError, platform::OpenError::IsFolder);

    const std::string shortFile = testing::TempDir() + "/short.img";
    std::ofstream(shortFile, std::ios::binary) << std::string(100, 'x');
    EXPECT_EQ(volume.Open(shortFile), kOpenNoFirstSector);

    // Zeros open, but hold no known file system.
    EXPECT_EQ(volume.Open(std::make_unique<platform::MemoryDevice>(std::vector<std::uint8_t>(4096)), "zeros"),
              kOpenOk);
    EXPECT_EQ(volume.m_fileSystemType, kUnknownFileSystem);
}

TEST(Open, NtfsWithoutMftDataOpensWithNoRuns)
{
    std::vector<std::uint8_t> bytes(64 * 1024);
    std::memcpy(&bytes[3], "NTFS    ", 8);
    testing_ntfs::Put16(&bytes[0x0B], 512);
    bytes[0x0D] = 8;
    testing_ntfs::Put64(&bytes[0x28], 128);
    testing_ntfs::Put64(&bytes[0x30], 4);
    bytes[0x40] = 0xF6;  // 1024-byte records
    const testing_ntfs::Record record0 = testing_ntfs::RecordBuilder(0).FileName(u"$MFT", 5, 3).Finish();
    std::copy(record0.begin(), record0.end(), bytes.begin() + 4 * 8 * 512);

    VolumeScanner volume;
    OpenMemory(volume, bytes);
    EXPECT_EQ(volume.m_fileSystemType, kNtfs);
    EXPECT_TRUE(volume.m_geometryValid);
    EXPECT_TRUE(volume.m_mftRuns.empty());
    EXPECT_EQ(volume.m_volumeSize, 128u);
    EXPECT_EQ(scan::NormalScan(volume), 0);
    EXPECT_EQ(volume.ResultCount(), 0u);

    // Opening a volume that is no file system afterwards forgets the NTFS.
    volume.m_mftRuns = {{4, 0, 1}};
    OpenMemory(volume, std::vector<std::uint8_t>(4096));
    EXPECT_EQ(volume.m_fileSystemType, kUnknownFileSystem);
    EXPECT_TRUE(volume.m_mftRuns.empty());
}

TEST(Open, RecognisesTheTestImages)
{
    VolumeScanner volume;
    ASSERT_EQ(volume.Open(kImages + "/ntfs.img"), kOpenOk);
    EXPECT_EQ(volume.m_fileSystemType, kNtfs);
    EXPECT_EQ(volume.m_sectorsPerCluster, 8u);
    EXPECT_FALSE(volume.m_mftRuns.empty());

    ASSERT_EQ(volume.Open(kImages + "/fat32.img"), kOpenOk);
    EXPECT_EQ(volume.m_fileSystemType, kFat32);
    EXPECT_EQ(volume.m_volumeSize, 40u * 1024 * 1024 / 512);
    // The FAT starts with the media byte, and the root folder's chain is in use.
    ASSERT_GT(volume.m_fat.size(), 3u);
    EXPECT_EQ(volume.m_fat[0] & 0x0FFFFF00u, 0x0FFFFF00u);
    EXPECT_NE(volume.m_fat[2], 0u);
    EXPECT_EQ(volume.m_clusterBitmap.size(), (volume.m_volumeSize + 7) / 8);

    ASSERT_EQ(volume.Open(kImages + "/exfat.img"), kOpenOk);
    EXPECT_EQ(volume.m_fileSystemType, kExfat);
    EXPECT_EQ(volume.m_volumeSize, 16u * 1024 * 1024 / 512);
    ASSERT_GT(volume.m_fat.size(), 2u);
    EXPECT_EQ(volume.m_fat[0], 0xFFFFFFF8u);
    EXPECT_TRUE(volume.m_mftRuns.empty());
}

TEST(Open, AFatPastTheEndOfTheDeviceIsCutToTheDevice)
{
    // The first 64 KiB of the FAT32 image: its FAT (sector 32 on) is cut off.
    std::ifstream in(kImages + "/fat32.img", std::ios::binary);
    std::vector<std::uint8_t> head(64 * 1024);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    VolumeScanner volume;
    OpenMemory(volume, head);
    EXPECT_EQ(volume.m_fileSystemType, kFat32);
    EXPECT_EQ(volume.m_fat.size(), (64u * 1024 - 32 * 512) / 4);
    EXPECT_EQ(volume.m_fat[0] & 0x0FFFFF00u, 0x0FFFFF00u);
}

// Every user record of the NTFS image, read through the toolkit, against the
// manifest of what was written.
TEST(NtfsImage, RecordsAgreeWithTheManifest)
{
    VolumeScanner volume;
    ASSERT_EQ(volume.Open(kImages + "/ntfs.img"), kOpenOk);
    const auto manifest = ManifestByName("ntfs");
    std::map<std::string, std::uint32_t> numbers;
    for (std::uint32_t n = kFirstUserRecord; n < 4096; ++n) {
        const std::uint64_t offset = MapReference(volume, n);
        if (offset == 0)
            break;
        testing_ntfs::Record rec(volume.m_recordBytes);
        ASSERT_EQ(volume.ReadSectors(offset / 512, rec.size(), rec.data()), rec.size());
        ByteView name;
        if (!ValidateAndFixRecord(rec) || !FindAttribute(rec, kAttrFileName, name))
            continue;
        const std::string fileName = platform::Utf16ToUtf8(DecodeFileName(name).name);
        const auto row = manifest.find(fileName);
        ASSERT_NE(row, manifest.end()) << fileName;
        const bool folder = (RecordFlags(rec) & 2) != 0;
        const bool inUse = (RecordFlags(rec) & 1) != 0;
        EXPECT_EQ(folder, row->second.type == "d") << fileName;
        EXPECT_EQ(inUse, row->second.state == "existing") << fileName;
        if (!folder) {
            EXPECT_EQ(FileSize(volume, rec), row->second.size) << fileName;
        }
        EXPECT_GT(LatestTime(rec), 132000000000000000u) << fileName;  // after 2019
        numbers[fileName] = n;
    }
    for (const auto& [fileName, row] : manifest)
        EXPECT_TRUE(numbers.count(fileName)) << fileName << " has no record";

    // The small file's data lives in its record.
    testing_ntfs::Record rec(volume.m_recordBytes);
    std::uint64_t offset = MapReference(volume, numbers["readme.txt"]);
    ASSERT_EQ(volume.ReadSectors(offset / 512, rec.size(), rec.data()), rec.size());
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(BuildExtents(volume, rec, offset / 512), (std::vector<FileExtent> {{offset / 512, 2, 1}}));

    // The fragmented file: many extents that together hold its clusters in
    // order. Its writer put each 4 KiB block's own offset in its first 8
    // bytes, so reading the extents back checks their order too.
    offset = MapReference(volume, numbers["fragmented.bin"]);
    rec.assign(volume.m_recordBytes, 0);
    ASSERT_EQ(volume.ReadSectors(offset / 512, rec.size(), rec.data()), rec.size());
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    const auto extents = BuildExtents(volume, rec, offset / 512);
    EXPECT_GT(extents.size(), 5u);
    std::uint64_t block = 0;
    std::uint8_t head[8];
    const std::uint64_t size = manifest.at("fragmented.bin").size;
    for (const FileExtent& e : extents) {
        EXPECT_EQ(e.isPersist, 0);
        for (std::uint64_t s = 0; s < e.sectorCount && block * 4096 < size; s += 8, ++block) {
            ASSERT_EQ(volume.ReadSectors(e.startSector + s, 8, head), 8u);
            if (block > 0) {
                EXPECT_EQ(ByteView(head, 8).U64(0), block * 4096) << "block " << block;
            }
        }
    }
    EXPECT_EQ(block, (size + 4095) / 4096);
}

TEST(FoundFile, NameAndSuffix)
{
    FoundFile file;
    EXPECT_EQ(file.m_filePath, "/");
    EXPECT_EQ(file.m_isDirectory, 3);
    EXPECT_EQ(file.m_fileSystemType, kUnknownFileSystem);

    file.SetName(u"README");
    EXPECT_EQ(file.name(), "README");
    EXPECT_EQ(file.suffix(), "");
    EXPECT_EQ(file.FullName(), u"README");

    file.SetName(u"archive.tar.gz");
    EXPECT_EQ(file.name(), "archive.tar");
    EXPECT_EQ(file.suffix(), "gz");

    file.SetName(u".profile");
    EXPECT_EQ(file.name(), "");
    EXPECT_EQ(file.suffix(), "profile");
    EXPECT_EQ(file.FullName(), u".profile");

    file.SetName(u"фото.jpeg");
    EXPECT_EQ(file.name(), "фото");
    EXPECT_EQ(file.FullName(), u"фото.jpeg");
}

// Folder paths are held once: files of one folder share the text, a path set
// on any thread reads back whole on every other, and the unresolved path is
// the default.
TEST(FolderPath, SharedByTheFilesOfAFolderAndSafeAcrossThreads)
{
    FoundFile a;
    FoundFile b;
    EXPECT_EQ(a.m_filePath, "/");
    a.m_filePath = std::string("Photos\\2019\\");
    b.m_filePath = "Photos\\2019\\";
    EXPECT_EQ(a.m_filePath, b.m_filePath);
    EXPECT_EQ(a.m_filePath.data(), b.m_filePath.data());
    EXPECT_NE(a.m_filePath, "Photos\\2019");
    EXPECT_EQ(a.m_filePath + std::string("x.jpg"), "Photos\\2019\\x.jpg");

    const std::size_t before = FolderPath::PoolSize();
    std::vector<std::unique_ptr<FoundFile>> files(4 * 2000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&files, t] {
            for (int i = 0; i < 2000; ++i) {
                auto f = std::make_unique<FoundFile>();
                f->m_filePath = "Threads\\folder " + std::to_string(i % 100) + "\\";
                files[static_cast<std::size_t>(t * 2000 + i)] = std::move(f);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(files[i]->m_filePath.str(), "Threads\\folder " + std::to_string(i % 2000 % 100) + "\\");
    EXPECT_EQ(FolderPath::PoolSize() - before, 100u);
}

// Names of up to 14 bytes are held in the record, longer ones apart; both
// split, copy and move alike, at the border too.
TEST(FileName, ShortAndLongNamesAlike)
{
    for (const std::string& full : std::vector<std::string> {"a.txt", "fourteen.bytes", "fifteen.bytes!!", "twenty-two bytes.jpeg", "twenty-three bytes.jpeg", "photo 2019-06-12 15.30.12.jpeg",
                                                              ".profile", "README", std::string(300, 'x') + ".doc",
                                                              "ünï.çødé"}) {
        FoundFile f;
        f.SetNameUtf8(full);
        const auto dot = full.rfind('.');
        EXPECT_EQ(f.name(), dot == std::string::npos ? full : full.substr(0, dot)) << full;
        EXPECT_EQ(f.suffix(), dot == std::string::npos ? "" : full.substr(dot + 1)) << full;
        EXPECT_EQ(f.FullNameUtf8(), full);
        FoundFile copy = f;
        f.SetNameUtf8("changed.bin");  // the copy keeps its own text
        EXPECT_EQ(copy.FullNameUtf8(), full);
        FoundFile moved = std::move(copy);
        EXPECT_EQ(moved.FullNameUtf8(), full);
        moved.SetNameUtf8(moved.FullNameUtf8());  // set from itself
        EXPECT_EQ(moved.FullNameUtf8(), full);
    }
    FoundFile huge;
    huge.SetNameUtf8(std::string(70000, 'n') + "." + std::string(10, 's'));
    EXPECT_EQ(huge.name().size() + 1 + huge.suffix().size(), 0xFFFFu);  // cut, still split
}

TEST(ExtentList, OneInsideManyOutsideCopiesOwnTheirs)
{
    ExtentList list;
    EXPECT_TRUE(list.empty());
    const std::vector<FileExtent> want {{8, 16, 0}, {0, 8, 2}, {400, 2, 1}, {1000, 24, 0}, {2000, 8, 0}};
    for (const FileExtent& e : want) {
        list.push_back(e);
        list.push_back(list.back());  // from the list itself, also while it grows
        ASSERT_EQ(list.back(), e);
    }
    ASSERT_EQ(list.size(), 2 * want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(list[2 * i], want[i]);

    ExtentList copy = list;
    list.assign(1, {5, 6, 0});
    EXPECT_EQ(copy.size(), 2 * want.size());
    EXPECT_EQ(list, (ExtentList {{5, 6, 0}}));
    ExtentList moved = std::move(copy);
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(moved[9], want[4]);
    moved = moved;
    EXPECT_EQ(moved.size(), 10u);
    moved = ExtentList(want);
    EXPECT_EQ(std::vector<FileExtent>(moved.begin(), moved.end()), want);
    moved.assign(3, moved[1]);  // from the list itself
    EXPECT_EQ(moved, (ExtentList {want[1], want[1], want[1]}));
    moved.clear();
    EXPECT_TRUE(moved.empty());
}

TEST(ResultList, FilesKeepTheirPlaceAsTheListGrows)
{
    ResultList list;
    std::vector<const FoundFile*> places;
    for (int i = 0; i < 10000; ++i) {
        FoundFile f;
        f.SetNameUtf8("file number " + std::to_string(i) + ".txt");  // longer than fits inside
        f.extents = {{static_cast<std::uint64_t>(i), 1, 0}, {7, 1, 0}};
        places.push_back(&list.Append(std::move(f)));
    }
    ASSERT_EQ(list.size(), 10000u);
    std::size_t i = 0;
    for (const FoundFile* f : list) {
        ASSERT_EQ(f, places[i]);
        ASSERT_EQ(f->FullNameUtf8(), "file number " + std::to_string(i) + ".txt");
        ASSERT_EQ(f->extents.front().startSector, i);
        ++i;
    }
    EXPECT_THROW(list.at(10000), std::out_of_range);
    ResultList taken = std::move(list);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(taken.at(9999), places[9999]);
    taken.clear();
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(taken.Append(FoundFile()).extents.size(), 0u);
}
