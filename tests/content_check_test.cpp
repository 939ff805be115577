// The content check of each kind, on well-formed files and on the ways they
// come back broken; the SHA-256 of the receipts; the cluster map; and how a
// verdict follows from the evidence.
#include "base/Sha256.h"
#include "filetypes/CarveEnd.h"
#include "filetypes/CarveName.h"
#include "filetypes/ContentCheck.h"
#include "found/FoundFile.h"
#include "volume/ClusterMap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using filetypes::CheckResult;
using filetypes::ContentKind;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

void Append(Bytes& to, const Bytes& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

void Be32(Bytes& to, std::uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        to.push_back(static_cast<std::uint8_t>(v >> s));
}

void Le(Bytes& to, std::uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        to.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes Filler(std::size_t n, std::uint8_t seed)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>((i * 7 + seed) % 0xF0);  // never 0xFF
    return b;
}

CheckResult Check(ContentKind kind, const Bytes& file, std::size_t readable = ~std::size_t {0})
{
    return filetypes::CheckContent(kind, file.size(), [&](std::uint64_t offset, std::uint8_t* out, std::size_t length) {
        const std::size_t end = std::min(file.size(), readable);
        if (offset >= end)
            return std::size_t {0};
        const std::size_t n = std::min<std::size_t>(length, end - offset);
        std::memcpy(out, file.data() + offset, n);
        return n;
    });
}

Bytes Jpeg(std::size_t scan)
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
    Append(b, Of("JFIF"));
    Append(b, Bytes(10, 0));
    Append(b, {0xFF, 0xDA, 0x00, 0x08, 1, 2, 3, 4, 5, 6});
    Append(b, Filler(scan, 1));
    Append(b, {0xFF, 0xD9});
    return b;
}

Bytes PngChunk(const char* type, const Bytes& data)
{
    Bytes b;
    Be32(b, static_cast<std::uint32_t>(data.size()));
    Bytes typed = Of(type);
    Append(typed, data);
    Append(b, typed);
    Be32(b, filetypes::Crc32(typed.data(), typed.size()));
    return b;
}

Bytes Png(std::size_t data)
{
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Append(b, PngChunk("IHDR", Bytes(13, 1)));
    Append(b, PngChunk("IDAT", Filler(data, 2)));
    Append(b, PngChunk("IEND", {}));
    return b;
}

// A stored ZIP of `entries` files of `size` bytes each.
Bytes Zip(int entries, std::size_t size)
{
    Bytes b, directory;
    for (int i = 0; i < entries; ++i) {
        const std::uint32_t at = static_cast<std::uint32_t>(b.size());
        Le(b, 0x04034b50, 4);
        Le(b, 20, 2), Le(b, 0, 2), Le(b, 0, 2), Le(b, 0, 4), Le(b, 0, 4);
        Le(b, size, 4), Le(b, size, 4), Le(b, 1, 2), Le(b, 0, 2);
        b.push_back(static_cast<std::uint8_t>('a' + i));
        Append(b, Filler(size, static_cast<std::uint8_t>(i)));
        Le(directory, 0x02014b50, 4);
        Append(directory, Bytes(24, 0));
        Le(directory, 1, 2), Le(directory, 0, 2), Le(directory, 0, 2), Le(directory, 0, 2), Le(directory, 0, 2);
        Le(directory, 0, 4), Le(directory, at, 4);
        directory.push_back(static_cast<std::uint8_t>('a' + i));
    }
    const std::uint32_t dirAt = static_cast<std::uint32_t>(b.size());
    Append(b, directory);
    Le(b, 0x06054b50, 4);
    Le(b, 0, 4), Le(b, entries, 2), Le(b, entries, 2);
    Le(b, directory.size(), 4), Le(b, dirAt, 4), Le(b, 0, 2);
    return b;
}

Bytes Box(const char* type, const Bytes& body)
{
    Bytes b;
    Be32(b, static_cast<std::uint32_t>(8 + body.size()));
    Append(b, Of(type));
    Append(b, body);
    return b;
}

Bytes Ole()
{
    Bytes b = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    b.resize(512, 0);
    b[28] = 0xFE, b[29] = 0xFF, b[30] = 9, b[32] = 6;
    b[48] = 1;  // the directory in sector 1, at 1024
    b.resize(1024, 0);
    for (const char c : std::string("Root Entry"))
        Le(b, static_cast<std::uint8_t>(c), 2);
    b.resize(1024 + 66, 0);
    b.push_back(5);
    b.resize(1536, 0);
    return b;
}

// Overwrites `bytes` with other data from `at` on (the clusters another file
// took).
Bytes Taken(Bytes bytes, std::size_t at)
{
    for (std::size_t i = at; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13);
    return bytes;
}

}  // namespace

