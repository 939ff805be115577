// The file-content readers and the LZNT1 decoder: holes, valid sizes,
// compression units of each kind, FAT chains that loop or break, and
// unreadable sectors, on volumes held in memory.
#include "search/Scans.h"
#include "volume/FileContent.h"
#include "ntfs/Lznt1.h"
#include "platform/BlockDevice.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

using namespace scan;

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> v;
    for (const int x : values)
        v.push_back(static_cast<std::uint8_t>(x));
    return v;
}

// An LZNT1 chunk that holds `data` (at most 4096 bytes) as it is.
std::vector<std::uint8_t> StoredChunk(const std::vector<std::uint8_t>& data)
{
    const std::size_t header = 0x3000 | (data.size() - 1);
    std::vector<std::uint8_t> chunk {static_cast<std::uint8_t>(header), static_cast<std::uint8_t>(header >> 8)};
    chunk.insert(chunk.end(), data.begin(), data.end());
    return chunk;
}

// A volume of `sectors` sectors whose byte i is i * 7 + (i >> 9) (so that
// every sector differs), with 4 KiB clusters.
class MemoryVolume {
public:
    explicit MemoryVolume(std::size_t sectors) : bytes(sectors * 512)
    {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    }

    platform::MemoryDevice& Open()
    {
        auto device = std::make_unique<platform::MemoryDevice>(bytes);
        platform::MemoryDevice& raw = *device;
        volume.Open(std::move(device), "memory");
        volume.m_sectorsPerCluster = 8;
        volume.m_volumeSize = bytes.size() / 512;
        return raw;
    }

    std::vector<std::uint8_t> At(std::uint64_t sector, std::size_t length) const
    {
        return {bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512),
                bytes.begin() + static_cast<std::ptrdiff_t>(sector * 512 + length)};
    }

    std::vector<std::uint8_t> bytes;
    VolumeScanner volume;
};

FoundFile NtfsFile(std::uint64_t size, std::vector<FileExtent> extents)
{
    FoundFile f;
    f.m_fileSystemType = kNtfs;
    f.m_isDirectory = 0;
    f.m_fileSize = size;
    f.extents = std::move(extents);
    return f;
}

std::vector<std::uint8_t> ReadAll(FileContentReader& reader, std::size_t step = 1 << 20)
{
    std::vector<std::uint8_t> out;
    std::vector<std::uint8_t> buffer(step);
    for (std::uint64_t at = 0; at < reader.Size();) {
        const std::size_t got = reader.Read(at, buffer.data(), buffer.size());
        if (got == 0)
            break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
        at += got;
    }
    return out;
}

}  // namespace

TEST(Lznt1, ThePublishedExampleAndStoredChunks)
{
    // The example of the published LZNT1 description: 59 bytes in one chunk
    // that decode to a 142-byte text, references reaching into their own
    // output included.
    const std::vector<std::uint8_t> in = Bytes(
        {0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00, 0x10, 0xa2, 0x47, 0x01, 0xa0, 0x45, 0x20,
         0x44, 0x00, 0x08, 0x45, 0x01, 0x50, 0x79, 0x00, 0xc0, 0x45, 0x20, 0x05, 0x24, 0x13, 0x88, 0x05, 0xb4, 0x02, 0x4a,
         0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09, 0x16, 0x01, 0x48, 0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18,
         0x90, 0x00});
    const std::string text = "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# D "
                             "E F# G F# E D E A F# F# G A A G F# E D D E F# E D D";
    std::vector<std::uint8_t> out(8192, 0xEE);
    bool damaged = true;
    EXPECT_EQ(DecompressLznt1(in.data(), in.size(), out.data(), out.size(), damaged), kLznt1ChunkBytes);
    EXPECT_FALSE(damaged);
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(text.size())), text);
    // The rest of the chunk is zeros (the text's NUL among them); the
    // output after the chunk is left alone.
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(text.size()), out.begin() + 4096,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(out[4096], 0xEE);

    // Two stored chunks, then the end marker.
    std::vector<std::uint8_t> a(4096), b(100);
    std::iota(a.begin(), a.end(), std::uint8_t {1});
    std::iota(b.begin(), b.end(), std::uint8_t {9});
    std::vector<std::uint8_t> stream = StoredChunk(a);
    const auto second = StoredChunk(b);
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), {0, 0, 0x55, 0x55});
    std::fill(out.begin(), out.end(), 0xEE);
    EXPECT_EQ(DecompressLznt1(stream.data(), stream.size(), out.data(), out.size(), damaged), 8192u);
    EXPECT_FALSE(damaged);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), out.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), out.begin() + 4096));
    EXPECT_EQ(out[4096 + 100], 0);

    // The output ends where it is full, whatever the stream holds.
    std::vector<std::uint8_t> small(1000);
    EXPECT_EQ(DecompressLznt1(stream.data(), stream.size(), small.data(), small.size(), damaged), 1000u);
    EXPECT_FALSE(damaged);
}

