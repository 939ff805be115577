#include "filetypes/ContentCheck.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace filetypes {
namespace {

// What is read of every file: a head that holds the usual JPEG metadata
// segments and a tail that holds a ZIP's end record with a short comment.
constexpr std::size_t kHeadBytes = 16 * 1024;
constexpr std::size_t kTailBytes = 4 * 1024;
constexpr std::size_t kLongestZipEnd = 64 * 1024 + 22;  // the end record with the longest comment

using Result = CheckResult;

std::uint32_t Be32(const std::uint8_t* p)
{
    return std::uint32_t {p[0]} << 24 | std::uint32_t {p[1]} << 16 | std::uint32_t {p[2]} << 8 | p[3];
}
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p)
{
    return std::uint32_t {p[0]} | std::uint32_t {p[1]} << 8 | std::uint32_t {p[2]} << 16 | std::uint32_t {p[3]} << 24;
}

// The first and last bytes of a file, read once.
struct Ends {
    std::vector<std::uint8_t> head;
    std::vector<std::uint8_t> tail;
    std::uint64_t tailOffset = 0;  // where `tail` begins in the file
};

bool ReadExactly(const ReadAt& read, std::uint64_t offset, std::uint8_t* out, std::size_t length)
{
    return read(offset, out, length) == length;
}

bool ReadEnds(std::uint64_t size, const ReadAt& read, Ends& ends)
{
    ends.head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeadBytes)));
    if (!ReadExactly(read, 0, ends.head.data(), ends.head.size()))
        return false;
    const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(size, kTailBytes));
    ends.tailOffset = size - tail;
    ends.tail.resize(tail);
    return ReadExactly(read, ends.tailOffset, ends.tail.data(), tail);
}