TEST(ContentCheck, WellFormedFilesPass)
{
    EXPECT_EQ(Check(ContentKind::kJpeg, Jpeg(100000)), CheckResult::kPasses);
    Bytes padded = Jpeg(100);
    padded.resize(padded.size() + 100, 0);  // zeros a writer left after EOI
    EXPECT_EQ(Check(ContentKind::kJpeg, padded), CheckResult::kPasses);
    EXPECT_EQ(Check(ContentKind::kPng, Png(50000)), CheckResult::kPasses);
    Bytes gif = Of("GIF89a");
    Append(gif, {16, 0, 16, 0});
    Append(gif, Filler(300, 3));
    gif.push_back(0x3B);
    EXPECT_EQ(Check(ContentKind::kGif, gif), CheckResult::kPasses);
    Bytes pdf = Of("%PDF-1.7\n");
    Append(pdf, Filler(70000, 4));
    Append(pdf, Of("\n%%EOF\n"));
    EXPECT_EQ(Check(ContentKind::kPdf, pdf), CheckResult::kPasses);
    EXPECT_EQ(Check(ContentKind::kZip, Zip(6, 9000)), CheckResult::kPasses);
    Bytes mp4 = Box("ftyp", Of("isom0000"));
    Append(mp4, Box("mdat", Filler(40000, 5)));
    Append(mp4, Box("moov", Filler(300, 6)));
    EXPECT_EQ(Check(ContentKind::kMp4, mp4), CheckResult::kPasses);
    EXPECT_EQ(Check(ContentKind::kOle, Ole()), CheckResult::kPasses);

    EXPECT_EQ(filetypes::CheckableKind("JPG"), ContentKind::kJpeg);
    EXPECT_EQ(filetypes::CheckableKind("docx"), ContentKind::kZip);
    EXPECT_EQ(filetypes::CheckableKind("txt"), ContentKind::kNone);
    EXPECT_EQ(Check(ContentKind::kNone, pdf), CheckResult::kNotCheckable);
    EXPECT_EQ(Check(ContentKind::kJpeg, Bytes {0xFF, 0xD8}), CheckResult::kNotCheckable);  // too small to say
}

TEST(ContentCheck, OtherDataAtTheStartOrTheEndIsCaught)
{
    // Its first cluster taken: it no longer begins as its kind.
    EXPECT_EQ(Check(ContentKind::kJpeg, Taken(Jpeg(9000), 0)), CheckResult::kFailsAtStart);
    EXPECT_EQ(Check(ContentKind::kPng, Taken(Png(9000), 0)), CheckResult::kFailsAtStart);
    EXPECT_EQ(Check(ContentKind::kZip, Taken(Zip(3, 3000), 0)), CheckResult::kFailsAtStart);
    EXPECT_EQ(Check(ContentKind::kOle, Taken(Ole(), 0)), CheckResult::kFailsAtStart);
    Bytes mp4 = Box("ftyp", Of("isom0000"));
    Append(mp4, Box("moov", Filler(3000, 6)));
    EXPECT_EQ(Check(ContentKind::kMp4, Taken(mp4, 0)), CheckResult::kFailsAtStart);
    // Its last clusters taken: it begins well and ends wrong.
    EXPECT_EQ(Check(ContentKind::kJpeg, Taken(Jpeg(90000), 40000)), CheckResult::kFailsLater);
    EXPECT_EQ(Check(ContentKind::kPng, Taken(Png(90000), 40000)), CheckResult::kFailsLater);
    EXPECT_EQ(Check(ContentKind::kZip, Taken(Zip(3, 30000), 40000)), CheckResult::kFailsLater);
    Bytes movie = Box("ftyp", Of("isom0000"));
    Append(movie, Box("mdat", Filler(40000, 5)));
    Append(movie, Box("moov", Filler(300, 6)));
    EXPECT_EQ(Check(ContentKind::kMp4, Taken(movie, 20000)), CheckResult::kFailsLater);
    EXPECT_EQ(Check(ContentKind::kOle, Taken(Ole(), 1024)), CheckResult::kFailsLater);
    // A chunk of the head whose CRC does not match: the head itself was hit.
    Bytes png = Png(4000);
    png[40] ^= 1;
    EXPECT_EQ(Check(ContentKind::kPng, png), CheckResult::kFailsLater);
    // A ZIP whose second local header is not where the first says.
    Bytes zip = Zip(3, 500);
    zip[30 + 1 + 500] = 0;
    EXPECT_EQ(Check(ContentKind::kZip, zip), CheckResult::kFailsLater);
    // A file whose data ends before its size reads short: it fails.
    EXPECT_EQ(Check(ContentKind::kPdf, Of("%PDF-1.4\n" + std::string(9000, 'x') + "%%EOF"), 5000),
              CheckResult::kFailsLater);
}