TEST(Lznt1, DamagedStreamsStopWhereTheyBreak)
{
    std::vector<std::uint8_t> out(4096);
    bool damaged = false;
    // A reference as the first token: nothing to refer to.
    auto in = Bytes({0x03, 0xB0, 0x01, 0x00, 0x10});
    DecompressLznt1(in.data(), in.size(), out.data(), out.size(), damaged);
    EXPECT_TRUE(damaged);
    // A reference further back than the chunk's output: literal 'A', then
    // distance 16.
    in = Bytes({0x04, 0xB0, 0x02, 'A', 0x00, 0xF0});
    DecompressLznt1(in.data(), in.size(), out.data(), out.size(), damaged);
    EXPECT_TRUE(damaged);
    EXPECT_EQ(out[0], 'A');
    // A chunk that says it is longer than what there is.
    in = Bytes({0xFF, 0xBF, 0x00, 'x', 'y'});
    DecompressLznt1(in.data(), in.size(), out.data(), out.size(), damaged);
    EXPECT_TRUE(damaged);
    EXPECT_EQ(out[1], 'y');
    // A reference cut off after its first byte.
    in = Bytes({0x02, 0xB0, 0x02, 'A', 0x00});
    DecompressLznt1(in.data(), in.size(), out.data(), out.size(), damaged);
    EXPECT_TRUE(damaged);
    // Nothing at all, or only the end marker: no output, no damage.
    EXPECT_EQ(DecompressLznt1(nullptr, 0, out.data(), out.size(), damaged), 0u);
    EXPECT_FALSE(damaged);
}

TEST(FileContent, NtfsHolesAndTheValidSize)
{
    MemoryVolume m(256);
    m.Open();
    // 4 KiB of data at sector 16, a hole of 8 KiB, 4 KiB at sector 64.
    FoundFile f = NtfsFile(14000, {{16, 8, kExtentPlain}, {0, 16, kExtentHole}, {64, 8, kExtentPlain}});
    auto reader = OpenFileContent(m.volume, f);
    std::vector<std::uint8_t> got = ReadAll(*reader, 3000);  // reads that cross every boundary
    ASSERT_EQ(got.size(), 14000u);
    std::vector<std::uint8_t> expected = m.At(16, 4096);
    expected.resize(4096 + 8192, 0);
    const auto tail = m.At(64, 14000 - expected.size());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reader->Report().faults, 0u);

    // Past the bytes written so far the file reads as zeros, whatever its
    // clusters hold.
    f.m_validSize = 1000;
    reader = OpenFileContent(m.volume, f);
    got = ReadAll(*reader);
    ASSERT_EQ(got.size(), 14000u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 1000, expected.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + 1000, got.end(), [](std::uint8_t b) { return b == 0; }));

    // Runs that end before the file does: what there is, and why not more.
    f = NtfsFile(20000, {{16, 8, kExtentPlain}});
    reader = OpenFileContent(m.volume, f);
    EXPECT_EQ(ReadAll(*reader).size(), 4096u);
    EXPECT_EQ(reader->Report().faults, kFaultDataEnds);

    // An encrypted file gives nothing and says so.
    f = NtfsFile(100, {{16, 8, kExtentPlain}});
    f.m_encoding = kEncrypted;
    reader = OpenFileContent(m.volume, f);
    std::uint8_t byte = 0;
    EXPECT_EQ(reader->Read(0, &byte, 1), 0u);
    EXPECT_EQ(reader->Report().faults, kFaultEncrypted);
}

TEST(FileContent, CompressionUnitsOfEachKind)
{
    // Units of 4 clusters (16 KiB). Unit 0: 4 clusters allocated, stored as
    // they are. Unit 1: two clusters, then a sparse tail: an LZNT1 stream.
    // Unit 2: all sparse, zeros. Unit 3: the file's end, stored.
    MemoryVolume m(512);
    std::vector<std::uint8_t> plain(4096);
    std::iota(plain.begin(), plain.end(), std::uint8_t {3});
    std::vector<std::uint8_t> stream = StoredChunk(plain);
    stream.insert(stream.end(), {0, 0});
    std::copy(stream.begin(), stream.end(), m.bytes.begin() + 200 * 512);
    m.Open();
    FoundFile f = NtfsFile(3 * 16384 + 5000, {{16, 32, kExtentPlain},
                                              {200, 16, kExtentPlain},
                                              {0, 16, kExtentHole},
                                              {0, 32, kExtentHole},
                                              {300, 32, kExtentPlain}});
    f.m_encoding = kLznt1;
    f.m_compressionUnit = 2;
    auto reader = OpenFileContent(m.volume, f);
    const std::vector<std::uint8_t> got = ReadAll(*reader, 10000);
    ASSERT_EQ(got.size(), f.m_fileSize);
    std::vector<std::uint8_t> expected = m.At(16, 16384);
    expected.insert(expected.end(), plain.begin(), plain.end());
    expected.resize(2 * 16384 + 16384, 0);  // the rest of unit 1, and unit 2
    const auto last = m.At(300, 5000);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reader->Report().faults, 0u);

    // A unit whose stream does not decode: what decoded stays, the rest is
    // zeros, and the file is reported damaged.
    m.bytes[200 * 512 + 1] = 0xBF;  // the chunk now claims 4096 bytes of tokens
    m.bytes[200 * 512] = 0xFF;
    m.Open();
    reader = OpenFileContent(m.volume, f);
    EXPECT_EQ(ReadAll(*reader).size(), f.m_fileSize);
    EXPECT_NE(reader->Report().faults & kFaultDamagedCompression, 0u);
}