bool StartsWith(const std::vector<std::uint8_t>& bytes, std::string_view prefix)
{
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// The tail without the zeros a writer may have padded it with (at most 512).
std::size_t TrimmedEnd(const std::vector<std::uint8_t>& tail)
{
    std::size_t end = tail.size();
    while (end > 0 && tail.size() - end < 512 && tail[end - 1] == 0)
        --end;
    return end;
}

Result CheckJpeg(const Ends& e)
{
    const auto& h = e.head;
    if (h.size() < 4 || h[0] != 0xFF || h[1] != 0xD8 || h[2] != 0xFF)
        return Result::kFailsAtStart;
    // The segments up to the start of the scan, as far as the head holds them.
    std::size_t at = 2;
    while (at + 4 <= h.size()) {
        if (h[at] != 0xFF)
            return Result::kFailsLater;
        std::uint8_t marker = h[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            at += 2;
            continue;
        }
        const std::uint16_t length = Be16(&h[at + 2]);
        if (length < 2 || marker == 0x00 || marker == 0xD8)
            return Result::kFailsLater;
        at += 2 + std::size_t {length};
    }
    const std::size_t end = TrimmedEnd(e.tail);
    if (end < 2 || e.tail[end - 2] != 0xFF || e.tail[end - 1] != 0xD9)
        return Result::kFailsLater;
    return Result::kPasses;
}

Result CheckPng(const Ends& e)
{
    static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const auto& h = e.head;
    if (h.size() < 8 || std::memcmp(h.data(), kSignature, 8) != 0)
        return Result::kFailsAtStart;
    // Every chunk the head holds whole: letters for its type, its CRC right.
    std::size_t at = 8;
    bool first = true;
    while (at + 12 <= h.size()) {
        const std::uint32_t length = Be32(&h[at]);
        const std::uint8_t* type = &h[at + 4];
        for (int i = 0; i < 4; ++i) {
            if (!std::isalpha(type[i]))
                return Result::kFailsLater;
        }
        if (first && (std::memcmp(type, "IHDR", 4) != 0 || length != 13))
            return Result::kFailsLater;
        first = false;
        if (length > h.size() - at - 12)
            break;
        if (Crc32(type, 4 + std::size_t {length}) != Be32(&h[at + 8 + length]))
            return Result::kFailsLater;
        if (std::memcmp(type, "IEND", 4) == 0)
            break;
        at += 12 + std::size_t {length};
    }
    static constexpr std::uint8_t kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    if (e.tail.size() < 12 || std::memcmp(e.tail.data() + e.tail.size() - 12, kEnd, 12) != 0)
        return Result::kFailsLater;
    return Result::kPasses;
}

Result CheckGif(const Ends& e)
{
    if (!StartsWith(e.head, "GIF87a") && !StartsWith(e.head, "GIF89a"))
        return Result::kFailsAtStart;
    if (e.head.size() < 13 || Le16(&e.head[6]) == 0 || Le16(&e.head[8]) == 0)
        return Result::kFailsLater;
    const std::size_t end = TrimmedEnd(e.tail);
    return end != 0 && e.tail[end - 1] == 0x3B ? Result::kPasses : Result::kFailsLater;
}

Result CheckPdf(const Ends& e)
{
    // The header may follow a little junk, within the first KiB.
    const std::string_view head(reinterpret_cast<const char*>(e.head.data()), std::min<std::size_t>(e.head.size(), 1024));
    if (head.find("%PDF-") == std::string_view::npos)
        return Result::kFailsAtStart;
    const std::size_t last = std::min<std::size_t>(e.tail.size(), 1024);
    const std::string_view tail(reinterpret_cast<const char*>(e.tail.data() + e.tail.size() - last), last);
    return tail.find("%%EOF") != std::string_view::npos ? Result::kPasses : Result::kFailsLater;
}

Result CheckZip(const Ends& e, std::uint64_t size, const ReadAt& read)
{
    if (!StartsWith(e.head, std::string_view("PK\x03\x04", 4)))
        return Result::kFailsAtStart;
    // The first local headers, each where the one before says it ends.
    std::uint64_t at = 0;
    for (int entry = 0; entry < 4; ++entry) {
        std::uint8_t header[30];
        if (at + 30 > size || !ReadExactly(read, at, header, 30))
            return Result::kFailsLater;
        const std::uint32_t signature = Le32(header);
        if (signature == 0x02014b50 || signature == 0x06054b50)  // the central directory begins
            break;
        if (signature != 0x04034b50)
            return Result::kFailsLater;
        const std::uint32_t compressed = Le32(header + 18);
        // Sizes given after the data (or in a ZIP64 field): the next header
        // cannot be found from this one.
        if ((Le16(header + 6) & 8) != 0 || compressed == 0xFFFFFFFF)
            break;
        at += 30 + std::uint64_t {Le16(header + 26)} + Le16(header + 28) + compressed;
    }
    // The end of central directory record, and the directory where it says;
    // past the usual tail only when the record is not in it.
    std::vector<std::uint8_t> longer;
    const std::vector<std::uint8_t>* tail = &e.tail;
    std::uint64_t tailOffset = e.tailOffset;
    if (e.tail.size() < size && e.tail.size() < kLongestZipEnd &&
        std::string_view(reinterpret_cast<const char*>(e.tail.data()), e.tail.size()).find("PK\x05\x06") ==
            std::string_view::npos) {
        longer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kLongestZipEnd)));
        tailOffset = size - longer.size();
        if (!ReadExactly(read, tailOffset, longer.data(), longer.size()))
            return Result::kFailsLater;
        tail = &longer;
    }
    const auto& t = *tail;
    if (t.size() < 22)
        return Result::kFailsLater;
    for (std::size_t i = t.size() - 22 + 1; i-- > 0;) {
        if (Le32(&t[i]) != 0x06054b50)
            continue;
        const std::uint64_t recordAt = tailOffset + i;
        const std::uint32_t dirSize = Le32(&t[i + 12]);
        const std::uint32_t dirOffset = Le32(&t[i + 16]);
        if (dirOffset == 0xFFFFFFFF || dirSize == 0xFFFFFFFF)  // ZIP64: its locator stands before
            return i >= 20 && Le32(&t[i - 20]) == 0x07064b50 ? Result::kPasses : Result::kFailsLater;
        if (std::uint64_t {dirOffset} + dirSize != recordAt)
            continue;  // a comment that holds the signature
        std::uint8_t first[4];
        if (dirSize != 0 && (!ReadExactly(read, dirOffset, first, 4) || Le32(first) != 0x02014b50))
            return Result::kFailsLater;
        return Result::kPasses;
    }
    return Result::kFailsLater;
}

bool BoxType(const std::uint8_t* type)
{
    for (int i = 0; i < 4; ++i) {
        if (!std::isalnum(type[i]) && type[i] != ' ' && type[i] != 0xA9 && type[i] != '-' && type[i] != '_')
            return false;
    }
    return true;
}

Result CheckMp4(std::uint64_t size, const ReadAt& read)
{
    std::uint64_t at = 0;
    bool movie = false;
    for (int box = 0; box < 256 && at < size; ++box) {
        std::uint8_t header[16];
        if (at + 8 > size || !ReadExactly(read, at, header, 8))
            return Result::kFailsLater;
        std::uint64_t length = Be32(header);
        if (!BoxType(header + 4))
            return box == 0 ? Result::kFailsAtStart : Result::kFailsLater;
        if (std::memcmp(header + 4, "moov", 4) == 0 || std::memcmp(header + 4, "moof", 4) == 0)
            movie = true;
        if (length == 1) {
            if (at + 16 > size || !ReadExactly(read, at + 8, header + 8, 8))
                return Result::kFailsLater;
            length = std::uint64_t {Be32(header + 8)} << 32 | Be32(header + 12);
            if (length < 16)
                return Result::kFailsLater;
        } else if (length == 0) {  // the last box runs to the end
            length = size - at;
        } else if (length < 8) {
            return box == 0 ? Result::kFailsAtStart : Result::kFailsLater;
        }
        if (length > size - at)
            return Result::kFailsLater;
        at += length;
    }
    return at == size && movie ? Result::kPasses : Result::kFailsLater;
}

