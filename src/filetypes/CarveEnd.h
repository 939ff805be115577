// Where a file ends, by its own structure, when nothing but its bytes is
// left: the bytes are fed in order from the file's first byte, in pieces of
// any size (as a pass over a volume reads them), and the finder follows the
// format until its end mark, or until the structure breaks. It keeps a few
// numbers of state and never looks back, so a file costs the reading of its
// bytes once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace filetypes {

enum class CarveKind : std::uint8_t {
    kJpeg,  // segments to EOI; the entropy-coded data scanned for markers
    kPng,   // chunks to IEND, each CRC checked
    kGif,   // blocks and sub-blocks to the trailer
    kBmp,   // the file size its header gives
    kRiff,  // the size its RIFF header gives (WAV, AVI, WebP)
    kMp4,   // top-level boxes (MP4, MOV, 3GP, HEIC), from ftyp to the first that is none
    kSqlite,  // page size times page count, when the header's count can be trusted
    kPdf,   // the last %%EOF (with its line end) before the bound
    kZip,   // local entries, the central directory, its end (DOCX, XLSX, ODT, EPUB, JAR)
    kTiff,  // the last byte its directories, strips and tiles point at (TIFF, CR2, NEF, ARW, DNG)
    kOle,   // a compound file: the sectors its FAT says are used (DOC, XLS, PPT, MSG)
    kMp3,   // an ID3v2 tag, MPEG audio frames to the first that is none, an ID3v1 tag
    kRtf,   // to the brace that closes the first
    k7z,    // to the end of the header its start header places, that header's CRC checked
    kRar,   // blocks to the end-of-archive block, each header's CRC checked (RAR 4 and 5)
};

// The kind of file whose first bytes these are, among those an end can be
// found for; false when they begin none.
bool CarveKindOf(const std::uint8_t* head, std::size_t size, CarveKind& kind);

class EndFinder {
public:
    enum class State : std::uint8_t {
        kGoing,   // the structure holds so far; more bytes are wanted
        kEnded,   // the end mark was met: Size() is the file's size
        kBroken,  // the structure broke (or ran past the limit): Size() is how far it held
    };

    // A file of `kind` that cannot be longer than `limit` bytes.
    EndFinder(CarveKind kind, std::uint64_t limit);

    // Takes the next `n` bytes of the file. Bytes after the end, or after
    // a break, are not looked at. (A PDF has no end mark of its own: it
    // ends at the bound, or when Finish is called, at its last %%EOF.)
    State Feed(const std::uint8_t* bytes, std::size_t n);
    // No more bytes come (the volume ended): a file still going is broken.
    State Finish();

    State Current() const { return m_state; }
    std::uint64_t Size() const { return m_state == State::kGoing ? m_held : m_size; }
    CarveKind Kind() const { return m_kind; }

private:
    void End(std::uint64_t size);
    void Break();
    void Byte(std::uint8_t b);
    void Jpeg(std::uint8_t b);
    void Png(std::uint8_t b);
    void Gif(std::uint8_t b);
    void Sized(std::uint8_t b);
    void Mp4(std::uint8_t b);
    void Sqlite(std::uint8_t b);
    void Pdf(std::uint8_t b);
    void Zip(std::uint8_t b);
    void Tiff(std::uint8_t b);
    void Ole(std::uint8_t b);
    void Mp3(std::uint8_t b);
    void Rtf(std::uint8_t b);
    void SevenZip(std::uint8_t b);
    void Rar(std::uint8_t b);
    // TIFF and compound files: what is read next, the nearest place first.
    void Await(std::uint64_t offset, std::uint64_t what);
    void ReadNext();
    void TiffEntry();
    void TiffValue(std::uint32_t slot, bool offsets, std::uint32_t index, std::uint64_t value);
    std::uint64_t TiffEnd() const;
    bool RarBlock();

    CarveKind m_kind;
    State m_state = State::kGoing;
    std::uint64_t m_limit;
    std::uint64_t m_at = 0;    // bytes taken so far
    std::uint64_t m_held = 0;  // where the last whole part (segment, chunk, block) ended
    std::uint64_t m_size = 0;
    // The state of the format's walk: which field is read, what it adds up
    // to, and how many bytes of the current part are still to come.
    std::uint8_t m_step = 0;
    std::uint32_t m_value = 0;
    std::uint64_t m_skip = 0;
    std::uint32_t m_crc = 0;
    std::uint32_t m_type = 0;
    std::uint8_t m_head[80] {};  // a BMP, RIFF or 7z header, a box header, a ZIP record's fixed part,
                                 // an MP3 frame header, a TIFF entry, a compound file's header, a RAR header
    bool m_bigEndian = false;    // TIFF
    // MP4: which boxes were met (bit 0 moov, bit 1 mdat). SQLite: the page
    // size, the change counter and the page count. PDF: where the last
    // %%EOF line ended.
    std::uint64_t m_fields[3] {};
    // TIFF and compound files: the places still to be read (a heap by
    // offset, with what each holds), and for TIFF the strips of each
    // directory, paired when the walk ends.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> m_waiting;
    std::uint64_t m_what = 0;  // what the place being read holds
    struct Strips {
        std::uint64_t lastOffset = 0;   // the greatest offset and its index
        std::uint32_t lastIndex = 0;
        std::uint64_t lastCount = 0;    // the count at that index, once read
        std::uint64_t largestCount = 0;
        bool offsetsRead = false;
        bool countRead = false;
    };
    std::vector<Strips> m_strips;
};

}  // namespace filetypes
