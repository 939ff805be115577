// A whole small volume: its boot sector (recognition, geometry checks, the
// FAT read and the $MFT run list of record 0), tables, folders and records
// at once, through Open, the normal scan, the deep scan and the reading of
// every file found. Seeded with boot sectors and with the first MiB of the
// test images, so that inputs hold many folders and records together and the
// fuzzer can find what multiplies work or results (run with -rss_limit_mb and
// -timeout, which report a blow-up as a failure).
#include "volume/FileContent.h"
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(data, size), "fuzz");
    volume.m_deep.retryDelayMs = 0;
    scan::NormalScan(volume);
    scan::DeepScan(volume, 0);
    // Reading what was found costs at most the bytes each file says it has;
    // cap them so one input cannot ask for gigabytes of zeros.
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint64_t budget = 64ULL << 20;
    for (const auto& file : volume.m_results) {
        const auto reader = scan::OpenFileContent(volume, *file);
        for (std::uint64_t at = 0; at < file->m_fileSize && budget > 0;) {
            const std::size_t got = reader->Read(at, buffer.data(), buffer.size());
            if (got == 0)
                break;
            at += got;
            budget -= std::min<std::uint64_t>(budget, got);
        }
    }
    return 0;
}
