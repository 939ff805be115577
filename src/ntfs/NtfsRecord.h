// NTFS file records: validation and fix-ups, the attribute walk and the
// choice of $FILE_NAME among a record's names. What a scan derives from a
// record with the help of the volume is in RecordFacts.h.
// Records are 1024, 2048 or 4096 bytes, as the volume's boot sector says (a
// stray record found by the deep scan says it itself); ntfs-notes.md beside
// this file lists the fields used.
#pragma once

#include "base/ByteView.h"
#include "ntfs/AttributeHeader.h"
#include "ntfs/DataRun.h"
#include "ntfs/FileNameAttribute.h"
#include "ntfs/RecordHeader.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace scan {

// One record; its size is the record's size.
using RecordView = std::span<const std::uint8_t>;
using MutableRecord = std::span<std::uint8_t>;
// Room for one record of any size.
using RecordBuffer = std::array<std::uint8_t, kMaxRecordSize>;

constexpr std::uint32_t kRootRecord = 5;
constexpr std::uint32_t kFirstUserRecord = 36;  // records 0-35 belong to the file system

// Record header fields.
std::uint16_t RecordFlags(RecordView record);   // bit 0 in use, bit 1 folder
std::uint32_t RecordNumber(RecordView record);

// The size of the record that begins `bytes`, as its update sequence tells
// (the sequence number, then one word per 512 bytes); 0 when `bytes` does
// not begin with a file record of a size NTFS uses.
std::size_t RecordSizeOf(ByteView bytes);

enum class RecordState : std::uint8_t {
    kNotARecord,
    kWhole,
    kTorn,  // a later 512 bytes failed the check: only what lies before it is the record's
};

struct RecordCheck {
    RecordState state = RecordState::kNotARecord;
    std::size_t intact = 0;  // bytes from the start that passed the check

    explicit operator bool() const { return state != RecordState::kNotARecord; }
    bool Torn() const { return state == RecordState::kTorn; }
};

// Checks the signature and the update sequence of the record that fills
// `record`, then puts back the words that the fix-ups saved from the end of
// each 512 bytes. Each of those words must hold the sequence number first: a
// record whose first 512 bytes fail is none; one whose later 512 bytes fail
// (a torn write, or a stray hit whose rest belongs to something else) is
// torn, and keeps what the bytes before the failure hold.
RecordCheck ValidateAndFixRecord(MutableRecord record);

// The bytes of a checked record that can be trusted.
inline RecordView IntactPart(RecordView record, const RecordCheck& check)
{
    return record.first(std::min(check.intact, record.size()));
}

// The first attribute of `type` in the record (for $FILE_NAME: the Win32
// name if the record has one, else its last name): its bytes, as long as its
// header says. The view points into the record.
bool FindAttribute(RecordView record, std::uint8_t type, ByteView& attribute);

// The base record of an extension record (header 0x20); 0 for a base record.
std::uint64_t BaseRecordReference(RecordView record);
// The latest of the access, creation and modification times; 0 if none.
std::uint64_t LatestTime(RecordView record);

// The name of `chars` UTF-16 characters at `offset`, as far as the bytes go.
std::u16string NameAt(ByteView bytes, std::size_t offset, std::size_t chars);

// Calls `each(position, header type, length)` for every attribute of the
// record, in order, while it returns true. The walk stops at the end marker
// (type byte 0xFF), at a length of 0, and at an attribute that would leave no
// room for the end marker in the record.
template <typename F>
void WalkAttributes(RecordView record, F&& each)
{
    const ByteView v(record.data(), record.size());
    const std::size_t n = record.size();
    std::size_t pos = DecodeRecordHeader(v).firstAttribute;
    while (pos + 4 < n) {
        const std::uint32_t type = v.U32(pos);
        const std::size_t length = v.U16(pos + 0x04);
        if ((type & 0xFF) == 0xFF || length == 0 || pos + length + 4 > n - 1)
            return;
        if (!each(pos, type, length))
            return;
        pos += length;
    }
}

}  // namespace scan
