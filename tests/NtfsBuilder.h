// Builds NTFS file records byte by byte for tests, in the published layout.
#pragma once

#include "ntfs/NtfsRecord.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testing_ntfs {

inline void Put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v)
{
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void Put64(std::uint8_t* p, std::uint64_t v)
{
    Put32(p, static_cast<std::uint32_t>(v));
    Put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// A record as bytes; 1024 of them unless the builder was told otherwise.
using Record = std::vector<std::uint8_t>;

inline scan::ByteView View(const std::vector<std::uint8_t>& bytes)
{
    return {bytes.data(), bytes.size()};
}

class RecordBuilder {
public:
    static constexpr std::uint16_t kInUse = 1;
    static constexpr std::uint16_t kFolder = 2;

    explicit RecordBuilder(std::uint32_t number, std::uint16_t flags = kInUse, std::size_t size = 1024)
        : m_rec(size)
    {
        std::memcpy(m_rec.data(), "FILE", 4);
        Put16(&m_rec[0x04], 0x30);  // update sequence offset
        Put16(&m_rec[0x06], static_cast<std::uint16_t>(size / 512 + 1));  // sequence number + a word per sector
        // The first attribute follows the update sequence array: 0x38 for
        // 1024 bytes.
        m_pos = Align(0x30 + 2 * (size / 512 + 1));
        Put16(&m_rec[0x14], static_cast<std::uint16_t>(m_pos));
        Put32(&m_rec[0x1C], static_cast<std::uint32_t>(size));
        Put16(&m_rec[0x16], flags);
        Put32(&m_rec[0x2C], number);
    }

    // A resident attribute: 0x18-byte header, then the content.
    RecordBuilder& Resident(std::uint32_t type, const std::vector<std::uint8_t>& content)
    {
        const std::size_t length = Align(0x18 + content.size());
        std::uint8_t* a = Begin(type, length);
        Put32(a + 0x10, static_cast<std::uint32_t>(content.size()));
        Put16(a + 0x14, 0x18);
        std::memcpy(a + 0x18, content.data(), content.size());
        return *this;
    }

    // A non-resident attribute with its run list at 0x40. The allocated
    // size is what the runs cover when `allocated` is not given, in
    // clusters of `clusterBytes`.
    RecordBuilder& NonResident(std::uint32_t type, const std::vector<std::uint8_t>& runs, std::uint64_t realSize,
                               std::uint64_t allocated = ~std::uint64_t {0}, std::uint16_t flags = 0,
                               std::uint8_t compressionUnit = 0, std::uint64_t initialized = ~std::uint64_t {0},
                               std::uint64_t lowestVcn = 0)
    {
        const std::size_t length = Align(0x40 + runs.size() + 1);
        std::uint8_t* a = Begin(type, length);
        a[0x08] = 1;
        Put16(a + 0x0C, flags);
        Put64(a + 0x10, lowestVcn);
        Put16(a + 0x20, 0x40);
        a[0x22] = compressionUnit;
        Put64(a + 0x28, allocated != ~std::uint64_t {0} ? allocated : std::uint64_t {1} << 40);
        Put64(a + 0x30, realSize);
        Put64(a + 0x38, initialized != ~std::uint64_t {0} ? initialized : realSize);
        std::memcpy(a + 0x40, runs.data(), runs.size());
        return *this;
    }

    RecordBuilder& FileName(const std::u16string& name, std::uint32_t parent, std::uint8_t nameSpace,
                            std::uint64_t created = 0, std::uint64_t modified = 0, std::uint64_t accessed = 0)
    {
        std::vector<std::uint8_t> c(0x42 + 2 * name.size());
        Put64(&c[0x00], parent | (std::uint64_t {1} << 48));
        Put64(&c[0x08], created);
        Put64(&c[0x10], modified);
        Put64(&c[0x20], accessed);
        c[0x40] = static_cast<std::uint8_t>(name.size());
        c[0x41] = nameSpace;
        for (std::size_t i = 0; i < name.size(); ++i)
            Put16(&c[0x42 + 2 * i], name[i]);
        return Resident(0x30, c);
    }

    RecordBuilder& StandardInformation(std::uint64_t created, std::uint64_t modified, std::uint64_t accessed)
    {
        std::vector<std::uint8_t> c(0x48);
        Put64(&c[0x00], created);
        Put64(&c[0x08], modified);
        Put64(&c[0x18], accessed);
        return Resident(0x10, c);
    }

    // One entry of an $ATTRIBUTE_LIST: the attribute's type, the record
    // that holds it, and its first cluster.
    struct ListEntry {
        std::uint32_t type = 0;
        std::uint64_t reference = 0;
        std::uint64_t lowestVcn = 0;
    };
    static std::vector<std::uint8_t> ListBytes(const std::vector<ListEntry>& entries)
    {
        std::vector<std::uint8_t> c(0x20 * entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            Put32(&c[0x20 * i], entries[i].type);
            Put16(&c[0x20 * i + 4], 0x20);
            Put64(&c[0x20 * i + 0x08], entries[i].lowestVcn);
            Put64(&c[0x20 * i + 0x10], entries[i].reference);
        }
        return c;
    }
    RecordBuilder& AttributeList(const std::vector<ListEntry>& entries) { return Resident(0x20, ListBytes(entries)); }

    // Makes the record an extension record of `base`.
    RecordBuilder& ExtensionOf(std::uint64_t base)
    {
        Put64(&m_rec[0x20], base);
        return *this;
    }

    // The record as it lies on disk: end marker written, and the last word of
    // each sector moved into the update sequence array.
    Record Finish()
    {
        Record r = m_rec;
        Put32(&r[m_pos], 0xFFFFFFFF);
        Put16(&r[0x30], 0x0007);
        for (std::size_t i = 1; i <= r.size() / 512; ++i) {
            r[0x30 + 2 * i] = r[512 * i - 2];
            r[0x30 + 2 * i + 1] = r[512 * i - 1];
            Put16(&r[512 * i - 2], 0x0007);
        }
        return r;
    }

    std::size_t Position() const { return m_pos; }

private:
    static std::size_t Align(std::size_t n) { return (n + 7) & ~std::size_t {7}; }

    std::uint8_t* Begin(std::uint32_t type, std::size_t length)
    {
        std::uint8_t* a = &m_rec[m_pos];
        Put32(a, type);
        Put32(a + 4, static_cast<std::uint32_t>(length));
        m_pos += length;
        return a;
    }

    Record m_rec;
    std::size_t m_pos = 0x38;
};

}  // namespace testing_ntfs
