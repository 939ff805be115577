// What the deep scan hands every chunk it reads to: the finders of things a
// file system no longer names (stray NTFS records, old FAT32 and exFAT
// folders). Each looks at the same bytes in the same pass; none reads the
// volume itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scan {

class ChunkFinder {
public:
    virtual ~ChunkFinder() = default;
    // Looks through `bytes` bytes read from volume sector `firstSector`.
    // Returns how many of them it is done with: fewer when something it
    // looks for runs past them (the next read starts there) or a stop was
    // requested inside them (a resumed scan starts there). The bytes may be
    // changed in place; a finder that needs them as read goes first.
    virtual std::size_t Look(std::uint8_t* buffer, std::size_t bytes, std::uint64_t firstSector) = 0;
    // How many of the `limit` sectors from `position` on the next read
    // should take, so that it splits nothing this finder looks at whole.
    virtual std::uint64_t ChunkSectors(std::uint64_t /*position*/, std::uint64_t limit) const { return limit; }
    // After the last chunk of a pass that reached the volume's end: puts
    // what was found in its place. Called with the results lock held.
    virtual void Finish() {}
    // After the last chunk of a pass that stopped before the volume's end:
    // keeps what is half found. Called with the results lock held.
    virtual void Pause() {}
};

}  // namespace scan
