// The FAT32 and exFAT file readers on the test images, apart from the
// scanners: the found files are made here from the directory entries, read
// straight from the image; the recovered bytes are checked against the
// manifest's sha256.
#include "recover/RecoveryWriter.h"
#include "base/ByteView.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using namespace scan;

namespace {

const std::string kImages = QUENLAR_IMAGE_DIR;

std::map<std::string, std::string> Digests(const std::string& name)
{
    std::map<std::string, std::string> digests;
    std::ifstream in(std::string(QUENLAR_MANIFEST_DIR) + "/" + name + ".manifest.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string path, type, size, digest;
        std::getline(fields, path, '\t');
        std::getline(fields, type, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, digest, '\t');
        digests[path] = digest;
    }
    return digests;
}

std::string Sha256(const fs::path& file)
{
    std::string command = "sha256sum '" + file.string() + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {};
    char digest[65] = {};
    const std::size_t n = std::fread(digest, 1, 64, pipe);
    pclose(pipe);
    return std::string(digest, n);
}

// The image's first sector, decoded here on its own as a check on the
// scanner's decoder.
std::vector<std::uint8_t> BootSector(VolumeScanner& v)
{
    std::vector<std::uint8_t> bytes(512);
    v.ReadSectors(0, bytes.size(), bytes.data());
    return bytes;
}

class ChunkReaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        dest = fs::path(testing::TempDir()) /
               ("fat-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dest);
    }
    void TearDown() override { fs::remove_all(dest); }

    // The bytes of a folder whose clusters follow the FAT from `cluster`.
    std::vector<std::uint8_t> Folder(VolumeScanner& v, std::uint64_t dataStart, std::uint32_t cluster,
                                     std::uint32_t endMark, std::uint32_t mask)
    {
        std::vector<std::uint8_t> bytes;
        for (int guard = 0; cluster >= 2 && cluster < v.m_fat.size() && guard < 1000; ++guard) {
            std::vector<std::uint8_t> one(v.m_sectorsPerCluster * 512);
            v.ReadSectors(dataStart + (std::uint64_t {cluster} - 2) * v.m_sectorsPerCluster, one.size(), one.data());
            bytes.insert(bytes.end(), one.begin(), one.end());
            const std::uint32_t next = v.m_fat[cluster] & mask;
            if (next >= endMark || next < 2)
                break;
            cluster = next;
        }
        return bytes;
    }

    void Recover(VolumeScanner& v, const std::string& name, std::uint64_t startSector, std::uint64_t size,
                 std::uint8_t flag)
    {
        auto f = std::make_unique<FoundFile>();
        f->SetNameUtf8(name);
        f->m_filePath = "";
        f->m_isDirectory = 0;
        f->m_fileSize = size;
        f->m_fileSystemType = v.m_fileSystemType;
        f->extents = {{startSector, v.m_sectorsPerCluster, flag}};
        const std::size_t index = v.AppendResult(std::move(f));
        const auto summary =
            recover::RecoverFiles(v, recover::Selection {{static_cast<std::int64_t>(index)}, {}}, dest.string());
        EXPECT_EQ(summary.succeeded, 1u) << name;
    }

    fs::path dest;
};

}  // namespace

