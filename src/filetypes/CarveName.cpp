#include "filetypes/CarveName.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace filetypes {
namespace {

bool StartsWith(const std::uint8_t* p, std::size_t size, std::string_view text)
{
    return size >= text.size() && std::memcmp(p, text.data(), text.size()) == 0;
}

// The extension of a ZIP by the names of the entries its first bytes hold
// (their local headers are plain text whatever the data's compression).
std::string ZipExtension(const std::uint8_t* head, std::size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(head), size);
    bool office = false;
    for (std::size_t at = bytes.find("PK\x03\x04"); at != std::string_view::npos && at + 30 <= size;
         at = bytes.find("PK\x03\x04", at + 4)) {
        const std::size_t length = head[at + 26] | std::size_t {head[at + 27]} << 8;
        const std::size_t extra = head[at + 28] | std::size_t {head[at + 29]} << 8;
        if (at + 30 + length > size)
            break;
        const std::string_view name = bytes.substr(at + 30, length);
        if (name == "mimetype") {
            const std::string_view type = bytes.substr(std::min(size, at + 30 + length + extra), 64);
            if (type.starts_with("application/epub+zip"))
                return "epub";
            if (type.starts_with("application/vnd.oasis.opendocument.text"))
                return "odt";
            if (type.starts_with("application/vnd.oasis.opendocument.spreadsheet"))
                return "ods";
            if (type.starts_with("application/vnd.oasis.opendocument.presentation"))
                return "odp";
        }
        office = office || name == "[Content_Types].xml";
        if (office && name.starts_with("word/"))
            return "docx";
        if (office && name.starts_with("xl/"))
            return "xlsx";
        if (office && name.starts_with("ppt/"))
            return "pptx";
        if (name == "META-INF/MANIFEST.MF")
            return "jar";
        if (name == "AndroidManifest.xml")
            return "apk";
    }
    return "zip";
}

// A TIFF structure's numbers, in the byte order its header names.
struct Tiff {
    const std::uint8_t* base;
    std::size_t size;
    bool big;

    std::uint32_t U16(std::size_t at) const
    {
        if (at + 2 > size)
            return 0;
        return big ? (base[at] << 8 | base[at + 1]) : (base[at] | base[at + 1] << 8);
    }
    std::uint32_t U32(std::size_t at) const
    {
        if (at + 4 > size)
            return 0;
        return big ? (U16(at) << 16 | U16(at + 2)) : (U16(at) | U16(at + 2) << 16);
    }
    // The value (or its offset) of `tag` in the folder of entries at `ifd`;
    // 0 when it is not there.
    std::uint32_t Find(std::size_t ifd, std::uint32_t tag) const
    {
        const std::uint32_t count = U16(ifd);
        for (std::uint32_t i = 0; i < count && i < 512; ++i) {
            const std::size_t e = ifd + 2 + std::size_t {i} * 12;
            if (e + 12 > size)
                break;
            if (U16(e) == tag)
                return U32(e + 8);
        }
        return 0;
    }
};

// A TIFF file's extension: the raw formats built on TIFF by what their
// first directory says of the camera.
std::string TiffExtension(const std::uint8_t* head, std::size_t size)
{
    if (size >= 10 && head[8] == 'C' && head[9] == 'R')
        return "cr2";
    const Tiff tiff {head, size, size != 0 && head[0] == 'M'};
    const std::uint32_t ifd0 = tiff.U32(4);
    const std::uint32_t count = tiff.U16(ifd0);
    for (std::uint32_t i = 0; i < count && i < 512; ++i) {
        const std::size_t e = ifd0 + 2 + std::size_t {i} * 12;
        if (e + 12 > size)
            break;
        if (tiff.U16(e) == 0xC612)  // DNGVersion
            return "dng";
        if (tiff.U16(e) == 0x010F) {  // Make
            const std::uint64_t length = tiff.U32(e + 4);
            const std::uint64_t at = length <= 4 ? e + 8 : tiff.U32(e + 8);
            const std::string_view make(reinterpret_cast<const char*>(head) + std::min<std::uint64_t>(at, size),
                                        static_cast<std::size_t>(std::min<std::uint64_t>(length, size - std::min<std::uint64_t>(at, size))));
            if (make.starts_with("NIKON"))
                return "nef";
            if (make.starts_with("SONY"))
                return "arw";
            if (make.starts_with("Canon"))
                return "cr2";
        }
    }
    return "tif";
}