TEST(Sha256, KnownDigestsInAnyPieces)
{
    auto hex = [](std::string_view text, std::size_t piece) {
        base::Sha256 h;
        for (std::size_t at = 0; at < text.size(); at += piece)
            h.Add(text.data() + at, std::min(piece, text.size() - at));
        return h.FinishHex();
    };
    EXPECT_EQ(hex("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (const std::size_t piece : {1, 7, 55, 56, 64, 1000})
        EXPECT_EQ(hex(two, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1") << piece;
    EXPECT_EQ(hex(std::string(1000000, 'a'), 4096),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ClusterMap, CountsWhatIsInUseAnywhereInARange)
{
    std::vector<std::uint8_t> bits(40, 0);
    for (const std::size_t c : {0, 63, 64, 65, 200, 319})
        bits[c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
    scan::ClusterMap map;
    map.Assign(bits, 300, 2048, 8);  // 300 clusters of the 320 bits
    EXPECT_EQ(map.ClusterOf(2048 + 8 * 5 + 3), 5u);
    EXPECT_EQ(map.ClusterOf(100), 300u);  // before the first cluster
    EXPECT_EQ(map.CountInUse(0, 300), 5u);
    EXPECT_EQ(map.CountInUse(1, 62), 0u);
    EXPECT_EQ(map.CountInUse(63, 3), 3u);
    EXPECT_EQ(map.CountInUse(60, 150), 4u);
    // Of clusters past those the map knows nothing is known.
    EXPECT_EQ(map.CountInUse(290, 40), 0u);
    EXPECT_EQ(map.CountInUse(1000, 4), 0u);
    EXPECT_FALSE(map.InUse(319));
}

TEST(Evidence, TheVerdictFollowsFromIt)
{
    using namespace scan;
    auto judge = [](ExistType state, std::uint32_t taken, std::uint32_t shared, std::uint8_t content,
                    std::uint8_t flags, std::uint64_t clusters) {
        FoundFile f;
        f.SetNameUtf8("photo.jpg");
        f.m_isDirectory = kKindFile;
        f.m_existType = state;
        f.m_fileSize = clusters * 4096;
        f.extents = {{100, clusters * 8, kExtentPlain}};
        f.m_evidence.taken = taken;
        f.m_evidence.shared = shared;
        f.m_evidence.content = content;
        f.m_evidence.flags = kEvidenceAssessed | flags;
        return VerdictName(JudgeEvidence(f, clusters));
    };
    const std::string intact = "intact", likely = "likely", partial = "partial", overwritten = "overwritten",
                      unknown = "unknown";
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentPasses, 0, 10), intact);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentNotChecked, 0, 10), likely);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentNotCheckable, 0, 10), likely);
    EXPECT_EQ(judge(kExistDeleted, 1, 0, kContentPasses, 0, 10), partial);  // a taken cluster outweighs a good check
    EXPECT_EQ(judge(kExistDeleted, 0, 3, kContentNotChecked, 0, 10), partial);
    EXPECT_EQ(judge(kExistDeleted, 9, 0, kContentNotChecked, 0, 10), overwritten);  // nearly all
    EXPECT_EQ(judge(kExistLost, 2, 8, kContentNotChecked, 0, 10), overwritten);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentFailsAtStart, 0, 10), overwritten);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentFailsLater, 0, 10), partial);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentPasses, kEvidencePastDevice, 10), partial);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentNotChecked, kEvidenceDataShort, 10), partial);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentNotChecked, kEvidenceNoAllocation, 10), unknown);
    EXPECT_EQ(judge(kExistDeleted, 0, 0, kContentPasses, kEvidenceNoAllocation, 10), intact);
    // The same clusters as the live file of its name: not taken by another.
    EXPECT_EQ(judge(kExistLost, 10, 0, kContentNotChecked, kEvidenceSameAsLive, 10), likely);
    // A file in use: its clusters in use are its own, and a failed check
    // tells nothing of whether recovery gives back what it holds.
    EXPECT_EQ(judge(kExistInUse, 0, 0, kContentFailsAtStart, 0, 10), likely);
    EXPECT_EQ(judge(kExistInUse, 0, 0, kContentPasses, 0, 10), intact);
    EXPECT_EQ(judge(kExistInUse, 0, 4, kContentPasses, 0, 10), partial);  // cross-linked
    std::uint8_t v = 0;
    EXPECT_TRUE(VerdictFromName("overwritten", v));
    EXPECT_EQ(v, kVerdictOverwritten);
    EXPECT_FALSE(VerdictFromName("Intact", v));
}

// ---- Where a file found by its content ends ---------------------------------

namespace {

using filetypes::CarveKind;
using filetypes::EndFinder;

// Feeds `file` and then `after` (what followed it on the volume) in pieces of
// `piece` bytes.
EndFinder Follow(CarveKind kind, const Bytes& file, const Bytes& after, std::size_t piece,
                 std::uint64_t limit = std::uint64_t {1} << 30)
{
    Bytes all = file;
    Append(all, after);
    EndFinder finder(kind, limit);
    for (std::size_t at = 0; at < all.size(); at += piece)
        finder.Feed(all.data() + at, std::min(piece, all.size() - at));
    finder.Finish();
    return finder;
}

// A JPEG whose APP1 holds a thumbnail JPEG (with its own EOI), whose scan
// holds stuffed bytes and a restart marker, and with a second scan after
// tables (as progressive files have).
Bytes JpegWithThumbnail()
{
    const Bytes thumbnail = Jpeg(40);
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE1};
    const std::size_t app1 = 2 + 6 + thumbnail.size();
    b.push_back(static_cast<std::uint8_t>(app1 >> 8));
    b.push_back(static_cast<std::uint8_t>(app1));
    Append(b, Of("Exif"));
    Append(b, {0, 0});
    Append(b, thumbnail);
    Append(b, {0xFF, 0xDA, 0x00, 0x08, 1, 2, 3, 4, 5, 6});
    Append(b, Filler(300, 3));
    Append(b, {0xFF, 0x00, 0x12, 0xFF, 0xD3, 0x34});
    Append(b, {0xFF, 0xC4, 0x00, 0x04, 9, 9});  // tables between scans
    Append(b, {0xFF, 0xFF, 0xDA, 0x00, 0x08, 1, 2, 3, 4, 5, 6});  // a fill byte before the marker
    Append(b, Filler(500, 4));
    Append(b, {0xFF, 0xD9});
    return b;
}

Bytes Gif()
{
    Bytes b = Of("GIF89a");
    Append(b, {16, 0, 16, 0, 0x81, 0, 0});       // screen, a global table of 4 colors
    Append(b, Filler(12, 5));
    Append(b, {0x21, 0xF9, 4, 0, 0, 0, 0, 0});    // a graphic control extension
    Append(b, {0x2C, 0, 0, 0, 0, 16, 0, 16, 0, 0x80});  // an image with a local table of 2 colors
    Append(b, Filler(6, 6));
    b.push_back(2);                               // LZW code size
    for (int block = 0; block < 3; ++block) {
        b.push_back(200);
        Append(b, Filler(200, static_cast<std::uint8_t>(block)));
    }
    b.push_back(0);
    b.push_back(0x3B);
    return b;
}

Bytes Bmp(std::size_t pixels)
{
    Bytes b = Of("BM");
    Le(b, 54 + pixels, 4), Le(b, 0, 4), Le(b, 54, 4), Le(b, 40, 4);
    Append(b, Bytes(36, 0));
    Append(b, Filler(pixels, 7));
    return b;
}