TEST(FileContent, UnreadableSectorsAreZeroFilledAndCounted)
{
    MemoryVolume m(256);
    platform::MemoryDevice& device = m.Open();
    device.FailRange(20 * 512, 22 * 512, platform::ReadStatus::Error);
    FoundFile f = NtfsFile(8 * 512, {{16, 8, kExtentPlain}});
    auto reader = OpenFileContent(m.volume, f);
    const std::vector<std::uint8_t> got = ReadAll(*reader);
    ASSERT_EQ(got.size(), 4096u);
    std::vector<std::uint8_t> expected = m.At(16, 4096);
    std::fill(expected.begin() + 4 * 512, expected.begin() + 6 * 512, 0);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(reader->Report().unreadableSectors, 2u);
    EXPECT_EQ(reader->Report().faults, kFaultUnreadable);

    // A medium that goes away ends the file there.
    device.FailRange(18 * 512, 19 * 512, platform::ReadStatus::MediumGone);
    reader = OpenFileContent(m.volume, f);
    EXPECT_LT(ReadAll(*reader).size(), 4096u);
    EXPECT_NE(reader->Report().faults & kFaultMediumGone, 0u);
}

TEST(FileContent, FatChainsAreResolvedOnceAndEndAtLoops)
{
    // A FAT32 volume of 4 KiB clusters whose data begins at sector 64.
    MemoryVolume m(64 + 8 * 40);
    m.Open();
    m.volume.m_fileSystemType = kFat32;
    m.volume.m_fat32.firstDataSector = 64;
    m.volume.m_fat.assign(40, 0);
    auto chain = [&](std::initializer_list<std::uint32_t> clusters) {
        std::uint32_t previous = 0;
        for (const std::uint32_t c : clusters) {
            if (previous != 0)
                m.volume.m_fat[previous] = c;
            previous = c;
        }
        m.volume.m_fat[previous] = 0x0FFFFFFF;
    };
    auto sectorOf = [](std::uint32_t c) { return 64 + (std::uint64_t {c} - 2) * 8; };
    FoundFile f;
    f.m_fileSystemType = kFat32;
    f.m_isDirectory = 0;

    // Clusters 5, 6, 7, then 10, 11: two runs.
    chain({5, 6, 7, 10, 11});
    f.m_fileSize = 5 * 4096 - 100;
    f.extents = {{sectorOf(5), 8, 0}};
    auto reader = OpenFileContent(m.volume, f);
    std::vector<std::uint8_t> expected = m.At(sectorOf(5), 3 * 4096);
    auto more = m.At(sectorOf(10), 2 * 4096 - 100);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(ReadAll(*reader, 5000), expected);
    EXPECT_EQ(reader->Report().faults, 0u);

    // A chain that comes back to itself ends there.
    chain({20, 21, 22});
    m.volume.m_fat[22] = 21;
    f.m_fileSize = 10 * 4096;
    f.extents = {{sectorOf(20), 8, 0}};
    reader = OpenFileContent(m.volume, f);
    EXPECT_EQ(ReadAll(*reader).size(), 3 * 4096u);
    EXPECT_EQ(reader->Report().faults, kFaultDataEnds);

    // A chain shorter than the file.
    chain({30, 31});
    f.m_fileSize = 3 * 4096;
    f.extents = {{sectorOf(30), 8, 0}};
    reader = OpenFileContent(m.volume, f);
    EXPECT_EQ(ReadAll(*reader).size(), 2 * 4096u);
    EXPECT_EQ(reader->Report().faults, kFaultDataEnds);

    // A deleted file, its chain freed: one run from its first cluster.
    f.m_fileSize = 3 * 4096;
    f.extents = {{sectorOf(33), 8, 0}};
    reader = OpenFileContent(m.volume, f);
    EXPECT_EQ(ReadAll(*reader), m.At(sectorOf(33), 3 * 4096));
    EXPECT_EQ(reader->Report().faults, 0u);

    // A folder has no contents to give.
    f.m_isDirectory = 1;
    reader = OpenFileContent(m.volume, f);
    EXPECT_EQ(reader->Report().faults, kFaultNoData);
}
