#include "filetypes/CarveEnd.h"

#include "filetypes/ContentCheck.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace filetypes {
namespace {

constexpr std::uint8_t kPngMagic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// The steps of each walk. A step marked "skip" takes m_skip bytes without
// looking at them (a PNG chunk's data through its CRC).
enum Step : std::uint8_t {
    // JPEG
    kJpegStart = 0, kJpegSoi, kJpegMarker, kJpegCode, kJpegLengthHigh, kJpegLengthLow,
    kJpegSegment,   // skip
    kJpegScanHead,  // skip: the SOS header, then entropy-coded data
    kJpegEntropy, kJpegEntropyFf,
    // PNG
    kPngSignature = 20, kPngLength, kPngType,
    kPngData,       // skip
    kPngCrc,
    // GIF
    kGifHeader = 40,
    kGifColors,     // skip: a color table, then a block
    kGifBlock, kGifImage,
    kGifLocalColors,  // skip: the local color table, then the LZW code size
    kGifCodeSize, kGifLabel, kGifSubBlock,
    kGifSubData,    // skip
    // BMP and RIFF
    kSizedHead = 60,
    kSizedBody,     // skip: to the size the header gives
    // MP4
    kBoxHead = 70,
    kBoxBody,       // skip
    // SQLite
    kSqliteHead = 80,
    kSqliteBody,    // skip: to page size times page count
    // PDF
    kPdfText = 90,
    // ZIP
    kZipRecord = 100,  // a record's signature and fixed part
    kZipSkip,       // skip: its name, extra field, comment and data
    kZipScan,       // data of unknown size: up to the signature after it
    kZipTail,       // skip: the archive's comment, then its end
    // TIFF
    kTiffHead = 110,
    kTiffSkip,      // skip: to the next place waited for
    kTiffRead,      // a directory, or an array of offsets or counts
    kTiffTail,      // skip: to the last byte pointed at
    // compound file
    kOleHead = 120,
    kOleSkip,       // skip: to the next FAT or DIFAT sector
    kOleSector,
    kOleTail,       // skip: to the end of the last sector in use
    // MP3
    kId3Head = 130,
    kId3Body,       // skip: the ID3v2 tag
    kMp3Header,
    kMp3Body,       // skip: the frame's audio
    kMp3Tag,        // "TAG", an ID3v1 tag
    kMp3TagBody,    // skip: its fields
    // RTF
    kRtfText = 140,
    // 7z
    k7zHead = 150,
    k7zBody,        // skip: to the next header
    k7zTail,        // skip: the next header, its CRC taken
    // RAR
    kRarSignature = 160,
    kRarHead,       // a block's header, its first bytes kept
    kRarHeadRest,   // skip: the rest of the header, its CRC taken
    kRarData,       // skip: the block's data
};

bool Skipping(std::uint8_t step)
{
    return step == kJpegSegment || step == kJpegScanHead || step == kPngData || step == kGifColors ||
           step == kGifLocalColors || step == kGifSubData || step == kSizedBody || step == kBoxBody ||
           step == kSqliteBody || step == kZipSkip || step == kZipTail || step == kTiffSkip || step == kTiffTail ||
           step == kOleSkip || step == kOleTail || step == kId3Body || step == kMp3Body || step == kMp3TagBody ||
           step == k7zBody || step == k7zTail || step == kRarHeadRest || step == kRarData;
}

// Skipped parts whose CRC is taken as they pass.
bool Checksummed(std::uint8_t step)
{
    return step == kPngData || step == k7zTail || step == kRarHeadRest;
}

std::uint8_t FirstStep(CarveKind kind)
{
    switch (kind) {
    case CarveKind::kJpeg: return kJpegStart;
    case CarveKind::kPng: return kPngSignature;
    case CarveKind::kGif: return kGifHeader;
    case CarveKind::kMp4: return kBoxHead;
    case CarveKind::kSqlite: return kSqliteHead;
    case CarveKind::kPdf: return kPdfText;
    case CarveKind::kZip: return kZipRecord;
    case CarveKind::kTiff: return kTiffHead;
    case CarveKind::kOle: return kOleHead;
    case CarveKind::kMp3: return kId3Head;
    case CarveKind::kRtf: return kRtfText;
    case CarveKind::k7z: return k7zHead;
    case CarveKind::kRar: return kRarSignature;
    default: return kSizedHead;
    }
}

std::uint32_t LittleEndian(const std::uint8_t* p)
{
    return std::uint32_t {p[0]} | std::uint32_t {p[1]} << 8 | std::uint32_t {p[2]} << 16 | std::uint32_t {p[3]} << 24;
}

bool Letter(std::uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The header bytes a BMP or RIFF file's size is read from.
constexpr std::size_t kBmpHead = 18;
constexpr std::size_t kRiffHead = 12;

constexpr std::uint8_t kOleMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint8_t k7zMagic[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

// The places a TIFF or compound file's walk may wait for at once, and the
// directories a TIFF's walk reads: bounds on what a crafted file costs.
constexpr std::size_t kMostWaiting = 70000;
constexpr std::size_t kMostTiffDirectories = 64;
constexpr std::uint64_t kMostOleFatSectors = 65536;

// What a TIFF place holds: a directory, or an array of strip (or tile)
// offsets, of their byte counts, or of directory offsets (SubIFDs).
enum TiffPlace : std::uint64_t { kTiffDirectory, kTiffOffsets, kTiffCounts, kTiffSubDirectories };
constexpr std::uint64_t kOleDifat = std::uint64_t {1} << 62;  // a DIFAT sector, not a FAT sector

std::uint64_t TiffWhat(TiffPlace place, std::size_t slot, std::uint32_t valueBytes, std::uint64_t count)
{
    return place | std::uint64_t {slot} << 8 | std::uint64_t {valueBytes} << 16 | count << 32;
}

// The bytes of an MPEG audio frame whose header these 4 bytes are, 0 when
// they are none; `form` is what every frame of one file shares (version,
// layer, sampling rate).
std::uint32_t Mp3FrameBytes(const std::uint8_t* h, std::uint32_t& form)
{
    static const std::uint16_t kRates[2][3][15] = {
        // MPEG-1: layers I, II, III (kbit/s by index 1..14)
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        // MPEG-2 and 2.5
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    };
    static const std::uint32_t kSampling[3] = {44100, 48000, 32000};  // MPEG-1; halved for 2, quartered for 2.5
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const unsigned version = h[1] >> 3 & 3;  // 0: 2.5, 2: 2, 3: 1
    const unsigned layer = h[1] >> 1 & 3;    // 1: III, 2: II, 3: I
    const unsigned rateIndex = h[2] >> 4;
    const unsigned samplingIndex = h[2] >> 2 & 3;
    if (version == 1 || layer == 0 || rateIndex == 0 || rateIndex == 15 || samplingIndex == 3 || (h[3] & 3) == 2)
        return 0;
    const unsigned mpeg1 = version == 3 ? 0 : 1;
    const std::uint32_t rate = kRates[mpeg1][3 - layer][rateIndex] * 1000u;
    const std::uint32_t sampling = kSampling[samplingIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const std::uint32_t padding = h[2] >> 1 & 1;
    form = std::uint32_t {h[1]} << 8 | (h[2] & 0x0C);
    if (layer == 3)  // layer I: slots of 4 bytes
        return (12 * rate / sampling + padding) * 4;
    const std::uint32_t perSlot = layer == 1 && version != 3 ? 72 : 144;
    return perSlot * rate / sampling + padding;
}

// Whether `p` begins MPEG audio frames without a tag: two headers in a row
// that agree (one alone turns up by chance in one place of some 7,000).
bool Mp3Frames(const std::uint8_t* p, std::size_t size)
{
    std::uint32_t form = 0, next = 0;
    const std::uint32_t bytes = size >= 4 ? Mp3FrameBytes(p, form) : 0;
    return bytes != 0 && size >= std::size_t {bytes} + 4 && Mp3FrameBytes(p + bytes, next) != 0 && next == form;
}

// A RAR 5 variable-length number at `*at` of `p[0..size)`; false when it
// runs past them or past 64 bits.
bool RarNumber(const std::uint8_t* p, std::size_t size, std::size_t& at, std::uint64_t& value)
{
    value = 0;
    for (unsigned shift = 0; at < size && shift < 64; shift += 7) {
        const std::uint8_t b = p[at++];
        value |= std::uint64_t {b & 0x7Fu} << shift;
        if ((b & 0x80) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool CarveKindOf(const std::uint8_t* head, std::size_t size, CarveKind& kind)
{
    if (size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        kind = CarveKind::kJpeg;
    else if (size >= 8 && std::memcmp(head, kPngMagic, 8) == 0)
        kind = CarveKind::kPng;
    else if (size >= 6 && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0))
        kind = CarveKind::kGif;
    else if (size >= kBmpHead && head[0] == 'B' && head[1] == 'M')
        kind = CarveKind::kBmp;
    else if (size >= kRiffHead && std::memcmp(head, "RIFF", 4) == 0)
        kind = CarveKind::kRiff;
    else if (size >= 8 && std::memcmp(head + 4, "ftyp", 4) == 0)
        kind = CarveKind::kMp4;
    else if (size >= 16 && std::memcmp(head, "SQLite format 3", 16) == 0)
        kind = CarveKind::kSqlite;
    else if (size >= 5 && std::memcmp(head, "%PDF-", 5) == 0)
        kind = CarveKind::kPdf;
    else if (size >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0)
        kind = CarveKind::kZip;
    else if (size >= 8 && (std::memcmp(head, "II*\0", 4) == 0 || std::memcmp(head, "MM\0*", 4) == 0))
        kind = CarveKind::kTiff;
    else if (size >= 8 && std::memcmp(head, kOleMagic, 8) == 0)
        kind = CarveKind::kOle;
    else if (size >= 10 && std::memcmp(head, "ID3", 3) == 0 && head[3] >= 2 && head[3] <= 4)
        kind = CarveKind::kMp3;
    else if (Mp3Frames(head, size))
        kind = CarveKind::kMp3;
    else if (size >= 5 && std::memcmp(head, "{\\rtf", 5) == 0)
        kind = CarveKind::kRtf;
    else if (size >= 6 && std::memcmp(head, k7zMagic, 6) == 0)
        kind = CarveKind::k7z;
    else if (size >= 7 && std::memcmp(head, "Rar!\x1A\x07", 6) == 0 && (head[6] == 0 || head[6] == 1))
        kind = CarveKind::kRar;
    else
        return false;
    return true;
}

EndFinder::EndFinder(CarveKind kind, std::uint64_t limit) : m_kind(kind), m_limit(limit), m_step(FirstStep(kind)) {}

void EndFinder::End(std::uint64_t size)
{
    m_state = State::kEnded;
    m_size = size;
}

void EndFinder::Break()
{
    // A PDF runs to its last %%EOF line: its end is known only at the bound.
    if (m_kind == CarveKind::kPdf && m_fields[2] != 0)
        return End(m_fields[2]);
    m_state = State::kBroken;
    m_size = m_held;
}

EndFinder::State EndFinder::Finish()
{
    if (m_state != State::kGoing)
        return m_state;
    // Kinds with no end mark of their own end cleanly where a part ended:
    // a movie after a whole box, audio after a whole frame.
    if (m_kind == CarveKind::kMp4 && m_step == kBoxHead && m_value == 0 && (m_fields[0] & 3) == 3)
        End(m_held);
    else if (m_kind == CarveKind::kMp3 && m_step == kMp3Header && m_value == 0 && m_fields[0] >= 3)
        End(m_held);
    else
        Break();
    return m_state;
}

EndFinder::State EndFinder::Feed(const std::uint8_t* bytes, std::size_t n)
{
    std::size_t i = 0;
    while (i < n && m_state == State::kGoing) {
        if (m_at >= m_limit) {
            Break();
            break;
        }
        if (Skipping(m_step) && m_skip > m_limit - m_at) {
            // A part that says it runs past the bound (past the volume's
            // end): the file ends before it, and what follows is looked at
            // for other files.
            Break();
            break;
        }
        if (Skipping(m_step) && m_skip != 0) {
            // A part whose length is known: taken whole, not byte by byte.
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>({m_skip, n - i, m_limit - m_at}));
            if (Checksummed(m_step))
                m_crc = Crc32(bytes + i, take, m_crc);
            m_skip -= take;
            m_at += take;
            i += take;
            if (m_skip == 0)
                Byte(0);  // (no byte: the step after the part is taken)
            continue;
        }
        // Where only one byte value can begin the next thing looked for,
        // the bytes up to it are passed at once: entropy-coded JPEG data
        // (0xFF begins a marker), PDF text ('%' begins "%%EOF"), ZIP data of
        // unknown size ('P' begins the next record).
        int wanted = -1;
        if (m_step == kJpegEntropy)
            wanted = 0xFF;
        else if (m_kind == CarveKind::kPdf && m_at >= 5 && m_value == 0 && m_fields[1] == 0)
            wanted = '%';
        else if (m_step == kZipScan && m_value == 0)
            wanted = 'P';
        if (wanted >= 0) {
            const void* p = std::memchr(bytes + i, wanted, n - i);
            const std::size_t to = p != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(p) - bytes) : n;
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(to - i, m_limit - m_at));
            m_at += take;
            i += take;
            if (i == n || m_at >= m_limit)
                continue;
        }
        Byte(bytes[i]);
        ++i;
    }
    if (m_state == State::kGoing && m_at >= m_limit)
        Break();
    return m_state;
}

// One byte (or, on a skip step whose part was taken, the step after it).
void EndFinder::Byte(std::uint8_t b)
{
    if (Skipping(m_step) && m_skip == 0) {
        // The part is whole: what follows it.
        switch (m_step) {
        case kJpegSegment: m_held = m_at; m_step = kJpegMarker; return;
        case kJpegScanHead: m_step = kJpegEntropy; return;
        case kPngData: m_step = kPngCrc; m_value = 0; m_skip = 0; return;
        case kGifColors: m_held = m_at; m_step = kGifBlock; return;
        case kGifLocalColors: m_step = kGifCodeSize; return;
        case kGifSubData: m_step = kGifSubBlock; return;
        case kSizedBody: End(m_at); return;
        case kSqliteBody: End(m_at); return;
        case kBoxBody: m_held = m_at; m_step = kBoxHead; m_value = 0; return;
        case kZipSkip:
            m_step = m_fields[0] != 0 ? kZipScan : kZipRecord;
            if (m_fields[0] == 0)
                m_held = m_at;
            m_fields[0] = 0;
            m_value = 0;
            return;
        case kZipTail: End(m_at); return;
        case kTiffSkip: m_step = kTiffRead; m_value = 0; return;
        case kOleSkip: m_step = kOleSector; m_value = 0; m_crc = 0; return;
        case kTiffTail:
        case kOleTail:
        case kMp3TagBody: End(m_at); return;
        case kId3Body: m_held = m_at; m_step = kMp3Header; m_value = 0; return;
        case kMp3Body:
            if (++m_fields[0] >= 3)
                m_held = m_at;  // (a frame or two of audio alone is taken for chance)
            m_step = kMp3Header;
            m_value = 0;
            return;
        case k7zBody: m_held = m_at; m_step = k7zTail; m_skip = m_fields[0]; m_crc = 0; return;
        case k7zTail:
            if (m_crc == m_type)
                return End(m_at);
            return Break();
        case kRarHeadRest:
            if (!RarBlock())
                Break();
            return;
        case kRarData: m_held = m_at; m_step = kRarHead; m_value = 0; m_crc = 0; m_fields[1] = 0; return;
        default: return;
        }
    }
    switch (m_kind) {
    case CarveKind::kJpeg: Jpeg(b); break;
    case CarveKind::kPng: Png(b); break;
    case CarveKind::kGif: Gif(b); break;
    case CarveKind::kMp4: Mp4(b); break;
    case CarveKind::kSqlite: Sqlite(b); break;
    case CarveKind::kPdf: Pdf(b); break;
    case CarveKind::kZip: Zip(b); break;
    case CarveKind::kTiff: Tiff(b); break;
    case CarveKind::kOle: Ole(b); break;
    case CarveKind::kMp3: Mp3(b); break;
    case CarveKind::kRtf: Rtf(b); break;
    case CarveKind::k7z: SevenZip(b); break;
    case CarveKind::kRar: Rar(b); break;
    default: Sized(b); break;
    }
    ++m_at;
}

void EndFinder::Jpeg(std::uint8_t b)
{
    switch (m_step) {
    case kJpegStart:
        if (b != 0xFF)
            return Break();
        m_step = kJpegSoi;
        return;
    case kJpegSoi:
        if (b != 0xD8)
            return Break();
        m_held = 2;
        m_step = kJpegMarker;
        return;
    case kJpegMarker:
        if (b != 0xFF)
            return Break();
        m_step = kJpegCode;
        return;
    case kJpegEntropy:  // (the 0xFF found by Feed)
        m_step = kJpegEntropyFf;
        return;
    case kJpegEntropyFf:
        if (b == 0x00 || (b >= 0xD0 && b <= 0xD7)) {  // a stuffed 0xFF, or a restart marker
            m_step = kJpegEntropy;
            return;
        }
        if (b == 0xFF)
            return;  // fill
        m_held = m_at - 1;  // a marker ends the scan's data
        [[fallthrough]];
    case kJpegCode:
        if (b == 0xFF)
            return;  // fill
        if (b == 0xD9)
            return End(m_at + 1);
        if (b == 0x00 || b == 0xD8)
            return Break();
        if ((b >= 0xD0 && b <= 0xD7) || b == 0x01) {  // markers without a length
            m_step = kJpegMarker;
            return;
        }
        m_type = b;
        m_step = kJpegLengthHigh;
        return;
    case kJpegLengthHigh:
        m_value = std::uint32_t {b} << 8;
        m_step = kJpegLengthLow;
        return;
    case kJpegLengthLow:
        m_value |= b;
        if (m_value < 2)
            return Break();
        m_skip = m_value - 2;
        if (m_skip != 0)
            m_step = m_type == 0xDA ? kJpegScanHead : kJpegSegment;
        else if (m_type == 0xDA)
            m_step = kJpegEntropy;
        else {
            m_held = m_at + 1;
            m_step = kJpegMarker;
        }
        return;
    default:
        return Break();
    }
}

void EndFinder::Png(std::uint8_t b)
{
    switch (m_step) {
    case kPngSignature:
        if (b != kPngMagic[m_at])
            return Break();
        if (m_at == 7) {
            m_held = 8;
            m_step = kPngLength;
            m_value = 0;
            m_skip = 0;
        }
        return;
    case kPngLength:
        m_value = m_value << 8 | b;
        if (++m_skip == 4) {
            if (m_value > 0x7FFFFFFF)
                return Break();
            m_step = kPngType;
            m_type = 0;
            m_skip = 0;
            m_crc = 0;
        }
        return;
    case kPngType:
        if (!Letter(b))
            return Break();
        m_type = m_type << 8 | b;
        m_crc = Crc32(&b, 1, m_crc);
        if (++m_skip == 4) {
            m_skip = m_value;
            m_step = kPngData;
            if (m_skip == 0) {
                m_step = kPngCrc;
                m_value = 0;
            }
        }
        return;
    case kPngCrc:
        m_value = m_value << 8 | b;
        if (++m_skip == 4) {
            if (m_value != m_crc)
                return Break();
            m_held = m_at + 1;
            if (m_type == 0x49454E44)  // IEND
                return End(m_at + 1);
            m_step = kPngLength;
            m_value = 0;
            m_skip = 0;
        }
        return;
    default:
        return Break();
    }
}

void EndFinder::Gif(std::uint8_t b)
{
    switch (m_step) {
    case kGifHeader:
        if (m_at < 6) {
            static const char kHead[] = "GIF8?a";
            if (m_at == 4 ? (b != '7' && b != '9') : b != static_cast<std::uint8_t>(kHead[m_at]))
                return Break();
            return;
        }
        if (m_at == 10)
            m_value = b;  // the flags of the logical screen
        if (m_at == 12) {
            m_held = 13;
            m_skip = (m_value & 0x80) != 0 ? 3u << ((m_value & 7) + 1) : 0;
            m_step = m_skip != 0 ? kGifColors : kGifBlock;
        }
        return;
    case kGifBlock:
        if (b == 0x2C) {
            m_step = kGifImage;
            m_value = 0;
        } else if (b == 0x21) {
            m_step = kGifLabel;
        } else if (b == 0x3B) {
            End(m_at + 1);
        } else {
            Break();
        }
        return;
    case kGifImage:
        // Left, top, width, height (8 bytes), then the flags.
        if (++m_value < 9)
            return;
        m_skip = (b & 0x80) != 0 ? 3u << ((b & 7) + 1) : 0;
        m_step = m_skip != 0 ? kGifLocalColors : kGifCodeSize;
        return;
    case kGifCodeSize:
        if (b < 1 || b > 12)
            return Break();
        m_step = kGifSubBlock;
        return;
    case kGifLabel:
        m_step = kGifSubBlock;
        return;
    case kGifSubBlock:
        if (b == 0) {
            m_held = m_at + 1;
            m_step = kGifBlock;
            return;
        }
        m_skip = b;
        m_step = kGifSubData;
        return;
    default:
        return Break();
    }
}

void EndFinder::Sized(std::uint8_t b)
{
    const std::size_t head = m_kind == CarveKind::kBmp ? kBmpHead : kRiffHead;
    if (m_step != kSizedHead || m_at >= head)
        return Break();
    m_head[m_at] = b;
    if (m_at + 1 < head)
        return;
    std::uint64_t total = 0;
    if (m_kind == CarveKind::kBmp) {
        const std::uint32_t dib = LittleEndian(m_head + 14);
        total = LittleEndian(m_head + 2);
        if (m_head[0] != 'B' || m_head[1] != 'M' || total < 26 ||
            (dib != 12 && dib != 40 && dib != 52 && dib != 56 && dib != 108 && dib != 124))
            return Break();
    } else {
        const std::uint32_t size = LittleEndian(m_head + 4);
        total = 8 + std::uint64_t {size} + (size & 1);
        if (std::memcmp(m_head, "RIFF", 4) != 0 || size < 4 ||
            !std::all_of(m_head + 8, m_head + 12, [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; }))
            return Break();
    }
    if (total > m_limit || total < head)
        return Break();
    m_held = head;
    m_skip = total - head;
    m_step = kSizedBody;
    if (m_skip == 0)
        End(head);
}

void EndFinder::Mp4(std::uint8_t b)
{
    // A box: its size (4 bytes; 1: 8 more follow; 0: to the end of the
    // file, which says nothing), its type (4 printable bytes), its body.
    const std::uint32_t at = m_value++;
    if (at < 16)
        m_head[at] = b;
    if (at == 7) {
        const bool printable = std::all_of(m_head + 4, m_head + 8, [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
        const std::uint32_t size = std::uint32_t {m_head[0]} << 24 | std::uint32_t {m_head[1]} << 16 |
                                   std::uint32_t {m_head[2]} << 8 | m_head[3];
        if (m_held == 0 && std::memcmp(m_head + 4, "ftyp", 4) != 0)
            return Break();
        // Another file's ftyp (the next movie, in the next cluster) is no
        // box of this one.
        const bool nextFile = m_held != 0 && std::memcmp(m_head + 4, "ftyp", 4) == 0;
        if (!printable || nextFile || size == 0 || (size > 1 && size < 8)) {
            // No box: the file ended with the one before, if it held a
            // movie and its media.
            if ((m_fields[0] & 3) == 3)
                return End(m_held);
            return Break();
        }
        if (std::memcmp(m_head + 4, "moov", 4) == 0)
            m_fields[0] |= 1;
        if (std::memcmp(m_head + 4, "mdat", 4) == 0)
            m_fields[0] |= 2;
        if (size == 1)
            return;  // the size in the next 8 bytes
        m_skip = size - 8;
        m_step = kBoxBody;
        if (m_skip == 0) {
            m_held = m_at + 1;
            m_step = kBoxHead;
            m_value = 0;
        }
        return;
    }
    if (at == 15) {
        std::uint64_t size = 0;
        for (int i = 8; i < 16; ++i)
            size = size << 8 | m_head[i];
        if (size < 16)
            return Break();
        m_skip = size - 16;
        m_step = kBoxBody;
        if (m_skip == 0) {
            m_held = m_at + 1;
            m_step = kBoxHead;
            m_value = 0;
        }
    }
}

void EndFinder::Sqlite(std::uint8_t b)
{
    static const char kMagic[] = "SQLite format 3";
    if (m_at < 16) {
        if (b != static_cast<std::uint8_t>(kMagic[m_at]))
            return Break();
        return;
    }
    // Big-endian fields: the page size (16), the change counter (24), the
    // page count (28), and the change counter the count is valid for (92).
    if (m_at < 18)
        m_fields[0] = m_fields[0] << 8 | b;
    else if (m_at >= 24 && m_at < 28)
        m_fields[1] = m_fields[1] << 8 | b;
    else if (m_at >= 28 && m_at < 32)
        m_fields[2] = m_fields[2] << 8 | b;
    else if (m_at >= 92 && m_at < 96)
        m_value = m_value << 8 | b;
    if (m_at != 95)
        return;
    const std::uint64_t page = m_fields[0] == 1 ? 65536 : m_fields[0];
    const bool sized = page >= 512 && page <= 65536 && (page & (page - 1)) == 0;
    if (!sized || m_fields[2] == 0 || m_value != m_fields[1])
        return Break();  // the count cannot be trusted
    const std::uint64_t total = page * m_fields[2];
    if (total > m_limit || total < 96)
        return Break();
    m_held = 96;
    m_skip = total - 96;
    m_step = kSqliteBody;
    if (m_skip == 0)
        End(96);
}

void EndFinder::Pdf(std::uint8_t b)
{
    static const char kHead[] = "%PDF-";
    static const char kEof[] = "%%EOF";
    if (m_at < 5) {
        if (b != static_cast<std::uint8_t>(kHead[m_at]))
            return Break();
        m_held = m_at + 1;
        return;
    }
    // m_value: how much of "%%EOF" was just met; m_fields[1]: 1 right after
    // one, 2 after its CR (an LF may follow).
    if (m_fields[1] != 0) {
        const bool cr = b == '\r' && m_fields[1] == 1;
        const bool lf = b == '\n';
        m_fields[1] = cr ? 2 : 0;
        if (cr || lf) {
            m_fields[2] = m_at + 1;
            return;
        }
    }
    if (b == static_cast<std::uint8_t>(kEof[m_value])) {
        if (++m_value == 5) {
            m_value = 0;
            m_fields[1] = 1;
            m_fields[2] = m_at + 1;
            m_held = m_at + 1;
        }
    } else {
        m_value = b == '%' ? 1 : 0;
    }
}

namespace {

std::uint16_t Le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// The fixed part of each ZIP record, by the signature's last two bytes.
std::uint32_t ZipFixed(std::uint8_t a, std::uint8_t b)
{
    if (a == 3 && b == 4)
        return 30;  // a local entry
    if (a == 1 && b == 2)
        return 46;  // an entry of the central directory
    if (a == 5 && b == 6)
        return 22;  // the end of the central directory
    if (a == 7 && b == 8)
        return 16;  // a data descriptor
    return 0;
}

}  // namespace

void EndFinder::Zip(std::uint8_t b)
{
    if (m_step == kZipScan) {
        // Looking for "PK" and a record's two bytes after data of unknown
        // size; m_value counts what of a signature was met.
        const std::uint8_t want[2] = {'P', 'K'};
        if (m_value < 2) {
            m_value = b == want[m_value] ? m_value + 1 : (b == 'P' ? 1 : 0);
            return;
        }
        if (m_value == 2) {
            m_head[2] = b;
            m_value = 3;
            return;
        }
        const std::uint32_t fixed = ZipFixed(m_head[2], b);
        if (fixed == 0) {
            m_value = b == 'P' ? 1 : 0;
            return;
        }
        m_head[0] = 'P', m_head[1] = 'K', m_head[3] = b;
        m_type = fixed;
        m_value = 4;
        m_step = kZipRecord;
        return;
    }
    const std::uint32_t at = m_value++;
    if (at < sizeof m_head)
        m_head[at] = b;
    if (at == 3) {
        m_type = m_head[0] == 'P' && m_head[1] == 'K' ? ZipFixed(m_head[2], m_head[3]) : 0;
        if (m_type == 0 || (m_held == 0 && m_type != 30))
            return Break();
        return;
    }
    if (at < 4 || at + 1 < m_type)
        return;
    // The record's fixed part is whole.
    switch (m_type) {
    case 30: {
        const std::uint16_t flags = Le16(m_head + 6);
        const std::uint32_t packed = LittleEndian(m_head + 18);
        m_skip = std::uint64_t {Le16(m_head + 26)} + Le16(m_head + 28);
        if ((flags & 8) != 0 && packed == 0) {
            // Sizes in a descriptor after the data: its name and extra
            // field, then a search for the record after the data.
            m_step = m_skip != 0 ? kZipSkip : kZipScan;
            m_value = 0;
            if (m_skip != 0)
                m_fields[0] = 1;  // scan once the name is passed
            return;
        }
        m_skip += packed;
        break;
    }
    case 46:
        m_skip = std::uint64_t {Le16(m_head + 28)} + Le16(m_head + 30) + Le16(m_head + 32);
        break;
    case 22:
        m_skip = Le16(m_head + 20);
        m_step = kZipTail;
        if (m_skip == 0)
            End(m_at + 1);
        return;
    default:  // a data descriptor
        m_held = m_at + 1;
        m_value = 0;
        return;
    }
    m_value = 0;
    m_step = kZipSkip;
    if (m_skip == 0) {
        m_held = m_at + 1;
        m_step = kZipRecord;
    }
}

// TIFF and compound files point at the places their structure goes on in:
// those are waited for, the nearest first, and what lies between is passed.
void EndFinder::Await(std::uint64_t offset, std::uint64_t what)
{
    if (m_waiting.size() >= kMostWaiting)
        return Break();
    m_waiting.emplace_back(offset, what);
    std::push_heap(m_waiting.begin(), m_waiting.end(), std::greater<>());
}

// Called on the last byte of a part: goes on to the next place waited for,
// or to the end once none is left.
void EndFinder::ReadNext()
{
    const bool tiff = m_kind == CarveKind::kTiff;
    const std::uint64_t next = m_at + 1;
    m_held = std::max(m_held, next);
    while (!m_waiting.empty() && m_waiting.front().first < next) {
        // A place already passed. A TIFF writer may put the values a
        // directory points at before it, and then the image data too: what
        // those hold ends before here. A compound file's FAT cannot be
        // read back, so its end is not known.
        if (!tiff)
            return Break();
        std::pop_heap(m_waiting.begin(), m_waiting.end(), std::greater<>());
        m_waiting.pop_back();
    }
    if (m_waiting.empty()) {
        std::uint64_t end = 0;
        if (tiff) {
            end = TiffEnd();
        } else {
            if ((m_fields[2] >> 32) != (m_fields[2] & 0xFFFFFFFF))
                return Break();  // FAT sectors the DIFAT should have named are missing
            end = (m_fields[1] + 1) * m_fields[0];
        }
        if (end <= next)
            return End(std::max(end, m_held));
        m_skip = end - next;
        m_step = tiff ? kTiffTail : kOleTail;
        return;
    }
    std::pop_heap(m_waiting.begin(), m_waiting.end(), std::greater<>());
    const auto [offset, what] = m_waiting.back();
    m_waiting.pop_back();
    m_what = what;
    m_skip = offset - next;
    m_value = 0;
    m_crc = 0;
    if (m_skip != 0)
        m_step = tiff ? kTiffSkip : kOleSkip;
    else
        m_step = tiff ? kTiffRead : kOleSector;
}

std::uint64_t EndFinder::TiffEnd() const
{
    std::uint64_t end = m_fields[1];
    for (const Strips& strips : m_strips) {
        if (!strips.offsetsRead)
            continue;
        // The data ends with the strip that lies last; its count is known
        // when the counts came after the offsets, else the largest stands in.
        const std::uint64_t count = strips.countRead ? strips.lastCount : strips.largestCount;
        end = std::max(end, strips.lastOffset + count);
    }
    return end;
}

void EndFinder::TiffValue(std::uint32_t slot, bool offsets, std::uint32_t index, std::uint64_t value)
{
    Strips& strips = m_strips[slot];
    if (offsets) {
        if (!strips.offsetsRead || value >= strips.lastOffset) {
            strips.lastOffset = value;
            strips.lastIndex = index;
            strips.countRead = false;
        }
        strips.offsetsRead = true;
        return;
    }
    strips.largestCount = std::max(strips.largestCount, value);
    if (strips.offsetsRead && index == strips.lastIndex) {
        strips.lastCount = value;
        strips.countRead = true;
    }
}

namespace {

std::uint32_t TiffValueBytes(std::uint32_t type)
{
    static const std::uint8_t kBytes[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < 14 ? kBytes[type] : 0;
}

}  // namespace

// One entry of a directory, in m_head[0..12).
void EndFinder::TiffEntry()
{
    const auto u16 = [this](std::size_t at) {
        return m_bigEndian ? std::uint32_t {m_head[at]} << 8 | m_head[at + 1] : m_head[at] | std::uint32_t {m_head[at + 1]} << 8;
    };
    const auto u32 = [&u16, this](std::size_t at) {
        return m_bigEndian ? u16(at) << 16 | u16(at + 2) : u16(at) | u16(at + 2) << 16;
    };
    const std::uint32_t tag = u16(0);
    const std::uint32_t type = u16(2);
    const std::uint64_t count = u32(4);
    const std::uint32_t valueBytes = TiffValueBytes(type);
    if (valueBytes == 0 || count == 0)
        return;
    const std::uint64_t bytes = count * valueBytes;
    const std::uint64_t offset = u32(8);
    const bool inside = bytes <= 4;
    if (!inside) {
        if (offset + bytes > m_limit)
            return Break();  // values said to lie past the volume
        m_fields[1] = std::max(m_fields[1], offset + bytes);
    }
    const auto slot = static_cast<std::uint32_t>((m_what >> 8) & 0xFF);
    const auto directory = [this](std::uint64_t at) {
        if (at < 8 || m_strips.size() >= kMostTiffDirectories)
            return;
        m_strips.emplace_back();
        Await(at, TiffWhat(kTiffDirectory, m_strips.size() - 1, 0, 0));
    };
    switch (tag) {
    case 273: case 324:  // strip or tile offsets
    case 279: case 325:  // their byte counts
    case 513: case 514: {  // a JPEG thumbnail's offset and length
        const bool offsets = tag == 273 || tag == 324 || tag == 513;
        if (type != 3 && type != 4)
            return;
        if (inside) {
            for (std::uint32_t i = 0; i < count; ++i)
                TiffValue(slot, offsets, i, valueBytes == 2 ? u16(8 + 2 * i) : u32(8));
        } else if (count <= (1u << 24)) {
            Await(offset, TiffWhat(offsets ? kTiffOffsets : kTiffCounts, slot, valueBytes, count));
        } else {
            Break();
        }
        return;
    }
    case 330:  // SubIFDs
        if (type != 4 && type != 13)
            return;
        if (inside)
            directory(u32(8));
        else if (count <= kMostTiffDirectories)
            Await(offset, TiffWhat(kTiffSubDirectories, slot, 4, count));
        return;
    case 34665: case 34853: case 40965:  // the EXIF, GPS and interoperability directories
        if (count == 1 && (type == 4 || type == 13))
            directory(u32(8));
        return;
    default:
        return;
    }
}

void EndFinder::Tiff(std::uint8_t b)
{
    if (m_step == kTiffHead) {
        m_head[m_at] = b;
        if (m_at == 1 && !((m_head[0] == 'I' && b == 'I') || (m_head[0] == 'M' && b == 'M')))
            return Break();
        m_bigEndian = m_head[0] == 'M';
        if (m_at == 3 && (m_bigEndian ? (m_head[2] != 0 || b != 42) : (m_head[2] != 42 || b != 0)))
            return Break();
        if (m_at < 7)
            return;
        const std::uint64_t first = m_bigEndian ? std::uint64_t {m_head[4]} << 24 | m_head[5] << 16 | m_head[6] << 8 | m_head[7]
                                                : LittleEndian(m_head + 4);
        if (first < 8 || first >= m_limit)
            return Break();
        m_strips.emplace_back();
        Await(first, TiffWhat(kTiffDirectory, 0, 0, 0));
        return ReadNext();
    }
    // kTiffRead: the place m_what names, m_value bytes into it.
    const auto place = static_cast<TiffPlace>(m_what & 0xFF);
    const std::uint32_t at = m_value++;
    if (place == kTiffDirectory) {
        // The count of entries (2 bytes), the entries (12 each), the offset
        // of the next directory (4).
        if (at < 2) {
            m_head[at] = b;
            if (at == 1) {
                m_type = m_bigEndian ? std::uint32_t {m_head[0]} << 8 | b : m_head[0] | std::uint32_t {b} << 8;
                if (m_type == 0 || m_type > 4096)
                    return Break();
                ++m_fields[0];
            }
            return;
        }
        const std::uint32_t entries = m_type * 12;
        if (at - 2 < entries) {
            m_head[(at - 2) % 12] = b;
            if ((at - 2) % 12 == 11)
                TiffEntry();
            return;
        }
        m_head[at - 2 - entries] = b;
        if (at - 2 - entries < 3)
            return;
        const std::uint64_t nextDirectory =
            m_bigEndian ? std::uint64_t {m_head[0]} << 24 | m_head[1] << 16 | m_head[2] << 8 | m_head[3] : LittleEndian(m_head);
        if (nextDirectory >= 8 && m_strips.size() < kMostTiffDirectories) {
            m_strips.emplace_back();
            Await(nextDirectory, TiffWhat(kTiffDirectory, m_strips.size() - 1, 0, 0));
        }
        if (m_state == State::kGoing)
            ReadNext();
        return;
    }
    // An array of values, each `valueBytes` long.
    const auto valueBytes = static_cast<std::uint32_t>((m_what >> 16) & 0xFF);
    const std::uint64_t count = m_what >> 32;
    m_head[at % valueBytes] = b;
    if (at % valueBytes + 1 == valueBytes) {
        const std::uint32_t index = at / valueBytes;
        std::uint64_t value = 0;
        for (std::uint32_t i = 0; i < valueBytes; ++i)
            value |= std::uint64_t {m_head[m_bigEndian ? i : valueBytes - 1 - i]} << (8 * (valueBytes - 1 - i));
        const auto slot = static_cast<std::uint32_t>((m_what >> 8) & 0xFF);
        if (place == kTiffSubDirectories) {
            if (value >= 8 && m_strips.size() < kMostTiffDirectories) {
                m_strips.emplace_back();
                Await(value, TiffWhat(kTiffDirectory, m_strips.size() - 1, 0, 0));
            }
        } else {
            TiffValue(slot, place == kTiffOffsets, index, value);
        }
        if (index + 1 == count && m_state == State::kGoing)
            ReadNext();
    }
}

void EndFinder::Ole(std::uint8_t b)
{
    const std::uint64_t sectorBytes = m_fields[0];
    if (m_step == kOleHead) {
        if (m_at < sizeof m_head)
            m_head[m_at] = b;
        if (m_at < 8 && b != kOleMagic[m_at])
            return Break();
        if (m_at == 75) {
            const auto u16 = [this](std::size_t at) { return std::uint32_t {m_head[at]} | std::uint32_t {m_head[at + 1]} << 8; };
            const std::uint32_t major = u16(0x1A);
            const std::uint32_t shift = u16(0x1E);
            const std::uint64_t fats = LittleEndian(m_head + 0x2C);
            const std::uint32_t firstDifat = LittleEndian(m_head + 0x44);
            const std::uint32_t difats = LittleEndian(m_head + 0x48);
            if (u16(0x1C) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12)) ||
                u16(0x20) != 6 || fats == 0 || fats > kMostOleFatSectors || (difats == 0 && fats > 109) ||
                difats > fats)
                return Break();
            m_fields[0] = std::uint64_t {1} << shift;
            m_fields[1] = 0;
            m_fields[2] = fats;
            m_type = difats;
            if (difats != 0) {
                if (firstDifat > 0xFFFFFFF9)
                    return Break();
                Await((std::uint64_t {firstDifat} + 1) << shift, kOleDifat);
            }
            return;
        }
        if (m_at >= 76 && m_at < 512) {
            // The header's DIFAT: where the first 109 FAT sectors lie.
            m_crc |= std::uint32_t {b} << (8 * ((m_at - 76) % 4));
            if ((m_at - 76) % 4 == 3) {
                const std::uint64_t index = (m_at - 76) / 4;
                if (index < (m_fields[2] & 0xFFFFFFFF)) {
                    if (m_crc > 0xFFFFFFF9)
                        return Break();
                    Await((std::uint64_t {m_crc} + 1) * sectorBytes, index);
                }
                m_crc = 0;
            }
        }
        if (m_at == 511) {
            m_held = 512;
            ReadNext();
        }
        return;
    }
    // kOleSector: a FAT or DIFAT sector, m_value bytes into it.
    const std::uint32_t at = m_value++;
    m_crc |= std::uint32_t {b} << (8 * (at % 4));
    if (at % 4 == 3) {
        const std::uint32_t entry = m_crc;
        const std::uint64_t index = at / 4;
        const std::uint64_t perSector = sectorBytes / 4;
        m_crc = 0;
        if ((m_what & kOleDifat) != 0) {
            const std::uint64_t difat = m_what & 0xFFFFFFFF;
            if (index + 1 < perSector) {
                const std::uint64_t fat = 109 + difat * (perSector - 1) + index;
                if (fat < (m_fields[2] & 0xFFFFFFFF)) {
                    if (entry > 0xFFFFFFF9)
                        return Break();
                    Await((std::uint64_t {entry} + 1) * sectorBytes, fat);
                }
            } else if (difat + 1 < m_type && entry <= 0xFFFFFFF9) {
                Await((std::uint64_t {entry} + 1) * sectorBytes, kOleDifat | (difat + 1));
            }
        } else if (entry != 0xFFFFFFFF) {  // a sector in use
            m_fields[1] = std::max(m_fields[1], m_what * perSector + index + 1);
        }
        if (m_state != State::kGoing)
            return;
    }
    if (at + 1 == sectorBytes) {
        if ((m_what & kOleDifat) == 0)
            m_fields[2] += std::uint64_t {1} << 32;  // one more FAT sector read
        ReadNext();
    }
}

void EndFinder::Mp3(std::uint8_t b)
{
    if (m_step == kId3Head && m_at == 0 && b != 'I') {
        m_step = kMp3Header;  // frames from the first byte
        m_value = 0;
    }
    switch (m_step) {
    case kId3Head: {
        m_head[m_at] = b;
        if (m_at < 3 ? b != static_cast<std::uint8_t>("ID3"[m_at]) : (m_at == 3 ? (b < 2 || b > 4) : (m_at >= 6 && b >= 0x80)))
            return Break();
        if (m_at < 9)
            return;
        m_skip = std::uint64_t {m_head[6]} << 21 | m_head[7] << 14 | m_head[8] << 7 | m_head[9];
        if ((m_head[5] & 0x10) != 0)
            m_skip += 10;  // a footer
        m_held = 10;
        m_step = m_skip != 0 ? kId3Body : kMp3Header;
        m_value = 0;
        return;
    }
    case kMp3Header: {
        const std::uint32_t at = m_value++;
        m_head[at] = b;
        if (at == 0 && b == 'T' && m_fields[0] >= 3) {
            m_step = kMp3Tag;  // an ID3v1 tag after the audio
            return;
        }
        if (at == 0 && b != 0xFF) {
            // No frame: the audio ended with the one before.
            if (m_fields[0] >= 3)
                return End(m_held);
            return Break();
        }
        if (at < 3)
            return;
        std::uint32_t form = 0;
        const std::uint32_t bytes = Mp3FrameBytes(m_head, form);
        if (bytes < 4 || (m_fields[0] != 0 && form != m_type)) {
            if (m_fields[0] >= 3)
                return End(m_held);
            return Break();
        }
        m_type = form;
        m_skip = bytes - 4;
        m_step = kMp3Body;
        if (m_skip == 0) {
            m_step = kMp3Header;
            m_value = 0;
        }
        return;
    }
    case kMp3Tag: {
        const std::uint32_t at = m_value++;
        if (b != static_cast<std::uint8_t>("TAG"[at]))
            return End(m_held);
        if (at == 2) {
            m_skip = 125;
            m_step = kMp3TagBody;
        }
        return;
    }
    default:
        return Break();
    }
}

void EndFinder::Rtf(std::uint8_t b)
{
    // m_value: how deep in braces; m_fields[1]: 1 right after a backslash.
    if (m_at < 5) {
        if (b != static_cast<std::uint8_t>("{\\rtf"[m_at]))
            return Break();
        m_value = 1;
        m_held = m_at + 1;
        return;
    }
    if (b == 0)
        return Break();  // no text holds a NUL
    if (m_fields[1] != 0) {
        m_fields[1] = 0;  // an escaped character, braces too
    } else if (b == '\\') {
        m_fields[1] = 1;
    } else if (b == '{') {
        if (++m_value > (1u << 16))
            return Break();
    } else if (b == '}') {
        if (--m_value == 0)
            return End(m_at + 1);
    }
    m_held = m_at + 1;
}

void EndFinder::SevenZip(std::uint8_t b)
{
    // The start header: signature (6), version (2), its CRC (4), then the
    // next header's offset (8), size (8) and CRC (4).
    m_head[m_at] = b;
    if (m_at < 6 && b != k7zMagic[m_at])
        return Break();
    if (m_at < 31)
        return;
    std::uint64_t offset = 0, size = 0;
    for (int i = 7; i >= 0; --i) {
        offset = offset << 8 | m_head[12 + i];
        size = size << 8 | m_head[20 + i];
    }
    if (Crc32(m_head + 12, 20, 0) != LittleEndian(m_head + 8))
        return Break();
    if (size == 0)
        return offset == 0 ? End(32) : Break();
    if (offset > m_limit || size > m_limit - offset)
        return Break();
    m_held = 32;
    m_fields[0] = size;
    m_type = LittleEndian(m_head + 28);
    m_crc = 0;
    m_skip = offset;
    m_step = k7zBody;
    if (m_skip == 0) {
        m_skip = size;
        m_step = k7zTail;
    }
}

void EndFinder::Rar(std::uint8_t b)
{
    if (m_step == kRarSignature) {
        static const std::uint8_t kMagic[8] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
        if (m_at == 6 && b == 0) {
            m_fields[0] = 4;  // RAR 4: the signature is the marker block
        } else if (b != kMagic[m_at]) {
            return Break();
        } else if (m_at == 7) {
            m_fields[0] = 5;
        } else {
            return;
        }
        m_held = m_at + 1;
        m_step = kRarHead;
        m_value = 0;
        m_crc = 0;
        m_fields[1] = 0;
        return;
    }
    // kRarHead. RAR 4: CRC16 (2), type (1), flags (2), size (2), ...; the
    // CRC over all from the type on. RAR 5: CRC32 (4), the header's size
    // (a number of 1 to 3 bytes), the header; the CRC over all from the size on.
    const std::uint32_t at = m_value++;
    if (at < sizeof m_head)
        m_head[at] = b;
    const bool five = m_fields[0] == 5;
    if (at >= (five ? 4u : 2u))
        m_crc = Crc32(&b, 1, m_crc);
    if (m_fields[1] == 0) {
        if (!five && at == 6) {
            const std::uint32_t size = m_head[5] | std::uint32_t {m_head[6]} << 8;
            if (size < 7)
                return Break();
            m_fields[1] = size;
        } else if (five && at >= 4 && (b & 0x80) == 0) {
            std::size_t from = 4;
            std::uint64_t size = 0;
            if (!RarNumber(m_head, at + 1, from, size) || size == 0 || size > (2u << 20))
                return Break();
            m_fields[1] = at + 1 + size;
        } else if (five && at >= 6) {
            return Break();  // a header size of more than 3 bytes
        }
    }
    if (m_fields[1] == 0 || at + 1 < std::min<std::uint64_t>(m_fields[1], sizeof m_head))
        return;
    if (at + 1 < m_fields[1]) {
        m_skip = m_fields[1] - (at + 1);  // the rest of the header, past what is kept
        m_step = kRarHeadRest;
        return;
    }
    if (!RarBlock())
        Break();
}

// The header of a block is whole: checks it, and goes on past its data.
bool EndFinder::RarBlock()
{
    const bool five = m_fields[0] == 5;
    const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(m_fields[1], sizeof m_head));
    std::uint64_t type = 0, data = 0;
    bool last = false;
    if (five) {
        if (m_crc != LittleEndian(m_head))
            return false;
        std::size_t at = 4;
        std::uint64_t size = 0, flags = 0, extra = 0;
        if (!RarNumber(m_head, kept, at, size) || !RarNumber(m_head, kept, at, type) ||
            !RarNumber(m_head, kept, at, flags))
            return false;
        if ((flags & 1) != 0 && !RarNumber(m_head, kept, at, extra))
            return false;
        if ((flags & 2) != 0 && !RarNumber(m_head, kept, at, data))
            return false;
        if (type == 0 || type > 5)
            return false;
        last = type == 5;
        if (type == 2)
            m_fields[2] = 1;  // a file was met
    } else {
        if ((m_crc & 0xFFFF) != (m_head[0] | std::uint32_t {m_head[1]} << 8)) {
            // RAR before 3 wrote no end block: an archive that held files
            // ends where the blocks do.
            if (m_fields[2] != 0) {
                End(m_held);
                return true;
            }
            return false;
        }
        type = m_head[2];
        const std::uint32_t flags = m_head[3] | std::uint32_t {m_head[4]} << 8;
        if (type < 0x72 || type > 0x7B)
            return false;
        if ((flags & 0x8000) != 0 || type == 0x74) {
            if (kept < 11)
                return false;
            data = LittleEndian(m_head + 7);
            if (type == 0x74 && (flags & 0x100) != 0) {
                if (kept < 36)
                    return false;
                data |= std::uint64_t {LittleEndian(m_head + 32)} << 32;
            }
        }
        last = type == 0x7B;
        if (type == 0x74)
            m_fields[2] = 1;
    }
    if (last) {
        End(m_at + 1);
        return true;
    }
    m_held = m_at + 1;
    m_value = 0;
    m_crc = 0;
    m_fields[1] = 0;
    m_skip = data;
    m_step = data != 0 ? kRarData : kRarHead;
    return true;
}

}  // namespace filetypes