Bytes Wav(std::size_t samples)
{
    Bytes b = Of("RIFF");
    Le(b, 4 + 8 + samples, 4);
    Append(b, Of("WAVEdata"));
    Le(b, samples, 4);
    Append(b, Filler(samples, 8));
    if (samples % 2 != 0)
        b.push_back(0);  // the pad byte of an odd chunk
    return b;
}

Bytes Mp4()
{
    Bytes b = Box("ftyp", Of("isom\0\0\0\x01isomavc1"));
    Append(b, Box("moov", Box("mvhd", Bytes(100, 0))));
    Append(b, Box("free", {}));
    // The media data in a box of 64-bit size.
    Be32(b, 1);
    Append(b, Of("mdat"));
    Be32(b, 0), Be32(b, 16 + 3000);
    Append(b, Filler(3000, 9));
    return b;
}

Bytes Sqlite(std::uint32_t pages)
{
    Bytes b = Of("SQLite format 3");
    b.push_back(0);
    b.push_back(0x04), b.push_back(0x00);  // 1024-byte pages
    Append(b, Bytes(6, 1));
    Be32(b, 7);       // change counter
    Be32(b, pages);   // page count
    Append(b, Bytes(60, 0));
    Be32(b, 7);       // the count is valid for change 7
    Append(b, Filler(pages * 1024 - b.size(), 10));
    return b;
}

// A ZIP as streaming writers make it: each entry's sizes in a descriptor
// after its data (whose bytes hold "PK" that begins no record), and an
// archive comment.
Bytes StreamedZip()
{
    Bytes b;
    for (int i = 0; i < 2; ++i) {
        Le(b, 0x04034b50, 4);
        Le(b, 20, 2), Le(b, 8, 2), Le(b, 0, 2), Le(b, 0, 4), Le(b, 0, 4);
        Le(b, 0, 4), Le(b, 0, 4), Le(b, 5, 2), Le(b, 0, 2);
        Append(b, Of("a.txt"));
        Append(b, Filler(700, static_cast<std::uint8_t>(i)));
        Append(b, Of("PKPK\x03"));
        Append(b, Filler(300, 3));
        Le(b, 0x08074b50, 4), Le(b, 0, 4), Le(b, 1005, 4), Le(b, 1005, 4);
    }
    for (int i = 0; i < 2; ++i) {
        Le(b, 0x02014b50, 4);
        Append(b, Bytes(24, 0));
        Le(b, 5, 2), Le(b, 0, 2), Le(b, 3, 2), Le(b, 0, 2), Le(b, 0, 2), Le(b, 0, 4), Le(b, 0, 4);
        Append(b, Of("a.txtxyz"));
    }
    Le(b, 0x06054b50, 4);
    Append(b, Bytes(16, 0));
    Le(b, 7, 2);
    Append(b, Of("comment"));
    return b;
}

Bytes Pdf()
{
    Bytes b = Of("%PDF-1.4\n1 0 obj << >> endobj\ntrailer << >>\n%%EOF\r\n");
    Append(b, Of("2 0 obj << /Type /Page >> endobj\nstartxref 9\n%%EOF\n"));  // an update after the first
    return b;
}


// A little-endian TIFF of three strips, with an EXIF directory holding the
// date taken. `valuesFirst` lays it out as libtiff does: the strips, then the
// values, then the directory that points back at them all; else as cameras
// do: the directory first, the strips last.
Bytes Tiff(bool valuesFirst)
{
    constexpr std::uint32_t kStrip = 700;
    const std::uint32_t entries = 5;
    const std::uint32_t directoryBytes = 2 + entries * 12 + 4;
    const std::uint32_t exifBytes = 2 + 12 + 4;
    // The places of the parts, in the order of the layout.
    std::uint32_t strips, values, directory;
    if (valuesFirst) {
        strips = 8, values = strips + 3 * kStrip, directory = values + 24 + 20 + exifBytes;
    } else {
        directory = 8, values = directory + directoryBytes, strips = values + 24 + 20 + exifBytes;
    }
    const std::uint32_t offsets = values, counts = values + 12, taken = values + 24, exif = values + 44;
    Bytes b = Of("II*");
    b.push_back(0);
    Le(b, directory, 4);
    auto entry = [](Bytes& to, std::uint32_t tag, std::uint32_t type, std::uint32_t count, std::uint32_t value) {
        Le(to, tag, 2), Le(to, type, 2), Le(to, count, 4), Le(to, value, 4);
    };
    Bytes dir;
    Le(dir, entries, 2);
    entry(dir, 256, 3, 1, 100);
    entry(dir, 273, 4, 3, offsets);
    entry(dir, 279, 4, 3, counts);
    entry(dir, 0x0132, 2, 20, taken);
    entry(dir, 34665, 4, 1, exif);
    Le(dir, 0, 4);
    Bytes vals;
    for (std::uint32_t i = 0; i < 3; ++i)
        Le(vals, strips + i * kStrip, 4);
    for (std::uint32_t i = 0; i < 3; ++i)
        Le(vals, i == 2 ? kStrip - 99 : kStrip, 4);  // the last strip is shorter
    Append(vals, Of("2018:05:06 07:08:09"));
    vals.push_back(0);
    Le(vals, 1, 2);
    entry(vals, 0x9003, 2, 20, taken);
    Le(vals, 0, 4);
    const Bytes data = Filler(3 * kStrip - 99, 12);
    if (valuesFirst) {
        Append(b, data);
        b.resize(values, 0);
        Append(b, vals);
        Append(b, dir);
    } else {
        Append(b, dir);
        Append(b, vals);
        Append(b, data);
    }
    return b;
}