// A compound file's extension by the names of the streams its first bytes
// hold (its directory, in UTF-16).
std::string OleExtension(const std::uint8_t* head, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(head), size);
    const auto holds = [&bytes](std::string_view name) {
        std::string wide;
        for (const char c : name)
            wide += std::string {c, '\0'};
        return bytes.find(wide) != std::string_view::npos;
    };
    if (holds("WordDocument"))
        return "doc";
    if (holds("Workbook") || holds("Book"))
        return "xls";
    if (holds("PowerPoint Document"))
        return "ppt";
    if (holds("__substg1.0_"))
        return "msg";
    if (holds("VisioDocument"))
        return "vsd";
    return "ole";
}

// "YYYY:MM:DD HH:MM:SS" as "YYYYMMDD_HHMMSS"; "" for anything else.
std::string TakenTime(const std::uint8_t* p, std::size_t size)
{
    static const char kShape[] = "dddd:dd:dd dd:dd:dd";
    if (size < 19)
        return "";
    std::string out;
    for (std::size_t i = 0; i < 19; ++i) {
        const bool digit = p[i] >= '0' && p[i] <= '9';
        if (kShape[i] == 'd' ? !digit : p[i] != kShape[i])
            return "";
        if (digit)
            out += static_cast<char>(p[i]);
        if (i == 9)
            out += '_';
    }
    // A camera whose clock was never set writes zeros.
    const int year = std::stoi(out.substr(0, 4));
    const int month = std::stoi(out.substr(4, 2));
    const int day = std::stoi(out.substr(6, 2));
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31)
        return "";
    return out;
}

void AppendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The characters of a PDF text string's bytes: UTF-16 after its byte order
// mark, else one character a byte.
std::string PdfText(const std::string& bytes)
{
    std::string out;
    if (bytes.size() >= 2 && static_cast<std::uint8_t>(bytes[0]) == 0xFE && static_cast<std::uint8_t>(bytes[1]) == 0xFF) {
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const std::uint32_t c = static_cast<std::uint8_t>(bytes[i]) << 8 | static_cast<std::uint8_t>(bytes[i + 1]);
            if (c < 0xD800 || c > 0xDFFF)
                AppendUtf8(out, c);
        }
        return out;
    }
    for (const char b : bytes)
        AppendUtf8(out, static_cast<std::uint8_t>(b));
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string CarveExtension(CarveKind kind, const std::uint8_t* head, std::size_t size)
{
    switch (kind) {
    case CarveKind::kJpeg: return "jpg";
    case CarveKind::kPng: return "png";
    case CarveKind::kGif: return "gif";
    case CarveKind::kBmp: return "bmp";
    case CarveKind::kRiff:
        if (size >= 12 && StartsWith(head + 8, 4, "WAVE"))
            return "wav";
        if (size >= 12 && StartsWith(head + 8, 4, "AVI "))
            return "avi";
        if (size >= 12 && StartsWith(head + 8, 4, "WEBP"))
            return "webp";
        return "riff";
    case CarveKind::kMp4: {
        if (size < 12)
            return "mp4";
        const std::uint8_t* brand = head + 8;
        if (StartsWith(brand, 4, "qt  "))
            return "mov";
        if (StartsWith(brand, 3, "3gp") || StartsWith(brand, 3, "3g2"))
            return "3gp";
        if (StartsWith(brand, 4, "heic") || StartsWith(brand, 4, "heix") || StartsWith(brand, 4, "mif1") ||
            StartsWith(brand, 4, "msf1") || StartsWith(brand, 4, "hevc"))
            return "heic";
        if (StartsWith(brand, 4, "avif"))
            return "avif";
        if (StartsWith(brand, 4, "M4A "))
            return "m4a";
        if (StartsWith(brand, 4, "M4V "))
            return "m4v";
        return "mp4";
    }
    case CarveKind::kSqlite: return "sqlite";
    case CarveKind::kPdf: return "pdf";
    case CarveKind::kZip: return ZipExtension(head, size);
    case CarveKind::kTiff: return TiffExtension(head, size);
    case CarveKind::kOle: return OleExtension(head, size);
    case CarveKind::kMp3: return "mp3";
    case CarveKind::kRtf: return "rtf";
    case CarveKind::k7z: return "7z";
    case CarveKind::kRar: return "rar";
    }
    return "bin";
}

