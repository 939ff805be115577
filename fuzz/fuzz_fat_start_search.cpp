// The start search of deleted FAT32 files on a volume of four high words
// (262,144 clusters of 512 bytes, held sparsely): the input is the root
// folder (its first 4 KiB: names, extensions, deleted entries and their low
// halves) followed by pieces of 66 bytes, each a cluster number (its low 18
// bits) and the first 64 bytes written there, which the search reads and
// scores. Deleted folders' "." and ".." are found the same way.
#include "LittleEndian.h"
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

constexpr std::uint64_t kClusters = 4 * 65536;
constexpr std::uint64_t kFatSectors = (kClusters + 2) * 4 / 512 + 1;
constexpr std::uint64_t kDataSector = 32 + kFatSectors;
constexpr std::uint64_t kSectors = kDataSector + kClusters;

// Zeros but for the pieces written.
class SparseDevice final : public platform::BlockDevice {
public:
    void Write(std::uint64_t offset, const std::uint8_t* bytes, std::size_t n)
    {
        std::vector<std::uint8_t>& block = m_blocks[offset];
        block.assign(bytes, bytes + n);
    }
    platform::ReadResult ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override
    {
        if (offset >= Size())
            return {};
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, Size() - offset));
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, n);
        for (auto it = m_blocks.lower_bound(offset > 8192 ? offset - 8192 : 0); it != m_blocks.end(); ++it) {
            const std::uint64_t at = it->first;
            if (at >= offset + n)
                break;
            const std::uint64_t end = at + it->second.size();
            if (end <= offset)
                continue;
            const std::uint64_t from = std::max(at, offset);
            const std::uint64_t to = std::min(end, offset + n);
            std::memcpy(out + (from - offset), it->second.data() + (from - at), static_cast<std::size_t>(to - from));
        }
        return {n, platform::ReadStatus::Ok, 0};
    }
    std::uint64_t Size() const override { return kSectors * 512; }

private:
    std::map<std::uint64_t, std::vector<std::uint8_t>> m_blocks;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto device = std::make_unique<SparseDevice>();
    std::uint8_t boot[512] = {};
    Put16(&boot[0x0B], 512);
    boot[0x0D] = 1;
    Put16(&boot[0x0E], 32);
    boot[0x10] = 1;
    Put32(&boot[0x20], static_cast<std::uint32_t>(kSectors));
    Put32(&boot[0x24], static_cast<std::uint32_t>(kFatSectors));
    Put32(&boot[0x2C], 2);
    std::memcpy(&boot[0x52], "FAT32   ", 8);
    device->Write(0, boot, sizeof boot);
    // The root: clusters 2 to 9, one chain.
    std::uint8_t fat[40] = {};
    for (std::uint32_t c = 2; c < 9; ++c)
        Put32(&fat[4 * c], c + 1);
    Put32(&fat[36], 0x0FFFFFFF);
    device->Write(32 * 512, fat, sizeof fat);
    const std::size_t root = std::min<std::size_t>(size, 4096);
    if (root != 0)
        device->Write(kDataSector * 512, data, root);
    for (std::size_t at = 4096; at + 66 <= size; at += 66) {
        const std::uint32_t cluster = (data[at] | data[at + 1] << 8 | (data[at + 65] & 3) << 16) + 10;
        if (cluster < kClusters + 2)
            device->Write((kDataSector + cluster - 2) * 512, data + at + 2, 63);
    }
    scan::VolumeScanner volume;
    volume.Open(std::move(device), "fuzz");
    scan::NormalScan(volume);
    return 0;
}
