#include "fat/ClusterChain.h"

#include <gtest/gtest.h>

#include <vector>

using namespace scan;

TEST(ClusterChain, Fat32EntriesAndTheirEnds)
{
    // Clusters 2..9 hold data (end 10); the FAT has 12 entries.
    std::vector<std::uint32_t> fat(12, 0);
    fat[0] = 0x0FFFFFF8;
    fat[1] = 0x0FFFFFFF;
    fat[2] = 0xF0000003;  // the top four bits are not part of the entry
    fat[3] = 0x0FFFFFFF;  // end of chain
    fat[4] = 0x0FFFFFF7;  // a bad cluster
    fat[5] = 10;          // names a cluster past the data area
    fat[6] = 1;           // names no cluster
    fat[7] = 9;
    fat[10] = 3;          // an entry past the data area
    const ClusterChain chain(fat, 0x0FFFFFFF, 10, 1000, 8);
    EXPECT_EQ(chain.Next(2), 3u);
    EXPECT_EQ(chain.Next(3), 0u);
    EXPECT_EQ(chain.Next(4), 0u);
    EXPECT_EQ(chain.Next(5), 0u);
    EXPECT_EQ(chain.Next(6), 0u);
    EXPECT_EQ(chain.Next(7), 9u);
    EXPECT_EQ(chain.Next(8), 0u);  // free
    EXPECT_EQ(chain.Next(10), 0u);
    EXPECT_EQ(chain.Next(0), 0u);
    EXPECT_EQ(chain.Next(1), 0u);
    EXPECT_EQ(chain.Next(0xFFFFFFFF), 0u);
    EXPECT_EQ(chain.SectorOf(2), 1000u);
    EXPECT_EQ(chain.SectorOf(9), 1056u);
    EXPECT_FALSE(chain.Valid(1));
    EXPECT_TRUE(chain.Valid(9));
    EXPECT_FALSE(chain.Valid(10));
}

TEST(ClusterChain, ExfatUsesTheWholeEntryAndAFatShorterThanTheVolume)
{
    std::vector<std::uint32_t> fat(6, 0);
    fat[2] = 0xFFFFFFFF;  // end of chain
    fat[3] = 0x10000004;  // a 32-bit number: past this volume's clusters
    fat[4] = 5;
    fat[5] = 0xFFFFFFF7;
    const ClusterChain chain(fat, 0xFFFFFFFF, 7, 64, 1);
    EXPECT_EQ(chain.Next(2), 0u);
    EXPECT_EQ(chain.Next(3), 0u);
    EXPECT_EQ(chain.Next(4), 5u);
    EXPECT_EQ(chain.Next(5), 0u);
    EXPECT_EQ(chain.Next(6), 0u);  // inside the volume, but past the FAT read
    EXPECT_EQ(chain.Entries(), 6u);
    // A chain that loops is the caller's to stop: Next only names the next.
    fat[5] = 4;
    EXPECT_EQ(chain.Next(5), 4u);
}