namespace {

// The date and time a TIFF structure says its picture was taken.
std::string TiffTakenTime(const Tiff& tiff)
{
    const std::uint32_t ifd0 = tiff.U32(4);
    const std::uint32_t exif = tiff.Find(ifd0, 0x8769);
    // (Offsets are 32-bit numbers from the file: added to in 64 bits.)
    std::uint64_t text = exif != 0 ? tiff.Find(exif, 0x9003) : 0;  // DateTimeOriginal
    if (text == 0 || text + 19 > tiff.size)
        text = tiff.Find(ifd0, 0x0132);  // DateTime
    if (text == 0 || text + 19 > tiff.size)
        return "";
    return TakenTime(tiff.base + text, static_cast<std::size_t>(tiff.size - text));
}

bool TiffHeader(const std::uint8_t* p, std::size_t size)
{
    return StartsWith(p, size, std::string_view("II*\0", 4)) || StartsWith(p, size, std::string_view("MM\0*", 4));
}

}  // namespace

namespace {

// The TIFF structure of the EXIF data of a JPEG, TIFF or raw photo beginning
// with `head`, and where it starts in `head`; false when there is none in
// the bytes given.
bool FindExif(const std::uint8_t* head, std::size_t size, Tiff& tiff, std::size_t& start)
{
    // A TIFF, or a raw photo built on it, is its own EXIF.
    if (TiffHeader(head, size)) {
        tiff = Tiff {head, size, head[0] == 'M'};
        start = 0;
        return true;
    }
    if (size < 2 || head[0] != 0xFF || head[1] != 0xD8)
        return false;
    // The segments before the image data, up to the one holding EXIF.
    std::size_t at = 2;
    for (int segments = 0; segments < 16 && at + 4 <= size; ++segments) {
        if (head[at] != 0xFF)
            return false;
        const std::uint8_t marker = head[at + 1];
        const std::size_t length = std::size_t {head[at + 2]} << 8 | head[at + 3];
        if (marker == 0xDA || length < 2)
            return false;
        if (marker == 0xE1 && length >= 16 && at + 4 + 6 <= size && std::memcmp(head + at + 4, "Exif\0\0", 6) == 0) {
            const std::size_t base = at + 10;
            const std::size_t end = std::min(size, at + 2 + length);
            if (end < base + 8 || !TiffHeader(head + base, end - base))
                return false;  // not even the TIFF header
            tiff = Tiff {head + base, end - base, head[base] == 'M'};
            start = base;
            return true;
        }
        at += 2 + length;
    }
    return false;
}

}  // namespace

std::string ExifTakenTime(const std::uint8_t* head, std::size_t size)
{
    Tiff tiff {};
    std::size_t start = 0;
    return FindExif(head, size, tiff, start) ? TiffTakenTime(tiff) : "";
}

