// The allocation operators of a host library (compiled into each of them: each module has
// operators of its own). A failed allocation never throws out of the library (KxMemory.h): it
// is served from a reserve and noted, and the runtime raises its error at its next step. Only
// when the reserve too is spent does the process end, with a message. The nothrow forms fail
// as usual, unnoted: their callers (the string's growth) can tell theirs, and whoever cannot
// tell its own caller notes the shortage (KxMemory.h).
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

#include "KxMemory.h"

namespace {

alignas(16) char achReserve[256 * 1024];
char* pReserveNext = achReserve;

bool FromReserve(const void* pv) {
    return pv >= static_cast<const void*>(achReserve) && pv < static_cast<const void*>(achReserve + sizeof achReserve);
}

// Small blocks (up to 512 bytes: the objects, strings and arrays a script makes by the
// million) come from pools, in size classes of 16 bytes: a block made and freed costs a few
// instructions instead of a trip through the system's heap (under Wine several times dearer).
// Larger blocks, up to 512 KiB, come from the C library directly; bigger ones (the items of a
// long list, a map's entries) from the system's pages.
// Both the system's heap and its pages give much of what is freed back to the system, and
// each page of the next block faulted and was cleared again: a map of 33,000 keys made again
// and again took 120 faults each time (half of its time), 10^5 lines joined into a text of
// 4 MiB 1,000. So freed blocks of 16 KiB and more are kept, up to 32 of them and 16 MiB in
// all, for the next block of about their size; once a block would pass that, the oldest kept
// go back first, and a block that none fits sends back those smaller than itself. What they
// add to the memory in use is at most those 16 MiB.
// Each chunk of 64 KiB serves one size class and keeps the blocks freed in it on a list of its
// own; a class takes blocks from one chunk until it has none left, then moves to another that
// has. So blocks made one after another lie near each other even after a script freed millions
// in an order of its own (a sorted list: then one list for the whole class would hand out
// blocks scattered over all its chunks, and every step would miss the caches). Chunks are
// never given back (big blocks are).
// A pointer this module did not make may reach its delete (an object another module made,
// destroyed through a destructor of ours), so a block is known as a pool's by its address:
// a table of the chunks, which lie on 64 KiB boundaries (the system's allocation granularity).
const std::size_t kGranule = 16, kSmallest = 16, kLargest = 512, kChunk = 64 * 1024;
const std::size_t kKeptFrom = 16 * 1024, kBig = 512 * 1024, kKeptBytes = 16u << 20;
const int kClasses = kLargest / kGranule, kKeptBlocks = 32;

struct FreeBlock {
    FreeBlock* pNext;
};

// For tests: KX_HEAP_BLOCK_LIMIT=N in the environment makes every block larger than N bytes
// fail, as a machine whose memory ran short would fail the big ones first. So the paths of
// lists, maps and texts that cannot grow run without a test taking gigabytes.
std::size_t BlockLimit() {
    char sz[24];
    DWORD n = GetEnvironmentVariableA("KX_HEAP_BLOCK_LIMIT", sz, sizeof sz);
    return n > 0 && n < sizeof sz ? std::strtoull(sz, nullptr, 10) : ~std::size_t(0);
}
const std::size_t kBlockLimit = BlockLimit();
// For the failure sweep: KX_HEAP_NO_POOLS in the environment gives every block from the C
// library, so that each allocation is a point the sweep can make fail, as before the pools.
const bool kNoPools = GetEnvironmentVariableA("KX_HEAP_NO_POOLS", nullptr, 0) > 0;

class Pools {
public:
    void* Take(std::size_t nSize) {
        if (nSize > kBlockLimit) return nullptr;
        if (kNoPools) return std::malloc(nSize ? nSize : 1);
        if (nSize >= kKeptFrom)
            if (void* pv = TakeKept(nSize)) return pv;
        void* pv = Make(nSize);
        // Memory ran short: what is kept goes back to the system first.
        if (!pv && GiveKeptBack()) pv = Make(nSize);
        return pv;
    }

    // Takes back a block of this module's or of the C library.
    void Give(void* pv) {
        {
            Lock lock(*this);
            if (Chunk* pc = nChunks ? *Slot(Key(pv)) : nullptr) {
                if (pc->nClass == kBigClass) {
                    Keep(Kept{pv, Room(pc), pc});
                    return;
                }
                FreeBlock* p = static_cast<FreeBlock*>(pv);
                p->pNext = pc->pFree;
                pc->pFree = p;
                if (!pc->bListed && pc != apCurrent[pc->nClass]) {
                    pc->pNextWithRoom = apWithRoom[pc->nClass];
                    apWithRoom[pc->nClass] = pc;
                    pc->bListed = true;
                }
                return;
            }
        }
        std::size_t nRoom = kNoPools ? 0 : _msize(pv);
        if (nRoom >= kKeptFrom && nRoom != ~std::size_t(0)) {
            Lock lock(*this);
            Keep(Kept{pv, nRoom, nullptr});
            return;
        }
        std::free(pv);
    }

private:
    struct Lock {
        explicit Lock(Pools& pools) : pools(pools) {
            while (InterlockedExchange(&pools.nLock, 1)) YieldProcessor();
        }
        ~Lock() { __atomic_store_n(&pools.nLock, 0, __ATOMIC_RELEASE); }
        Pools& pools;
    };