Result CheckOle(const Ends& e, std::uint64_t size, const ReadAt& read)
{
    static constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    const auto& h = e.head;
    if (h.size() < 512 || std::memcmp(h.data(), kSignature, 8) != 0)
        return Result::kFailsAtStart;
    const std::uint16_t shift = Le16(&h[30]);
    if (Le16(&h[28]) != 0xFFFE || (shift != 9 && shift != 12) || Le16(&h[32]) != 6)
        return Result::kFailsLater;
    // The directory's first entry is the root storage.
    const std::uint64_t sector = Le32(&h[48]);
    const std::uint64_t at = (sector + 1) << shift;
    std::uint8_t root[128];
    if (sector >= 0xFFFFFFFA || at + 128 > size || !ReadExactly(read, at, root, 128))
        return Result::kFailsLater;
    static constexpr char16_t kRoot[] = u"Root Entry";
    for (std::size_t i = 0; i < 10; ++i) {
        if (Le16(root + 2 * i) != kRoot[i])
            return Result::kFailsLater;
    }
    return root[66] == 5 ? Result::kPasses : Result::kFailsLater;
}

}  // namespace

ContentKind CheckableKind(std::string_view extension)
{
    std::string lower(extension);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static constexpr std::pair<std::string_view, ContentKind> kKinds[] = {
        {"jpg", ContentKind::kJpeg},  {"jpeg", ContentKind::kJpeg}, {"jpe", ContentKind::kJpeg},
        {"jfif", ContentKind::kJpeg}, {"png", ContentKind::kPng},   {"gif", ContentKind::kGif},
        {"pdf", ContentKind::kPdf},   {"zip", ContentKind::kZip},   {"docx", ContentKind::kZip},
        {"xlsx", ContentKind::kZip},  {"pptx", ContentKind::kZip},  {"odt", ContentKind::kZip},
        {"ods", ContentKind::kZip},   {"odp", ContentKind::kZip},   {"epub", ContentKind::kZip},
        {"jar", ContentKind::kZip},   {"apk", ContentKind::kZip},   {"mp4", ContentKind::kMp4},
        {"m4v", ContentKind::kMp4},   {"m4a", ContentKind::kMp4},   {"mov", ContentKind::kMp4},
        {"3gp", ContentKind::kMp4},   {"3g2", ContentKind::kMp4},   {"doc", ContentKind::kOle},
        {"xls", ContentKind::kOle},   {"ppt", ContentKind::kOle},   {"msg", ContentKind::kOle},
    };
    for (const auto& [name, kind] : kKinds) {
        if (lower == name)
            return kind;
    }
    return ContentKind::kNone;
}

CheckResult CheckContent(ContentKind kind, std::uint64_t size, const ReadAt& read)
{
    if (kind == ContentKind::kNone || size < 8)
        return Result::kNotCheckable;
    if (kind == ContentKind::kMp4)
        return CheckMp4(size, read);
    Ends ends;
    if (!ReadEnds(size, read, ends))
        return Result::kFailsLater;  // its data ends before its size
    switch (kind) {
    case ContentKind::kJpeg: return CheckJpeg(ends);
    case ContentKind::kPng: return CheckPng(ends);
    case ContentKind::kGif: return CheckGif(ends);
    case ContentKind::kPdf: return CheckPdf(ends);
    case ContentKind::kZip: return CheckZip(ends, size, read);
    case ContentKind::kOle: return CheckOle(ends, size, read);
    default: return Result::kNotCheckable;
    }
}

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length, std::uint32_t crc)
{
    // Eight tables, so that eight bytes are taken at a time (table k: the
    // CRC of a byte followed by k zero bytes).
    using Tables = std::array<std::array<std::uint32_t, 256>, 8>;
    static const Tables kTables = [] {
        Tables t {};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (std::size_t k = 1; k < 8; ++k)
            for (std::uint32_t n = 0; n < 256; ++n)
                t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
        return t;
    }();
    const auto le32 = [](const std::uint8_t* p) {
        return std::uint32_t {p[0]} | std::uint32_t {p[1]} << 8 | std::uint32_t {p[2]} << 16 | std::uint32_t {p[3]} << 24;
    };
    crc = ~crc;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const std::uint32_t one = le32(bytes + i) ^ crc;
        const std::uint32_t two = le32(bytes + i + 4);
        crc = kTables[7][one & 0xFF] ^ kTables[6][(one >> 8) & 0xFF] ^ kTables[5][(one >> 16) & 0xFF] ^
              kTables[4][one >> 24] ^ kTables[3][two & 0xFF] ^ kTables[2][(two >> 8) & 0xFF] ^
              kTables[1][(two >> 16) & 0xFF] ^ kTables[0][two >> 24];
    }
    for (; i < length; ++i)
        crc = kTables[0][(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace filetypes