// A compound file (a Word document) of 512-byte sectors: the FAT in sector
// 0, the directory in 1, a stream in 2 to 5, sector 6 free, sector 7 the
// last in use.
Bytes Doc()
{
    Bytes b = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    b.resize(0x18, 0);
    Le(b, 0x3E, 2), Le(b, 3, 2), Le(b, 0xFFFE, 2), Le(b, 9, 2), Le(b, 6, 2);
    b.resize(0x2C, 0);
    Le(b, 1, 4);           // one FAT sector
    Le(b, 1, 4);           // the directory's first sector
    b.resize(0x44, 0);
    Le(b, 0xFFFFFFFE, 4);  // no DIFAT sector
    Le(b, 0, 4);
    Le(b, 0, 4);           // the FAT in sector 0
    while (b.size() < 512)
        Le(b, 0xFFFFFFFF, 4);
    const std::uint32_t fat[8] = {0xFFFFFFFD, 0xFFFFFFFE, 3, 4, 5, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFE};
    for (const std::uint32_t entry : fat)
        Le(b, entry, 4);
    while (b.size() < 1024)
        Le(b, 0xFFFFFFFF, 4);
    for (const char c : std::string("WordDocument"))
        Le(b, static_cast<std::uint8_t>(c), 2);
    b.resize(1536, 0);
    Append(b, Filler(6 * 512, 13));
    return b;
}

// MPEG-1 layer III frames at 128 kbit/s and 44.1 kHz (417 bytes, 418 when
// padded), after an ID3v2 tag and before an ID3v1 tag when asked.
Bytes Mp3(int frames, bool tags)
{
    Bytes b;
    if (tags) {
        Append(b, Of("ID3"));
        Append(b, {3, 0, 0, 0, 0, 1, 4});  // 132 bytes of tag
        Append(b, Filler(132, 14));
    }
    for (int i = 0; i < frames; ++i) {
        const bool padded = i % 3 == 1;
        Append(b, {0xFF, 0xFB, static_cast<std::uint8_t>(0x90 | (padded ? 2 : 0)), 0x64});
        Append(b, Filler(padded ? 414 : 413, static_cast<std::uint8_t>(i)));
    }
    if (tags) {
        Append(b, Of("TAG"));
        Append(b, Filler(125, 15));
    }
    return b;
}

Bytes SevenZip()
{
    const Bytes packed = Filler(3000, 16);
    const Bytes next = Filler(90, 17);
    Bytes tail;
    Le(tail, packed.size(), 8), Le(tail, next.size(), 8), Le(tail, filetypes::Crc32(next.data(), next.size(), 0), 4);
    Bytes b = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    Le(b, filetypes::Crc32(tail.data(), tail.size(), 0), 4);
    Append(b, tail);
    Append(b, packed);
    Append(b, next);
    return b;
}

// RAR 5: the main header, a file of 2,000 bytes stored, the end.
Bytes Rar5()
{
    auto block = [](Bytes& to, const Bytes& header) {
        Bytes sized;
        sized.push_back(static_cast<std::uint8_t>(header.size()));  // (one byte: under 128)
        Append(sized, header);
        Le(to, filetypes::Crc32(sized.data(), sized.size(), 0), 4);
        Append(to, sized);
    };
    Bytes b = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
    block(b, {1, 0, 0});                                   // main: type 1, no flags, no archive flags
    Bytes file = {2, 2, 0xD0, 0x0F, 0, 0xD0, 0x0F, 0x20, 0, 0, 5};  // file: a data area of 2,000 bytes
    Append(file, Of("a.txt"));
    block(b, file);
    Append(b, Filler(2000, 18));
    block(b, {5, 0, 0});                                   // the end
    return b;
}

// RAR 4: the marker, the archive header, a file of 1,500 bytes, the end.
Bytes Rar4()
{
    auto block = [](Bytes& to, Bytes header) {
        const std::uint32_t crc = filetypes::Crc32(header.data(), header.size(), 0);
        Le(to, crc & 0xFFFF, 2);
        Append(to, header);
    };
    Bytes b = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    block(b, {0x73, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0});
    Bytes file = {0x74, 0, 0x80, 32 + 5, 0};
    Le(file, 1500, 4), Le(file, 1500, 4);
    Append(file, Bytes(11, 0));  // host, CRC, time, version, method
    Le(file, 5, 2);
    Le(file, 0x20, 4);
    Append(file, Of("a.txt"));
    block(b, file);
    Append(b, Filler(1500, 19));
    block(b, {0x7B, 0, 0x40, 7, 0});
    return b;
}

}  // namespace

