// The bytes of one found file, in order, as its file system stores them:
// NTFS runs with their holes, LZNT1 compression and data resident in the
// record; FAT32 and exFAT cluster chains, resolved once into runs. One reader
// per file system; recovery (and anything that shows a file's contents)
// reads through these and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace scan {

class CBaseFileObject;
class VolumeScanner;

// Why a file's bytes could not all be given back as they were (bits).
enum ContentFault : std::uint32_t {
    kFaultUnreadable = 1u << 0,        // sectors that could not be read were zero-filled
    kFaultDataEnds = 1u << 1,          // the clusters end before the file does (a broken chain, runs cut short)
    kFaultTornRecord = 1u << 2,        // NTFS: the record was torn, so what it says may be incomplete
    kFaultEncrypted = 1u << 3,         // NTFS EFS: the bytes cannot be decrypted here
    kFaultUnsupported = 1u << 4,       // a compression NTFS does not define, or one too large to hold
    kFaultDamagedCompression = 1u << 5,  // an LZNT1 unit that does not decode; the rest of it is zeros
    kFaultNoData = 1u << 6,            // nothing says where the data is (a folder, no runs, the record gone)
    kFaultMediumGone = 1u << 7,        // the device went away while reading
    kFaultPastEnd = 1u << 8,           // its data lies past the end of the device (an image or disk cut short)
};

struct ContentReport {
    std::uint32_t faults = 0;              // ContentFault bits
    std::uint64_t unreadableSectors = 0;   // 512-byte sectors zero-filled
    std::uint64_t damagedUnits = 0;        // LZNT1 units that did not decode
};

// One run of a file's data, in file order.
struct ContentPiece {
    std::uint64_t fileOffset = 0;
    std::uint64_t bytes = 0;
    std::uint64_t sector = 0;  // where it begins on the volume; unused for a hole
    bool hole = false;         // reads as zeros
};

// Where a file's bytes lie: pieces in file order, read with bad sectors
// zero-filled.
class ContentMap {
public:
    ContentMap() = default;
    explicit ContentMap(std::vector<ContentPiece> pieces);

    // Bytes the pieces cover from the start of the file.
    std::uint64_t Bytes() const { return m_pieces.empty() ? 0 : m_pieces.back().fileOffset + m_pieces.back().bytes; }
    // Bytes of [offset, offset + length) that lie in pieces with sectors,
    // counting only those before the first hole in that range.
    std::uint64_t AllocatedPrefix(std::uint64_t offset, std::uint64_t length) const;
    // Places bytes [offset, offset + length) of the map (holes as zeros) into
    // `out`. Returns the bytes placed: short where the map ends, the device
    // ends or the medium is gone.
    std::size_t Read(VolumeScanner& volume, std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     ContentReport& report) const;

private:
    std::vector<ContentPiece>::const_iterator PieceAt(std::uint64_t offset) const;

    std::vector<ContentPiece> m_pieces;
};

class FileContentReader {
public:
    virtual ~FileContentReader() = default;
    FileContentReader(const FileContentReader&) = delete;
    FileContentReader& operator=(const FileContentReader&) = delete;

    std::uint64_t Size() const { return m_size; }
    const ContentReport& Report() const { return m_report; }

    // Bytes [offset, offset + length) of the file, clipped to its size, into
    // `out`. Returns the bytes placed: fewer than asked only where the
    // file's data ends before its size (a broken chain, runs that stop
    // short, data that cannot be had); Report() says why. Sectors that
    // cannot be read are zero-filled and counted, and the read goes on.
    std::size_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t length);

protected:
    FileContentReader(VolumeScanner& volume, const CBaseFileObject& file);
    // Bytes [offset, offset + length), all below the valid size.
    virtual std::size_t ReadData(std::uint64_t offset, std::uint8_t* out, std::size_t length) = 0;

    VolumeScanner& m_volume;
    ContentReport m_report;

private:
    std::uint64_t m_size = 0;
    std::uint64_t m_validSize = 0;
};


// A reader that gives nothing, with `faults` as the reason.
std::unique_ptr<FileContentReader> NoContent(VolumeScanner& volume, const CBaseFileObject& file,
                                             std::uint32_t faults);
// A reader of `map` as it stands.
std::unique_ptr<FileContentReader> MappedContent(VolumeScanner& volume, const CBaseFileObject& file, ContentMap map,
                                                 std::uint32_t faults);

}  // namespace scan