    // A chunk begins with this, its blocks follow up to the chunk's end. A big block begins
    // with one too, of the class kBigClass, whose pNext is the end of its pages.
    static const unsigned kBigClass = ~0u;
    struct alignas(kGranule) Chunk {
        FreeBlock* pFree;        // its blocks freed
        char* pNext;             // where it carves its next block
        Chunk* pNextWithRoom;    // on its class's list of chunks with freed blocks
        unsigned nClass;
        bool bListed;            // on that list
        bool HasRoom() const { return pFree || pNext + BlockSize() <= End(); }
        std::size_t BlockSize() const { return (nClass + 1) * kGranule; }
        const char* End() const { return reinterpret_cast<const char*>(this) + kChunk; }
        void* Carve() {
            if (FreeBlock* p = pFree) {
                pFree = p->pNext;
                return p;
            }
            void* pv = pNext;
            pNext += BlockSize();
            return pv;
        }
    };

    // The table has room for the chunk before the chunk is had.
    Chunk* NewChunk(unsigned nClass) {
        if (2 * (nChunks + 1) > nSlots && !Grow()) return nullptr;
        void* pv = VirtualAlloc(nullptr, kChunk, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!pv) return nullptr;
        Chunk* pc = static_cast<Chunk*>(pv);
        *pc = Chunk{nullptr, reinterpret_cast<char*>(pc + 1), nullptr, nClass, false};
        *Slot(Key(pc)) = pc;
        ++nChunks;
        return pc;
    }

    void* Make(std::size_t nSize) {
        if (nSize >= kBig) return MakeBig(nSize);
        if (nSize > kLargest) return std::malloc(nSize);
        unsigned nClass = static_cast<unsigned>((nSize < kSmallest ? kSmallest : nSize + kGranule - 1) / kGranule - 1);
        Lock lock(*this);
        Chunk* pc = apCurrent[nClass];
        if (!pc || !pc->HasRoom()) {
            if ((pc = apWithRoom[nClass]) != nullptr) {
                apWithRoom[nClass] = pc->pNextWithRoom;
                pc->bListed = false;
            } else if ((pc = NewChunk(nClass)) == nullptr) {
                return nullptr;
            }
            apCurrent[nClass] = pc;
        }
        return pc->Carve();
    }

    void* MakeBig(std::size_t nSize) {
        Lock lock(*this);
        if (nSize > ~std::size_t(0) - sizeof(Chunk) - kChunk || (2 * (nChunks + 1) > nSlots && !Grow())) return nullptr;
        std::size_t nBytes = (nSize + sizeof(Chunk) + kChunk - 1) & ~(kChunk - 1);
        void* pv = VirtualAlloc(nullptr, nBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!pv) return nullptr;
        Chunk* pc = static_cast<Chunk*>(pv);
        *pc = Chunk{nullptr, static_cast<char*>(pv) + nBytes, nullptr, kBigClass, false};
        *Slot(Key(pc)) = pc;
        ++nChunks;
        return pc + 1;
    }

