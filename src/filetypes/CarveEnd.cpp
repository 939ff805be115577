#include "filetypes/CarveEnd.h"

#include "filetypes/ContentCheck.h"

#include <algorithm>
#include <cstring>

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
};

bool Skipping(std::uint8_t step)
{
    return step == kJpegSegment || step == kJpegScanHead || step == kPngData || step == kGifColors ||
           step == kGifLocalColors || step == kGifSubData || step == kSizedBody || step == kBoxBody ||
           step == kSqliteBody || step == kZipSkip || step == kZipTail;
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
    if (m_state == State::kGoing)
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
            if (m_step == kPngData)
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

}  // namespace filetypes