TEST(CarveEnd, EachKindEndsWhereItsStructureSaysInPiecesOfAnySize)
{
    // What follows a file on a volume: another file's bytes, end marks among them.
    Bytes after = {0xFF, 0xD9, 0x3B, 0x00};
    Append(after, Png(30));
    // (The next movie, in the next cluster, begins no box of this one.)
    Append(after, Mp4());
    const struct {
        CarveKind kind;
        Bytes file;
    } files[] = {{CarveKind::kJpeg, JpegWithThumbnail()}, {CarveKind::kJpeg, Jpeg(5000)},
                 {CarveKind::kPng, Png(3000)}, {CarveKind::kGif, Gif()}, {CarveKind::kBmp, Bmp(999)},
                 {CarveKind::kRiff, Wav(1001)}, {CarveKind::kMp4, Mp4()}, {CarveKind::kSqlite, Sqlite(5)},
                 {CarveKind::kPdf, Pdf()}, {CarveKind::kZip, Zip(3, 2000)}, {CarveKind::kZip, StreamedZip()},
                 {CarveKind::kTiff, Tiff(false)}, {CarveKind::kTiff, Tiff(true)}, {CarveKind::kOle, Doc()},
                 {CarveKind::kMp3, Mp3(6, true)}, {CarveKind::kMp3, Mp3(6, false)},
                 {CarveKind::kRtf, Of("{\\rtf1\\ansi {\\b bold} \\{ not a brace \\} {\\i more}\r\n}")},
                 {CarveKind::k7z, SevenZip()}, {CarveKind::kRar, Rar5()}, {CarveKind::kRar, Rar4()}};
    for (const auto& f : files) {
        CarveKind kind {};
        ASSERT_TRUE(filetypes::CarveKindOf(f.file.data(), f.file.size(), kind));
        EXPECT_EQ(kind, f.kind);
        for (const std::size_t piece : {std::size_t {1}, std::size_t {7}, std::size_t {512}, f.file.size()}) {
            const EndFinder finder = Follow(f.kind, f.file, after, piece);
            EXPECT_EQ(finder.Current(), EndFinder::State::kEnded) << static_cast<int>(f.kind) << " in " << piece;
            EXPECT_EQ(finder.Size(), f.file.size()) << static_cast<int>(f.kind) << " in " << piece;
            // Nothing after it (a cluster in use follows the file's last):
            // whole too, also the kinds with no end mark of their own.
            const EndFinder alone = Follow(f.kind, f.file, {}, piece);
            EXPECT_EQ(alone.Current(), EndFinder::State::kEnded) << static_cast<int>(f.kind) << " alone in " << piece;
            EXPECT_EQ(alone.Size(), f.file.size()) << static_cast<int>(f.kind) << " alone in " << piece;
        }
    }
    CarveKind kind {};
    EXPECT_FALSE(filetypes::CarveKindOf(Of("%PDX-1.4 and more").data(), 17, kind));
    EXPECT_FALSE(filetypes::CarveKindOf(Bytes(64, 0).data(), 64, kind));
}

TEST(CarveEnd, ABrokenFileIsKeptAsFarAsItsStructureHolds)
{
    // A PNG whose second chunk's CRC is wrong: as far as its first chunk.
    Bytes png = Png(100);
    png[8 + 25 + 8 + 50] ^= 1;  // inside IDAT's data
    EndFinder finder = Follow(CarveKind::kPng, png, {}, 64);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_EQ(finder.Size(), 8u + 25u);

    // A JPEG cut short by the end of the volume: as far as its last whole segment.
    const Bytes jpeg = JpegWithThumbnail();
    finder = Follow(CarveKind::kJpeg, Bytes(jpeg.begin(), jpeg.begin() + 200), {}, 13);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_GT(finder.Size(), 2u);
    EXPECT_LT(finder.Size(), 200u);

    // Longer than the bound: broken, not followed on.
    finder = Follow(CarveKind::kJpeg, Jpeg(5000), {}, 512, 4096);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_LE(finder.Size(), 4096u);

    // A GIF whose blocks turn into something else; a BMP whose header says
    // more than the bound, or has no header of a known size.
    Bytes gif = Gif();
    gif[gif.size() - 1] = 0x99;
    EXPECT_EQ(Follow(CarveKind::kGif, gif, Bytes(100, 0x55), 100).Current(), EndFinder::State::kBroken);
    EXPECT_EQ(Follow(CarveKind::kBmp, Bmp(5000), {}, 512, 1000).Current(), EndFinder::State::kBroken);
    // A SQLite file whose page count is stale; a PDF with no %%EOF before the bound.
    Bytes sqlite = Sqlite(4);
    sqlite[95] = 8;
    EXPECT_EQ(Follow(CarveKind::kSqlite, sqlite, {}, 512).Current(), EndFinder::State::kBroken);
    Bytes pdf = Of("%PDF-1.7\n");
    Append(pdf, Filler(5000, 11));
    finder = Follow(CarveKind::kPdf, pdf, {}, 512, 4000);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    // An MP4 whose boxes end before its media came.
    Bytes mp4 = Box("ftyp", Of("isom"));
    Append(mp4, Box("moov", Bytes(20, 0)));
    finder = Follow(CarveKind::kMp4, mp4, Bytes(64, 0), 16);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_EQ(finder.Size(), mp4.size());
    // A ZIP cut inside its central directory: as far as its last whole record.
    const Bytes zip = Zip(3, 2000);
    finder = Follow(CarveKind::kZip, Bytes(zip.begin(), zip.end() - 30), Bytes(200, 0), 64);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_GE(finder.Size(), 3u * 2031u);
    EXPECT_LT(finder.Size(), zip.size());
    // A 7z whose last header's CRC is wrong; a RAR whose second header's is.
    Bytes sevenZip = SevenZip();
    sevenZip.back() ^= 1;
    finder = Follow(CarveKind::k7z, sevenZip, {}, 512);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_EQ(finder.Size(), 32u + 3000u);
    Bytes rar = Rar5();
    rar[8 + 4 + 4 + 2] ^= 1;
    finder = Follow(CarveKind::kRar, rar, {}, 7);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_EQ(finder.Size(), 8u + 8u);
    // Two frames of audio are not taken for a file; a TIFF whose strips are
    // said to lie past the bound is no longer than the bound.
    EXPECT_EQ(Follow(CarveKind::kMp3, Mp3(2, false), Bytes(100, 0), 64).Size(), 0u);
    finder = Follow(CarveKind::kTiff, Tiff(false), {}, 100, 1000);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_LE(finder.Size(), 1000u);
    // A compound file whose FAT lies in a sector before the one read last.
    Bytes doc = Doc();
    doc[0x4C] = 3;  // the FAT in sector 3, and a DIFAT naming sector 0 after it
    doc[0x48] = 1, doc[0x44] = 4, doc[0x45] = 0, doc[0x46] = 0, doc[0x47] = 0;
    finder = Follow(CarveKind::kOle, doc, {}, 512);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    Bytes bmp = Bmp(100);
    bmp[14] = 41;
    finder = Follow(CarveKind::kBmp, bmp, {}, 512);
    EXPECT_EQ(finder.Current(), EndFinder::State::kBroken);
    EXPECT_EQ(finder.Size(), 0u);
}

