#include "KxPipeReader.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "KxModulePin.h"

// Between the reading thread and the script's thread: the bytes (taken ones before nTaken),
// whether the pipe has ended, and who still holds the block.
struct KxPipeReader::Shared {
    CRITICAL_SECTION cs;
    HANDLE hRead = nullptr;
    HANDLE hArrived = nullptr;  // auto-reset: set after each arrival and at the end
    char* pData = nullptr;
    size_t nSize = 0, nCapacity = 0;
    size_t nTaken = 0;
    size_t nScanned = 0;  // no LF in pData[nTaken, nScanned)
    bool bEnded = false;
    bool bWaiting = false;  // the script's thread waits for hArrived
    volatile LONG nStop = 0;  // the script's thread has let go: the reading thread ends
    LONG nHolders = 2;

    Shared() { InitializeCriticalSection(&cs); }
    ~Shared() {
        DeleteCriticalSection(&cs);
        if (hArrived) CloseHandle(hArrived);
        if (hRead) CloseHandle(hRead);
        std::free(pData);
    }
    // The taken bytes go first when they are the larger part; false without the memory.
    bool Append(const char* p, size_t n) {
        if (nTaken > nSize / 2) {
            std::memmove(pData, pData + nTaken, nSize - nTaken);
            nSize -= nTaken;
            nScanned -= nTaken;
            nTaken = 0;
        }
        if (nSize + n > nCapacity) {
            size_t nNew = nCapacity ? nCapacity : n;
            while (nNew < nSize + n) nNew *= 2;
            char* pNew = static_cast<char*>(std::realloc(pData, nNew));
            if (!pNew) return false;
            pData = pNew;
            nCapacity = nNew;
        }
        std::memcpy(pData + nSize, p, n);
        nSize += n;
        return true;
    }
    void Leave() {
        if (InterlockedDecrement(&nHolders) == 0) delete this;
    }
};

namespace {

// The thread never waits inside a read: it asks the pipe how much it holds, reads that, and
// pauses briefly while it holds nothing. A read that waits cannot be called off on the older
// systems (there is no way before Vista), so a stream held open by a process out of reach
// would keep its thread forever; this one ends as soon as the script lets go of the stream.
// (The emulated 32-bit Wine of the tests also crashed with several threads waiting in pipe
// reads at once, and failed reads into a fresh 64 KiB heap block: the chunk is on the stack.)
DWORD WINAPI ReadToEnd(LPVOID pv) {
    KxPipeReader::Shared* p = static_cast<KxPipeReader::Shared*>(pv);
    char achChunk[16384];
    DWORD dwIdle = 0;
    for (;;) {
        DWORD dwAvailable = 0, dwCount = 0;
        // A pipe whose every write end is closed, once empty, fails the peek: its end.
        if (p->nStop || !PeekNamedPipe(p->hRead, nullptr, 0, nullptr, &dwAvailable, nullptr)) break;
        if (dwAvailable == 0) {
            // A yield first, then pauses of 1 ms, then of 10 ms while the program stays silent.
            Sleep(dwIdle < 4 ? 0 : dwIdle < 24 ? 1 : 10);
            if (dwIdle < 24) ++dwIdle;
            continue;
        }
        dwIdle = 0;
        DWORD dwWant = dwAvailable < sizeof achChunk ? dwAvailable : sizeof achChunk;
        if (!ReadFile(p->hRead, achChunk, dwWant, &dwCount, nullptr) || dwCount == 0) break;
        // Without memory for more, the rest is read and dropped: the program still runs on.
        // The event is set only for a waiting reader: it costs a system call each time.
        EnterCriticalSection(&p->cs);
        p->Append(achChunk, dwCount);
        bool bWake = p->bWaiting;
        p->bWaiting = false;
        LeaveCriticalSection(&p->cs);
        if (bWake) SetEvent(p->hArrived);
    }
    EnterCriticalSection(&p->cs);
    p->bEnded = true;
    LeaveCriticalSection(&p->cs);
    SetEvent(p->hArrived);
    p->Leave();
    return 0;
}

}  // namespace

bool KxPipeReader::Start(HANDLE hReadEnd) {
    Release();
    pShared = new (std::nothrow) Shared;
    if (!pShared) {
        CloseHandle(hReadEnd);
        return false;
    }
    pShared->hRead = hReadEnd;
    pShared->hArrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD dwId = 0;
    if (pShared->hArrived) hThread = CreateThread(nullptr, 0, ReadToEnd, pShared, 0, &dwId);
    if (!hThread) {
        pShared->bEnded = true;
        pShared->nHolders = 1;
        return false;
    }
    return true;
}

bool KxPipeReader::NextLine(KxString* psLine) {
    if (!pShared) return false;
    Shared& s = *pShared;
    for (;;) {
        EnterCriticalSection(&s.cs);
        size_t nEnd = s.nScanned;
        while (nEnd < s.nSize && s.pData[nEnd] != '\n') ++nEnd;
        s.nScanned = nEnd;
        bool bLine = nEnd < s.nSize, bEnded = s.bEnded;
        if (bLine || (bEnded && s.nTaken < s.nSize)) {
            size_t nNext = bLine ? nEnd + 1 : nEnd;
            if (bLine && nEnd > s.nTaken && s.pData[nEnd - 1] == '\r') --nEnd;
            *psLine = KxString(s.pData + s.nTaken, static_cast<unsigned>(nEnd - s.nTaken));
            s.nTaken = s.nScanned = nNext;
            LeaveCriticalSection(&s.cs);
            return true;
        }
        if (!bEnded) s.bWaiting = true;
        LeaveCriticalSection(&s.cs);
        if (bEnded) return false;
        WaitForSingleObject(s.hArrived, INFINITE);
    }
}

KxString KxPipeReader::Unread() {
    if (!pShared) return KxString("");
    Shared& s = *pShared;
    EnterCriticalSection(&s.cs);
    KxString sText = s.nTaken < s.nSize ? KxString(s.pData + s.nTaken, static_cast<unsigned>(s.nSize - s.nTaken)) : KxString("");
    LeaveCriticalSection(&s.cs);
    return sText;
}

void KxPipeReader::Release() {
    if (hThread) {
        // The thread ends within one pause of its poll; should the system keep it longer, the
        // library stays loaded for it.
        InterlockedExchange(const_cast<LONG*>(&pShared->nStop), 1);
        if (WaitForSingleObject(hThread, 5000) != WAIT_OBJECT_0) KxPinModule();
        CloseHandle(hThread);
        hThread = nullptr;
    }
    if (pShared) pShared->Leave();
    pShared = nullptr;
}
