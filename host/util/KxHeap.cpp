// The allocation operators of a host library (compiled into each of them: each module has
// operators of its own). A failed allocation never throws out of the library (KxMemory.h): it
// is served from a reserve and noted, and the runtime raises its error at its next step. Only
// when the reserve too is spent does the process end, with a message. The nothrow forms fail
// as usual, unnoted: their callers (the string's growth) can tell theirs, and whoever cannot
// tell its own caller notes the shortage (KxMemory.h).
#include <windows.h>

#include <cstdlib>
#include <new>

#include "KxMemory.h"

namespace {

alignas(16) char achReserve[256 * 1024];
char* pReserveNext = achReserve;

bool FromReserve(const void* pv) {
    return pv >= static_cast<const void*>(achReserve) && pv < static_cast<const void*>(achReserve + sizeof achReserve);
}

void* Allocate(std::size_t nSize) {
    if (void* pv = std::malloc(nSize ? nSize : 1)) return pv;
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
    if (!FromReserve(pv)) std::free(pv);
}

}  // namespace

void* operator new(std::size_t nSize) { return Allocate(nSize); }
void* operator new[](std::size_t nSize) { return Allocate(nSize); }
void* operator new(std::size_t nSize, const std::nothrow_t&) noexcept { return std::malloc(nSize ? nSize : 1); }
void* operator new[](std::size_t nSize, const std::nothrow_t&) noexcept { return std::malloc(nSize ? nSize : 1); }
void operator delete(void* pv) noexcept { Free(pv); }
void operator delete[](void* pv) noexcept { Free(pv); }
void operator delete(void* pv, std::size_t) noexcept { Free(pv); }
void operator delete[](void* pv, std::size_t) noexcept { Free(pv); }
void operator delete(void* pv, const std::nothrow_t&) noexcept { Free(pv); }
void operator delete[](void* pv, const std::nothrow_t&) noexcept { Free(pv); }