namespace {

// A JPEG whose APP1 holds EXIF data in `order` ("II" or "MM"): the camera's
// DateTime in IFD0 and, when `original` is given, DateTimeOriginal in the
// Exif IFD; with `thumbnail`, that JPEG in IFD1, as cameras keep theirs.
Bytes ExifJpeg(const char* order, const char* dateTime, const char* original, const Bytes* thumbnail = nullptr)
{
    const bool big = order[0] == 'M';
    auto put16 = [big](Bytes& b, std::uint32_t v) {
        if (big)
            b.insert(b.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
        else
            Le(b, v, 2);
    };
    auto put32 = [big](Bytes& b, std::uint32_t v) {
        if (big)
            Be32(b, v);
        else
            Le(b, v, 4);
    };
    auto entry = [&](Bytes& b, std::uint32_t tag, std::uint32_t type, std::uint32_t count, std::uint32_t value) {
        put16(b, tag);
        put16(b, type);
        put32(b, count);
        put32(b, value);
    };
    // Header (8), IFD0 of two entries (30), Exif IFD of one (18), the texts.
    Bytes tiff = Of(order);
    put16(tiff, 42);
    put32(tiff, 8);
    put16(tiff, 2);
    entry(tiff, 0x0132, 2, 20, 56);
    entry(tiff, 0x8769, 4, 1, 38);
    put32(tiff, thumbnail != nullptr ? 96 : 0);
    put16(tiff, original != nullptr ? 1 : 0);
    entry(tiff, original != nullptr ? 0x9003 : 0x9999, 2, 20, 76);
    put32(tiff, 0);
    Append(tiff, Of(std::string_view(dateTime, 19)));
    tiff.push_back(0);
    Append(tiff, Of(std::string_view(original != nullptr ? original : "0000:00:00 00:00:00", 19)));
    tiff.push_back(0);
    if (thumbnail != nullptr) {
        put16(tiff, 2);
        entry(tiff, 0x0201, 4, 1, 126);
        entry(tiff, 0x0202, 4, 1, static_cast<std::uint32_t>(thumbnail->size()));
        put32(tiff, 0);
        Append(tiff, *thumbnail);
    }
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xE1};
    const std::size_t length = 2 + 6 + tiff.size();
    b.push_back(static_cast<std::uint8_t>(length >> 8));
    b.push_back(static_cast<std::uint8_t>(length));
    Append(b, Of(std::string_view("Exif\0\0", 6)));
    Append(b, tiff);
    Append(b, Jpeg(100));
    return b;
}

std::string Taken(const Bytes& b)
{
    return filetypes::ExifTakenTime(b.data(), b.size());
}

std::string Title(std::string_view pdf)
{
    return filetypes::PdfTitle(reinterpret_cast<const std::uint8_t*>(pdf.data()), pdf.size());
}

std::string ExtensionOf(CarveKind kind, const Bytes& b)
{
    return filetypes::CarveExtension(kind, b.data(), b.size());
}

}  // namespace

TEST(CarveName, PhotosAreNamedByTheDateTheyWereTaken)
{
    // DateTimeOriginal first, in either byte order; DateTime without it.
    EXPECT_EQ(Taken(ExifJpeg("II", "2020:01:02 03:04:05", "2019:07:04 15:30:12")), "20190704_153012");
    EXPECT_EQ(Taken(ExifJpeg("MM", "2020:01:02 03:04:05", "2019:07:04 15:30:12")), "20190704_153012");
    EXPECT_EQ(Taken(ExifJpeg("MM", "2020:01:02 03:04:05", nullptr)), "20200102_030405");
    // A camera whose clock was never set, a malformed date, no EXIF at all.
    EXPECT_EQ(Taken(ExifJpeg("II", "0000:00:00 00:00:00", "0000:00:00 00:00:00")), "");
    EXPECT_EQ(Taken(ExifJpeg("II", "2020-01-02 03:04:05", nullptr)), "");
    EXPECT_EQ(Taken(Jpeg(100)), "");
    // A TIFF (or a raw photo built on it) holds its EXIF data itself.
    EXPECT_EQ(Taken(Tiff(false)), "20180506_070809");
    // Cut anywhere, the EXIF data gives no date or the right one, and is
    // never read past its end.
    const Bytes whole = ExifJpeg("II", "2020:01:02 03:04:05", "2019:07:04 15:30:12");
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        const std::string taken = Taken(cut);
        EXPECT_TRUE(taken.empty() || taken == "20190704_153012" || taken == "20200102_030405") << n;
    }
}

