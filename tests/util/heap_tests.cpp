// The host libraries' blocks, seen through the utility library's strings: small ones from
// its pools, big ones (512 KiB and more) from the system's pages, a few of those kept when
// freed. Rounds of both, made and freed in a shuffled order, must each find their own block
// again (its bytes as written) and leave the process's commit where the first rounds left
// it: a block the library lost track of would be leaked, round after round.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
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

}  // namespace
