#include "ntfs/DataRun.h"

#include "base/Log.h"

namespace scan {

std::vector<DataRun> DecodeDataRuns(ByteView v, std::size_t offset)
{
    std::vector<DataRun> runs;
    if (offset >= v.Size()) {
        base::LogLess("GetDataRunList offset=%d", static_cast<int>(offset));
        return runs;
    }
    std::int64_t lcn = 0;
    std::uint64_t vcn = 0;
    std::size_t pos = offset;
    while (true) {
        const std::uint8_t header = v.U8(pos);
        const std::size_t lengthBytes = header & 0x0F;
        const std::size_t offsetBytes = header >> 4;
        if (lengthBytes > 8 || offsetBytes > 8 || !v.Has(pos + 1, lengthBytes + offsetBytes))
            break;
        const auto length = static_cast<std::uint32_t>(v.UN(pos + 1, lengthBytes));
        // A run with no offset bytes has no clusters (a sparse run); the
        // next run's offset still counts from the last real cluster.
        const bool sparse = lengthBytes != 0 && offsetBytes == 0;
        std::uint64_t delta = v.UN(pos + 1 + lengthBytes, offsetBytes);
        if (offsetBytes > 0 && offsetBytes < 8 && (delta >> (8 * offsetBytes - 1)) != 0)
            delta |= ~std::uint64_t {0} << (8 * offsetBytes);  // sign-extend
        lcn = static_cast<std::int64_t>(static_cast<std::uint64_t>(lcn) + delta);
        if (vcn > 0xFFFFFFFFu)
            break;  // past what a run list of 32-bit cluster numbers can say
        runs.push_back({sparse ? 0 : lcn, static_cast<std::uint32_t>(vcn), length, sparse});
        vcn += length;
        pos += 1 + lengthBytes + offsetBytes;
        if (pos >= v.Size() || v.U8(pos) == 0)
            break;
    }
    return runs;
}

}  // namespace scan