TEST(CarveName, APhotosOwnThumbnailIsFoundWithinTheBytesGiven)
{
    const auto thumbnailOf = [](const Bytes& b) {
        std::size_t at = 0;
        std::size_t length = 0;
        return filetypes::ExifThumbnail(b.data(), b.size(), at, length) ? Bytes(b.begin() + at, b.begin() + at + length)
                                                                        : Bytes();
    };
    const Bytes small = Jpeg(60);
    for (const char* order : {"II", "MM"}) {
        const Bytes photo = ExifJpeg(order, "2020:01:02 03:04:05", nullptr, &small);
        EXPECT_EQ(thumbnailOf(photo), small) << order;
        EXPECT_EQ(Taken(photo), "20200102_030405");
        // Cut anywhere: no thumbnail, or all of it.
        for (std::size_t n = 0; n < photo.size(); ++n) {
            const Bytes got = thumbnailOf(Bytes(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(n)));
            EXPECT_TRUE(got.empty() || got == small) << n;
        }
    }
    // None in the EXIF data, or no EXIF data: none.
    EXPECT_TRUE(thumbnailOf(ExifJpeg("II", "2020:01:02 03:04:05", nullptr)).empty());
    EXPECT_TRUE(thumbnailOf(Jpeg(100)).empty());
    // A thumbnail said to reach past the EXIF data, one that is no JPEG, and
    // a second directory that is the first again.
    Bytes photo = ExifJpeg("II", "2020:01:02 03:04:05", nullptr, &small);
    const std::size_t tiff = 2 + 6 + 4 + 6;  // SOI, APP0, APP1's head, "Exif\0\0"
    ASSERT_EQ(photo[tiff + 34], 96);  // IFD0's next, IFD1
    ASSERT_EQ(photo[tiff + 126], 0xFF);  // the thumbnail
    Bytes past = photo;
    past[tiff + 96 + 2 + 12 + 8] = 0xFF;  // 0x0202's count
    past[tiff + 96 + 2 + 12 + 9] = 0xFF;
    EXPECT_TRUE(thumbnailOf(past).empty());
    Bytes notJpeg = photo;
    notJpeg[tiff + 126] = 0;
    EXPECT_TRUE(thumbnailOf(notJpeg).empty());
    Bytes loop = photo;
    loop[tiff + 34] = 8;  // IFD0's next: itself
    loop[tiff + 35] = 0;
    EXPECT_TRUE(thumbnailOf(loop).empty());
    // Pictures every browser shows, by their first bytes.
    for (const Bytes& picture : {small, Of("\x89PNG\r\n\x1a\n"), Of("GIF89a"), Of("BM...."), Of("RIFF....WEBPVP8 ")})
        EXPECT_TRUE(filetypes::IsShownPicture(picture.data(), picture.size()));
    for (const Bytes& other : {Of("%PDF-1.4"), Of("II*\0"), Of("RIFF....WAVE"), Bytes {0xFF, 0xD8}})
        EXPECT_FALSE(filetypes::IsShownPicture(other.data(), other.size()));
}

TEST(CarveName, PdfTitlesAndKindsBuiltOnOthers)
{
    EXPECT_EQ(Title("%PDF-1.4\n1 0 obj << /Title (Holiday plans 2024) >>"), "Holiday plans 2024");
    // Escapes, balanced parentheses, characters no file name holds.
    EXPECT_EQ(Title("<< /Title (Q\\(3\\) (draft) a/b: c?) >>"), "Q(3) (draft) a_b_ c_");
    // UTF-16 with its byte order mark, as a hex string.
    EXPECT_EQ(Title("<< /Title <FEFF00C400620063> >>"), "\xC3\x84" "bc");
    EXPECT_EQ(Title("<< /Title (unclosed"), "");
    EXPECT_EQ(Title("<< /Author (someone) >>"), "");

    // ZIPs by the entries their first bytes name.
    auto zipNaming = [](std::initializer_list<std::string_view> names) {
        Bytes b;
        for (const std::string_view name : names) {
            Append(b, Of(std::string_view("PK\x03\x04", 4)));
            Append(b, Bytes(22, 0));
            Le(b, name.size(), 2);
            Le(b, 0, 2);
            Append(b, Of(name));
        }
        return b;
    };
    EXPECT_EQ(ExtensionOf(CarveKind::kZip, zipNaming({"[Content_Types].xml", "_rels/.rels", "word/document.xml"})),
              "docx");
    EXPECT_EQ(ExtensionOf(CarveKind::kZip, zipNaming({"[Content_Types].xml", "xl/workbook.xml"})), "xlsx");
    EXPECT_EQ(ExtensionOf(CarveKind::kZip, zipNaming({"word/document.xml"})), "zip");  // no Office package
    Bytes epub = zipNaming({"mimetype"});
    Append(epub, Of("application/epub+zip"));
    EXPECT_EQ(ExtensionOf(CarveKind::kZip, epub), "epub");
    Bytes cut = zipNaming({"[Content_Types].xml", "word/document.xml"});
    cut.resize(cut.size() - 5);  // the name runs past what was read
    EXPECT_EQ(ExtensionOf(CarveKind::kZip, cut), "zip");
    // Movies by their brand, RIFF by its form.
    EXPECT_EQ(ExtensionOf(CarveKind::kMp4, Box("ftyp", Of("qt  0000"))), "mov");
    EXPECT_EQ(ExtensionOf(CarveKind::kMp4, Box("ftyp", Of("heic0000"))), "heic");
    EXPECT_EQ(ExtensionOf(CarveKind::kMp4, Mp4()), "mp4");
    // TIFFs by the camera that made them; compound files by their streams.
    EXPECT_EQ(ExtensionOf(CarveKind::kTiff, Tiff(false)), "tif");
    Bytes cr2 = Tiff(false);
    cr2[8] = 'C', cr2[9] = 'R';
    EXPECT_EQ(ExtensionOf(CarveKind::kTiff, cr2), "cr2");
    EXPECT_EQ(ExtensionOf(CarveKind::kOle, Doc()), "doc");
    EXPECT_EQ(ExtensionOf(CarveKind::kOle, Ole()), "ole");
    Bytes wav = Of("RIFF");
    Le(wav, 4, 4);
    Append(wav, Of("WAVE"));
    EXPECT_EQ(ExtensionOf(CarveKind::kRiff, wav), "wav");

    // Names every file system takes: no control characters or separators,
    // no dots or spaces at the end, at most 100 bytes, cut between characters.
    EXPECT_EQ(filetypes::FileNameSafe("  a\tb\\c..  "), "a b_c");
    std::string long_name;
    for (int i = 0; i < 60; ++i)
        long_name += "\xC3\xA9";  // 2 bytes each
    long_name = "x" + long_name;
    const std::string safe = filetypes::FileNameSafe(long_name);
    EXPECT_LE(safe.size(), 100u);
    EXPECT_EQ(safe.size() % 2, 1u);
}
