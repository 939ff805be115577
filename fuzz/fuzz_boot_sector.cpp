// Opens the input as a whole volume: boot-sector recognition, geometry
// checks, the FAT read and the $MFT run list of record 0; then the normal and
// the deep scan over it.
#include "platform/BlockDevice.h"
#include "scan/VolumeScanner.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(data, size), "fuzz");
    volume.m_retryDelayMs = 0;
    volume.NormalScan();
    volume.DeepScan(0);
    return 0;
}
