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

DWORD WINAPI ReadToEnd(LPVOID pv) {
    KxPipeReader::Shared* p = static_cast<KxPipeReader::Shared*>(pv);
    // Reads land in a buffer on this thread's stack: under the emulated 32-bit Wine of the
    // tests, reads into a fresh 64 KiB heap block failed ("Bad address") and ended the stream.
    char achChunk[16384];
    DWORD dwCount = 0;
    while (ReadFile(p->hRead, achChunk, sizeof achChunk, &dwCount, nullptr) && dwCount > 0) {
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
        if (WaitForSingleObject(hThread, 0) != WAIT_OBJECT_0) KxPinModule();
        CloseHandle(hThread);
        hThread = nullptr;
    }
    if (pShared) pShared->Leave();
    pShared = nullptr;
}
