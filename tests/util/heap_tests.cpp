// The host libraries' blocks: small ones from their pools, big ones (512 KiB and more) from
// the system's pages, and freed ones of 16 KiB and more kept for the next block of about
// their size. Seen through the utility library's strings, and through this program's own
// new and delete, which are the libraries' (each module compiles them in). Rounds of blocks
// made and freed in a shuffled order must each find their own block again (its bytes as
// written) and leave the process's commit where the first rounds left it: a block lost track
// of would be leaked, round after round.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "KxString.h"

namespace {

// The process's private memory committed, as the system's view of its address space gives it.
SIZE_T Commit() {
    SIZE_T nBytes = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (const char* p = nullptr; VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi; p = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize)
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) nBytes += mbi.RegionSize;
    return nBytes;
}

TEST(Heap, BigAndSmallBlocksMadeAndFreedInTurnAreFoundAndHadAgain) {
    std::mt19937 rng(7);
    SIZE_T nAfterWarmUp = 0;
    for (int nRound = 0; nRound < 60; ++nRound) {
        std::vector<std::unique_ptr<KxString>> v;
        std::vector<unsigned> vSizes;
        for (int i = 0; i < 12000; ++i) {
            // Big blocks (a string's room is a power of two: 128 KiB to 8 MiB), more of them
            // alive together than are kept when freed.
            unsigned n = i % 400 == 0 ? 65536 + rng() % (6u << 20) : 1 + i % 200;
            v.emplace_back(new KxString);
            ASSERT_TRUE(v.back()->Reserve(n)) << "round " << nRound << ", " << n << " bytes";
            char* p = *v.back();
            p[0] = p[n - 1] = static_cast<char>(i);
            vSizes.push_back(n);
        }
        std::vector<int> vOrder(v.size());
        for (size_t i = 0; i < vOrder.size(); ++i) vOrder[i] = static_cast<int>(i);
        std::shuffle(vOrder.begin(), vOrder.end(), rng);
        for (int i : vOrder) {
            const char* p = *v[i];
            ASSERT_TRUE(p[0] == static_cast<char>(i) && p[vSizes[i] - 1] == static_cast<char>(i))
                << "round " << nRound << ", block " << i << " of " << vSizes[i] << " bytes";
            v[i].reset();
        }
        if (nRound == 4) nAfterWarmUp = Commit();
    }
    SIZE_T nEnd = Commit();
    EXPECT_LT(nEnd, nAfterWarmUp + (48u << 20)) << "commit after the warm-up " << nAfterWarmUp << ", at the end " << nEnd;
}

// Blocks of sizes that are not powers of two (a list reserved for the fields of a split, a
// map's arrays), near each other, so that a kept block is offered to sizes a little smaller
// and a little larger than its own: each is filled whole and must still hold all its bytes
// when freed, which a block handed out too small, or twice, would not. Each round frees more
// blocks than are kept.
TEST(Heap, KeptBlocksServeOnlySizesTheyHoldWhole) {
    std::mt19937 rng(11);
    SIZE_T nAfterWarmUp = 0;
    for (int nRound = 0; nRound < 40; ++nRound) {
        std::vector<std::pair<unsigned char*, size_t>> v;
        for (int i = 0; i < 64; ++i) {
            size_t nBase = size_t(16) << (i < 40 ? rng() % 2 : rng() % 8) << 10;  // 16 KiB to 2 MiB
            size_t n = nBase + nBase / 16 * (rng() % 5) - nBase / 32;
            unsigned char* p = new unsigned char[n];
            std::memset(p, nRound * 64 + i, n);
            v.emplace_back(p, n);
        }
        std::shuffle(v.begin(), v.end(), rng);
        for (auto& [p, n] : v) {
            unsigned char c = p[0];
            ASSERT_EQ(std::count(p, p + n, c), static_cast<std::ptrdiff_t>(n)) << "round " << nRound << ", a block of " << n << " bytes";
            delete[] p;
        }
        if (nRound == 4) nAfterWarmUp = Commit();
    }
    SIZE_T nEnd = Commit();
    EXPECT_LT(nEnd, nAfterWarmUp + (16u << 20)) << "commit after the warm-up " << nAfterWarmUp << ", at the end " << nEnd;
}

}  // namespace
