#include "KxPipeReader.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "KxModulePin.h"

namespace {

// One stream: the bytes (taken ones before nTaken) and whether its pipe has ended.
struct StreamData {
    HANDLE hRead = nullptr;
    HANDLE hArrived = nullptr;  // auto-reset: set for a waiting reader, and at the end
    char* pData = nullptr;
    size_t nSize = 0, nCapacity = 0;
    size_t nTaken = 0;
    size_t nScanned = 0;  // no LF in pData[nTaken, nScanned)
    bool bEnded = false;
    bool bWaiting = false;  // the script's thread waits for hArrived

    ~StreamData() {
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
};

}  // namespace

// Between the reading thread and the script's thread, freed by the one that lets go last.
struct KxPipeReader::Shared {
    CRITICAL_SECTION cs;
    StreamData aStreams[2];
    volatile LONG nStop = 0;  // the script's thread has let go: the reading thread ends
    LONG nHolders = 2;

    Shared() { InitializeCriticalSection(&cs); }
    ~Shared() { DeleteCriticalSection(&cs); }
    void Leave() {
        if (InterlockedDecrement(&nHolders) == 0) delete this;
    }
    void End(StreamData& s) {
        EnterCriticalSection(&cs);
        s.bEnded = true;
        LeaveCriticalSection(&cs);
        SetEvent(s.hArrived);
    }
};

namespace {

// One thread reads both pipes and never waits inside a read: it asks each pipe how much it
// holds, reads that, and pauses briefly while both hold nothing. A read that waits cannot be
// called off on the older systems (there is no way before Vista), so a stream held open by a
// process out of reach would keep its thread forever; this one ends as soon as the script
// lets go. (The emulated 32-bit Wine of the tests also crashed with several threads waiting
// in pipe reads at once, and failed reads into a fresh 64 KiB heap block: the chunk is on the
// stack.)
DWORD WINAPI ReadToEnd(LPVOID pv) {
    KxPipeReader::Shared* p = static_cast<KxPipeReader::Shared*>(pv);
    char achChunk[65536];
    DWORD dwIdle = 0;
    while (!p->nStop) {
        bool bLive = false, bRead = false;
        for (StreamData& s : p->aStreams) {
            if (s.bEnded) continue;
            DWORD dwAvailable = 0, dwCount = 0;
            // A pipe whose every write end is closed, once empty, fails the peek: its end.
            if (!PeekNamedPipe(s.hRead, nullptr, 0, nullptr, &dwAvailable, nullptr)) {
                p->End(s);
                continue;
            }
            bLive = true;
            if (dwAvailable == 0) continue;
            DWORD dwWant = dwAvailable < sizeof achChunk ? dwAvailable : sizeof achChunk;
            if (!ReadFile(s.hRead, achChunk, dwWant, &dwCount, nullptr) || dwCount == 0) {
                p->End(s);
                continue;
            }
            bRead = true;
            // Without memory for more, the rest is read and dropped: the program still runs
            // on. The event is set only for a waiting reader: it costs a system call each time.
            EnterCriticalSection(&p->cs);
            s.Append(achChunk, dwCount);
            bool bWake = s.bWaiting;
            s.bWaiting = false;
            LeaveCriticalSection(&p->cs);
            if (bWake) SetEvent(s.hArrived);
        }
        if (!bLive) break;
        if (bRead) {
            dwIdle = 0;
        } else {
            // Yields first (a program that writes much fills a pipe in less than a pause),
            // then pauses of 1 ms, then of 10 ms while the program stays silent.
            Sleep(dwIdle < 64 ? 0 : dwIdle < 128 ? 1 : 10);
            if (dwIdle < 128) ++dwIdle;
        }
    }
    for (StreamData& s : p->aStreams)
        if (!s.bEnded) p->End(s);
    p->Leave();
    return 0;
}

}  // namespace

bool KxPipeReader::Start(HANDLE hOutput, HANDLE hErrors) {
    Release();
    pShared = new (std::nothrow) Shared;
    if (!pShared) {
        CloseHandle(hOutput);
        CloseHandle(hErrors);
        return false;
    }
    bool bEvents = true;
    HANDLE ahRead[2] = {hOutput, hErrors};
    for (int i = 0; i < 2; ++i) {
        StreamData& s = pShared->aStreams[i];
        s.hRead = ahRead[i];
        s.hArrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        bEvents = bEvents && s.hArrived;
    }
    DWORD dwId = 0;
    if (bEvents) hThread = CreateThread(nullptr, 0, ReadToEnd, pShared, 0, &dwId);
    if (!hThread) {
        for (StreamData& s : pShared->aStreams) s.bEnded = true;
        pShared->nHolders = 1;
        return false;
    }
    return true;
}

bool KxPipeReader::NextLine(Stream stream, KxString* psLine) {
    if (!pShared) return false;
    StreamData& s = pShared->aStreams[stream];
    for (;;) {
        EnterCriticalSection(&pShared->cs);
        size_t nEnd = s.nScanned;
        while (nEnd < s.nSize && s.pData[nEnd] != '\n') ++nEnd;
        s.nScanned = nEnd;
        bool bLine = nEnd < s.nSize, bEnded = s.bEnded;
        if (bLine || (bEnded && s.nTaken < s.nSize)) {
            size_t nNext = bLine ? nEnd + 1 : nEnd;
            if (bLine && nEnd > s.nTaken && s.pData[nEnd - 1] == '\r') --nEnd;
            // A line memory cannot copy whole stays to be read, and ends the method.
            unsigned nLength = static_cast<unsigned>(nEnd - s.nTaken);
            KxString sLine(s.pData + s.nTaken, nLength);
            bool bWhole = sLine.Length() == nLength;
            if (bWhole) s.nTaken = s.nScanned = nNext;
            LeaveCriticalSection(&pShared->cs);
            if (!bWhole) throw std::bad_alloc();
            *psLine = static_cast<KxString&&>(sLine);
            return true;
        }
        if (!bEnded) s.bWaiting = true;
        LeaveCriticalSection(&pShared->cs);
        if (bEnded) return false;
        WaitForSingleObject(s.hArrived, INFINITE);
    }
}

KxString KxPipeReader::Unread(Stream stream) {
    if (!pShared) return KxString("");
    StreamData& s = pShared->aStreams[stream];
    EnterCriticalSection(&pShared->cs);
    unsigned nLength = s.nTaken < s.nSize ? static_cast<unsigned>(s.nSize - s.nTaken) : 0;
    KxString sText(s.pData + s.nTaken, nLength);
    LeaveCriticalSection(&pShared->cs);
    if (sText.Length() != nLength) throw std::bad_alloc();  // never handed on cut
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