TEST_F(ChunkReaders, Fat32ChainsAndDeletedFiles)
{
    VolumeScanner v;
    ASSERT_EQ(v.Open(kImages + "/fat32.img"), kOpenOk);
    const std::vector<std::uint8_t> sector0 = BootSector(v);
    const ByteView boot(sector0.data(), sector0.size());
    const std::uint64_t dataStart = boot.U16(0x0E) + std::uint64_t {boot.U8(0x10)} * boot.U32(0x24);
    auto sectorOf = [&](std::uint32_t c) { return dataStart + (std::uint64_t {c} - 2) * v.m_sectorsPerCluster; };
    auto entries = [&](const std::vector<std::uint8_t>& folder, auto&& each) {
        const ByteView view(folder.data(), folder.size());
        for (std::size_t at = 0; at + 32 <= folder.size(); at += 32) {
            if (view.U8(at) == 0 || view.U8(at + 11) == 0x0F)
                continue;
            const std::uint32_t cluster = (std::uint32_t {view.U16(at + 0x14)} << 16) | view.U16(at + 0x1A);
            each(std::string(reinterpret_cast<const char*>(folder.data() + at), 11), cluster, view.U32(at + 0x1C));
        }
    };
    const auto digests = Digests("fat32");
    std::uint32_t trash = 0;
    entries(Folder(v, dataStart, boot.U32(0x2C), 0x0FFFFFF8, 0x0FFFFFFF), [&](const std::string& n, std::uint32_t c,
                                                                              std::uint32_t size) {
        if (n == "README  TXT")
            Recover(v, "readme.txt", sectorOf(c), size, 0);
        if (size == 1234)  // the long name, several clusters in a chain
            Recover(v, "long.txt", sectorOf(c), size, 0);
        if (n == "TRASH      ")
            trash = c;
    });
    EXPECT_EQ(Sha256(dest / "readme.txt"), digests.at("readme.txt"));
    EXPECT_EQ(Sha256(dest / "long.txt"), digests.at("a very long file name that needs many long name entries.txt"));

    // Deleted: the chain is freed, the file is read as one run from its start.
    ASSERT_NE(trash, 0u);
    entries(Folder(v, dataStart, trash, 0x0FFFFFF8, 0x0FFFFFFF), [&](const std::string& n, std::uint32_t c,
                                                                      std::uint32_t size) {
        if (n == "\xE5ONE    JPG")
            Recover(v, "gone.jpg", sectorOf(c), size, 0);
    });
    EXPECT_EQ(Sha256(dest / "gone.jpg"), digests.at("Trash/gone.jpg"));
}

TEST_F(ChunkReaders, ExfatContiguousAndChainedFiles)
{
    VolumeScanner v;
    ASSERT_EQ(v.Open(kImages + "/exfat.img"), kOpenOk);
    const std::vector<std::uint8_t> sector0 = BootSector(v);
    const ByteView boot(sector0.data(), sector0.size());
    const std::uint64_t heap = boot.U32(0x58);
    auto sectorOf = [&](std::uint32_t c) { return heap + (std::uint64_t {c} - 2) * v.m_sectorsPerCluster; };
    // Each file's entry set: the stream extension entry (0xC0) carries the
    // flags, first cluster and size; the name entries (0xC1) follow it.
    auto sets = [&](const std::vector<std::uint8_t>& folder, auto&& each) {
        const ByteView view(folder.data(), folder.size());
        for (std::size_t at = 0; at + 64 <= folder.size(); at += 32) {
            if ((view.U8(at) & 0x7F) != 0x40)
                continue;
            std::u16string name;
            for (std::size_t e = at + 32; e + 32 <= folder.size() && (view.U8(e) & 0x7F) == 0x41; e += 32) {
                for (std::size_t k = 0; k < 15; ++k)
                    name += static_cast<char16_t>(view.U16(e + 2 + 2 * k));
            }
            name.resize(view.U8(at + 3));
            each(name, view.U8(at + 1), view.U32(at + 20), view.U64(at + 24));
        }
    };
    const auto digests = Digests("exfat");
    std::uint32_t big = 0;
    sets(Folder(v, heap, boot.U32(0x60), 0xFFFFFFF8, 0xFFFFFFFF), [&](const std::u16string& name, std::uint8_t flags,
                                                                       std::uint32_t c, std::uint64_t size) {
        if (name == u"readme.txt")
            Recover(v, "readme.txt", sectorOf(c), size, (flags & 2) ? 0 : 1);
        if (name == u"big")
            big = c;
    });
    EXPECT_EQ(Sha256(dest / "readme.txt"), digests.at("readme.txt"));
    ASSERT_NE(big, 0u);
    bool chained = false;
    sets(Folder(v, heap, big, 0xFFFFFFF8, 0xFFFFFFFF), [&](const std::u16string& name, std::uint8_t flags,
                                                          std::uint32_t c, std::uint64_t size) {
        if (name == u"fragmented.bin") {
            chained = (flags & 2) == 0;
            Recover(v, "fragmented.bin", sectorOf(c), size, chained ? 1 : 0);
        }
    });
    EXPECT_TRUE(chained);  // written in turns with another file: no contiguous run
    EXPECT_EQ(Sha256(dest / "fragmented.bin"), digests.at("big/fragmented.bin"));
}
