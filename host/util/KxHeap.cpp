// The allocation operators of a host library (compiled into each of them: each module has
// operators of its own). A failed allocation never throws out of the library (KxMemory.h): it
// is served from a reserve and noted, and the runtime raises its error at its next step. Only
// when the reserve too is spent does the process end, with a message. The nothrow forms fail
// as usual, unnoted: their callers (the string's growth) can tell theirs, and whoever cannot
// tell its own caller notes the shortage (KxMemory.h).
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "KxMemory.h"

namespace {

alignas(16) char achReserve[256 * 1024];
char* pReserveNext = achReserve;

bool FromReserve(const void* pv) {
    return pv >= static_cast<const void*>(achReserve) && pv < static_cast<const void*>(achReserve + sizeof achReserve);
}

// Small blocks (up to 512 bytes: the objects, strings and arrays a script makes by the
// million) come from pools, one free list per size in steps of 16 bytes, carved from chunks
// of 64 KiB that the C library gives: a block made and freed costs a few instructions instead
// of a trip through the system's heap (under Wine several times dearer). Larger blocks come
// from the C library directly. Chunks are never given back.
// A pointer this module did not make may reach its delete (an object another module made,
// destroyed through a destructor of ours), so a block is known as a pool's by its address:
// a table of the 64 KiB windows of the address space that chunks lie in.
const std::size_t kGranule = 16, kSmallest = 16, kLargest = 512, kChunk = 64 * 1024;
const int kClasses = kLargest / kGranule;

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
        if (nSize > kLargest || kNoPools) return std::malloc(nSize ? nSize : 1);
        std::size_t nClass = (nSize < kSmallest ? kSmallest : nSize + kGranule - 1) / kGranule - 1;
        Lock lock(*this);
        if (FreeBlock* p = apFree[nClass]) {
            apFree[nClass] = p->pNext;
            return p;
        }
        std::size_t nBlock = (nClass + 1) * kGranule;
        if (static_cast<std::size_t>(pEnd - pNext) < nBlock && !NewChunk()) return nullptr;
        void* pv = pNext;
        pNext += nBlock;
        // The block is in the chunk being carved, whose blocks end at pEnd.
        *ClassByte(pEnd - kBlocks, pv) = static_cast<unsigned char>(nClass);
        return pv;
    }

    // False for a block no pool made.
    bool Give(void* pv) {
        Lock lock(*this);
        const unsigned char* pnClass = ClassOf(pv);
        if (!pnClass) return false;
        FreeBlock* p = static_cast<FreeBlock*>(pv);
        p->pNext = apFree[*pnClass];
        apFree[*pnClass] = p;
        return true;
    }

private:
    struct Lock {
        explicit Lock(Pools& pools) : pools(pools) {
            while (InterlockedExchange(&pools.nLock, 1)) YieldProcessor();
        }
        ~Lock() { __atomic_store_n(&pools.nLock, 0, __ATOMIC_RELEASE); }
        Pools& pools;
    };

    // A chunk: its blocks, then one byte per granule of them naming the size class of the
    // block that starts there.
    static const std::size_t kBlocks = kChunk - kChunk / kGranule;
    struct Window {
        uintptr_t uWindow;  // 0: an empty slot
        char* apChunk[2];   // a window holds parts of two chunks at most
    };

    // The table has room for the chunk's windows (two at most) before the chunk is had.
    bool NewChunk() {
        if (2 * (nUsed + 2) > nWindows && !Grow()) return false;
        char* pChunk = static_cast<char*>(std::malloc(kChunk));
        if (!pChunk) return false;
        for (uintptr_t u = Key(pChunk); u <= Key(pChunk + kChunk - 1); ++u) {
            Window* pw = Slot(u, true);
            pw->apChunk[pw->apChunk[0] ? 1 : 0] = pChunk;
        }
        pNext = pChunk;
        pEnd = pChunk + kBlocks;
        return true;
    }

    static uintptr_t Key(const void* pv) { return (reinterpret_cast<uintptr_t>(pv) >> 16) + 1; }

    unsigned char* ClassByte(char* pChunk, const void* pv) {
        return reinterpret_cast<unsigned char*>(pChunk + kBlocks) + (static_cast<const char*>(pv) - pChunk) / kGranule;
    }
    const unsigned char* ClassOf(const void* pv) {
        Window* pw = nWindows ? Slot(Key(pv), false) : nullptr;
        if (!pw || !pw->uWindow) return nullptr;
        for (char* pChunk : pw->apChunk)
            if (pChunk && pv >= pChunk && pv < pChunk + kBlocks) return ClassByte(pChunk, pv);
        return nullptr;
    }

    // The slot of a window (open addressing, the table at most half full); with bAdd, a new
    // one when it has none (the caller made room).
    Window* Slot(uintptr_t u, bool bAdd) {
        for (std::size_t i = (u * 0x9E3779B97F4A7C15ull) >> 20 & (nWindows - 1);; i = (i + 1) & (nWindows - 1)) {
            Window* pw = &pWindows[i];
            if (pw->uWindow == u) return pw;
            if (pw->uWindow == 0) {
                if (!bAdd) return pw;
                ++nUsed;
                *pw = Window{u, {nullptr, nullptr}};
                return pw;
            }
        }
    }
    bool Grow() {
        std::size_t nNew = nWindows ? nWindows * 2 : 256;
        while (2 * (nUsed + 2) > nNew) nNew *= 2;
        Window* pNew = static_cast<Window*>(std::calloc(nNew, sizeof(Window)));
        if (!pNew) return false;
        Window* pOld = pWindows;
        std::size_t nOld = nWindows;
        pWindows = pNew;
        nWindows = nNew;
        nUsed = 0;
        for (std::size_t i = 0; i < nOld; ++i)
            if (pOld[i].uWindow) *Slot(pOld[i].uWindow, true) = pOld[i];
        std::free(pOld);
        return true;
    }

    volatile LONG nLock = 0;
    FreeBlock* apFree[kClasses] = {};
    char* pNext = nullptr;
    char* pEnd = nullptr;
    Window* pWindows = nullptr;
    std::size_t nWindows = 0, nUsed = 0;
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
    if (!pv || FromReserve(pv) || gPools.Give(pv)) return;
    std::free(pv);
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
