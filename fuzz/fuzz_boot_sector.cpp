// Opens the input as a whole volume: boot-sector recognition, geometry
// checks, the FAT read and the $MFT run list of record 0.
#include "platform/BlockDevice.h"
#include "scan/VolumeScanner.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    scan::VolumeScanner volume;
    volume.Open(std::make_unique<platform::MemoryDevice>(data, size), "fuzz");
    volume.NormalScan();
    return 0;
}