    // A freed block kept: a big block's pages (pcBig its chunk) or a block of the C library.
    // Its pages, all in use before, count as the process's while it is kept.
    struct Kept {
        void* pv;
        std::size_t nRoom;
        Chunk* pcBig;
    };
    // The smallest kept block with room for nSize and at most an eighth more, or null.
    void* TakeKept(std::size_t nSize) {
        Lock lock(*this);
        int iBest = -1;
        for (int i = 0; i < nKept; ++i)
            if (aKept[i].nRoom >= nSize && aKept[i].nRoom - nSize <= nSize / 8 && (iBest < 0 || aKept[i].nRoom < aKept[iBest].nRoom))
                iBest = i;
        if (iBest < 0) {
            // None fits: the kept blocks smaller than this one are what a list or text that
            // grows left behind on its way, of no use to it (and a list of a million items
            // kept would cost a sixth more).
            GiveBack([&](const Kept& k) { return k.nRoom < nSize; });
            return nullptr;
        }
        void* pv = aKept[iBest].pv;
        Forget(iBest);
        return pv;
    }
    // The oldest kept go back while one more would pass the bounds; a block bigger than all
    // the room goes back at once.
    void Keep(const Kept& k) {
        if (k.nRoom > kKeptBytes) return Drop(k);
        while (nKept == kKeptBlocks || nKeptBytes + k.nRoom > kKeptBytes) {
            Drop(aKept[0]);
            Forget(0);
        }
        aKept[nKept++] = k;
        nKeptBytes += k.nRoom;
    }
    // False when nothing was kept.
    bool GiveKeptBack() {
        Lock lock(*this);
        return GiveBack([](const Kept&) { return true; });
    }
    // The kept blocks that bWhich picks go back; false when it picked none.
    template <class W>
    bool GiveBack(W bWhich) {
        int nBefore = nKept;
        for (int i = 0; i < nKept;)
            if (bWhich(aKept[i])) {
                Drop(aKept[i]);
                Forget(i);
            } else {
                ++i;
            }
        return nKept < nBefore;
    }
    void Forget(int i) {
        nKeptBytes -= aKept[i].nRoom;
        std::memmove(aKept + i, aKept + i + 1, (nKept - i - 1) * sizeof *aKept);
        --nKept;
    }
    void Drop(const Kept& k) {
        if (k.pcBig)
            Release(k.pcBig);
        else
            std::free(k.pv);
    }
    static std::size_t Room(const Chunk* pc) { return static_cast<std::size_t>(pc->pNext - reinterpret_cast<const char*>(pc + 1)); }
    // The big block's pages go back to the system, and its slot leaves the table: the slots
    // after it that would have been at or before it move up, so every chunk stays where its
    // search finds it.
    void Release(Chunk* pc) {
        Chunk** pp = Slot(Key(pc));
        std::size_t i = static_cast<std::size_t>(pp - ppSlots), nMask = nSlots - 1;
        ppSlots[i] = nullptr;
        --nChunks;
        for (std::size_t j = (i + 1) & nMask; ppSlots[j]; j = (j + 1) & nMask) {
            std::size_t nHome = Home(Key(ppSlots[j]));
            if (((j - nHome) & nMask) >= ((j - i) & nMask)) {
                ppSlots[i] = ppSlots[j];
                ppSlots[j] = nullptr;
                i = j;
            }
        }
        VirtualFree(pc, 0, MEM_RELEASE);
    }

    static uintptr_t Key(const void* pv) { return reinterpret_cast<uintptr_t>(pv) >> 16; }
    std::size_t Home(uintptr_t u) const { return (u * 0x9E3779B97F4A7C15ull) >> 20 & (nSlots - 1); }

    // The slot of a chunk's window (open addressing, the table at most half full): the chunk
    // there, or the empty slot where it would go.
    Chunk** Slot(uintptr_t u) const {
        for (std::size_t i = Home(u);; i = (i + 1) & (nSlots - 1)) {
            Chunk* pc = ppSlots[i];
            if (!pc || Key(pc) == u) return &ppSlots[i];
        }
    }
    bool Grow() {
        std::size_t nNew = nSlots ? nSlots * 2 : 256;
        Chunk** ppNew = static_cast<Chunk**>(std::calloc(nNew, sizeof(Chunk*)));
        if (!ppNew) return false;
        Chunk** ppOld = ppSlots;
        std::size_t nOld = nSlots;
        ppSlots = ppNew;
        nSlots = nNew;
        for (std::size_t i = 0; i < nOld; ++i)
            if (ppOld[i]) *Slot(Key(ppOld[i])) = ppOld[i];
        std::free(ppOld);
        return true;
    }

    volatile LONG nLock = 0;
    Chunk* apCurrent[kClasses] = {};
    Chunk* apWithRoom[kClasses] = {};
    Kept aKept[kKeptBlocks];  // oldest first, nKeptBytes in all
    int nKept = 0;
    std::size_t nKeptBytes = 0;
    Chunk** ppSlots = nullptr;
    std::size_t nSlots = 0, nChunks = 0;
};

Pools gPools;

void* Allocate(std::size_t nSize) {
    if (void* pv = gPools.Take(nSize)) return pv;
    KxNoteMemoryShort();
    std::size_t nRounded = (nSize + 15) & ~std::size_t(15);
    char* pOld = __atomic_fetch_add(&pReserveNext, nRounded, __ATOMIC_RELAXED);
    if (nRounded <= static_cast<std::size_t>(achReserve + sizeof achReserve - pOld)) return pOld;
    static const char szSpent[] = "out of memory: the host libraries' reserve is spent\r\n";
    DWORD dw = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), szSpent, sizeof szSpent - 1, &dw, nullptr);
    ExitProcess(3);
}

// Reserve memory is not handed back: it only ever serves the moments after a failure.
void Free(void* pv) {
    if (pv && !FromReserve(pv)) gPools.Give(pv);
}

}  // namespace

void* operator new(std::size_t nSize) { return Allocate(nSize); }
void* operator new[](std::size_t nSize) { return Allocate(nSize); }
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept { return gPools.Take(nSize); }
void* operator new[](std::size_t nSize, const std::nothrow_t&) noexcept { return gPools.Take(nSize); }
void operator delete(void* pv) noexcept { Free(pv); }
void operator delete[](void* pv) noexcept { Free(pv); }
void operator delete(void* pv, std::size_t) noexcept { Free(pv); }
void operator delete[](void* pv, std::size_t) noexcept { Free(pv); }
void operator delete(void* pv, const std::nothrow_t&) noexcept { Free(pv); }
void operator delete[](void* pv, const std::nothrow_t&) noexcept { Free(pv); }