bool ExifThumbnail(const std::uint8_t* head, std::size_t size, std::size_t& offset, std::size_t& length)
{
    Tiff tiff {};
    std::size_t start = 0;
    if (!FindExif(head, size, tiff, start))
        return false;
    // The second directory is the thumbnail's: a JPEG, by its place and length.
    const std::uint32_t ifd0 = tiff.U32(4);
    const std::uint32_t entries = tiff.U16(ifd0);
    if (ifd0 == 0 || entries == 0 || entries > 512)
        return false;
    const std::uint32_t ifd1 = tiff.U32(std::size_t {ifd0} + 2 + std::size_t {entries} * 12);
    if (ifd1 == 0 || ifd1 == ifd0)
        return false;
    const std::uint64_t at = tiff.Find(ifd1, 0x0201);
    const std::uint64_t bytes = tiff.Find(ifd1, 0x0202);
    if (at == 0 || bytes < 4 || at + bytes > tiff.size)
        return false;
    const std::uint8_t* picture = tiff.base + at;
    if (picture[0] != 0xFF || picture[1] != 0xD8)
        return false;
    offset = start + static_cast<std::size_t>(at);
    length = static_cast<std::size_t>(bytes);
    return true;
}

bool IsShownPicture(const std::uint8_t* head, std::size_t size)
{
    return StartsWith(head, size, "\xFF\xD8\xFF") || StartsWith(head, size, "\x89PNG") || StartsWith(head, size, "GIF8") ||
           StartsWith(head, size, "BM") ||
           (StartsWith(head, size, "RIFF") && size >= 12 && StartsWith(head + 8, size - 8, "WEBP"));
}

std::string PdfTitle(const std::uint8_t* head, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(head), size);
    for (std::size_t at = bytes.find("/Title"); at != std::string_view::npos; at = bytes.find("/Title", at + 6)) {
        std::size_t i = at + 6;
        while (i < size && (bytes[i] == ' ' || bytes[i] == '\r' || bytes[i] == '\n' || bytes[i] == '\t'))
            ++i;
        if (i >= size)
            break;
        std::string raw;
        if (bytes[i] == '(') {
            int depth = 1;
            for (++i; i < size && raw.size() < 1024; ++i) {
                char c = bytes[i];
                if (c == '\\' && i + 1 < size) {
                    c = bytes[++i];
                    if (c == 'n' || c == 'r' || c == 't')
                        c = ' ';
                } else if (c == '(') {
                    ++depth;
                } else if (c == ')' && --depth == 0) {
                    break;
                }
                raw += c;
            }
            if (depth != 0)
                continue;
        } else if (bytes[i] == '<') {
            for (++i; i + 1 < size && bytes[i] != '>' && raw.size() < 1024; i += 2) {
                const int high = HexDigit(bytes[i]);
                const int low = HexDigit(bytes[i + 1]);
                if (high < 0 || low < 0)
                    break;
                raw += static_cast<char>(high << 4 | low);
            }
        } else {
            continue;
        }
        std::string title = FileNameSafe(PdfText(raw));
        if (!title.empty())
            return title;
    }
    return "";
}

std::string FileNameSafe(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<std::uint8_t>(c);
        if (u < 0x20 || u == 0x7F)
            out += ' ';
        else if (std::strchr("\\/:*?\"<>|", c) != nullptr)
            out += '_';
        else
            out += c;
    }
    // Runs of spaces as one; none at the ends, nor dots at the end.
    std::string squeezed;
    for (const char c : out) {
        if (c == ' ' && (squeezed.empty() || squeezed.back() == ' '))
            continue;
        squeezed += c;
    }
    constexpr std::size_t kMost = 100;
    if (squeezed.size() > kMost) {
        std::size_t cut = kMost;
        while (cut > 0 && (static_cast<std::uint8_t>(squeezed[cut]) & 0xC0) == 0x80)
            --cut;
        squeezed.resize(cut);
    }
    while (!squeezed.empty() && (squeezed.back() == ' ' || squeezed.back() == '.'))
        squeezed.pop_back();
    return squeezed;
}

}  // namespace filetypes
