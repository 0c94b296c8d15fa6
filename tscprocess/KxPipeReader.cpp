#include "KxPipeReader.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "KxModulePin.h"
#include "KxTshClass.h"

namespace {

// The most a stream keeps that the script has not taken (KxPipeReader::HoldAtMost).
size_t nHeldMost = KxString::MAX_LENGTH;

// One stream: the bytes (taken ones before nTaken) and whether its pipe has ended. A stream
// that lost text (bLost) keeps none: what it held is freed, what still arrives is read and
// dropped, and every read of it fails.
struct StreamData {
    HANDLE hRead = nullptr;
    HANDLE hArrived = nullptr;  // auto-reset: set for a waiting reader, and at the end
    char* pData = nullptr;
    size_t nSize = 0, nCapacity = 0;
    size_t nTaken = 0;
    size_t nScanned = 0;  // no LF in pData[nTaken, nScanned)
    size_t nMost = nHeldMost;
    bool bEnded = false;
    bool bLost = false;
    bool bWaiting = false;  // the script's thread waits for hArrived

    ~StreamData() {
        if (hArrived) CloseHandle(hArrived);
        if (hRead) CloseHandle(hRead);
        std::free(pData);
    }
    // Keeps the bytes, or loses the stream when they would take it past its most or past
    // what memory gives. The taken bytes go first when they are the larger part.
    void Append(const char* p, size_t n) {
        if (bLost) return;
        if (nTaken > nSize / 2) {
            std::memmove(pData, pData + nTaken, nSize - nTaken);
            nSize -= nTaken;
            nScanned -= nTaken;
            nTaken = 0;
        }
        if (n > nMost - (nSize - nTaken)) return Lose();
        if (n > nCapacity - nSize) {
            // Twice the room where memory gives it, else just enough.
            size_t nNeed = nSize + n, nNew = nCapacity > nNeed - nCapacity ? 2 * nCapacity : nNeed;
            char* pNew = static_cast<char*>(std::realloc(pData, nNew));
            if (!pNew && nNew > nNeed) pNew = static_cast<char*>(std::realloc(pData, nNew = nNeed));
            if (!pNew) return Lose();
            pData = pNew;
            nCapacity = nNew;
        }
        std::memcpy(pData + nSize, p, n);
        nSize += n;
    }
    void Lose() {
        std::free(pData);
        pData = nullptr;
        nSize = nCapacity = nTaken = nScanned = 0;
        bLost = true;
    }
};

// The text of n bytes as a string, whole, or std::bad_alloc: the size is checked against the
// longest string before it is taken as a string's length.
KxString TextOf(const char* p, size_t n) {
    if (n > KxString::MAX_LENGTH) throw std::bad_alloc();
    KxString sText;
    KxTsh::Append(sText, p, static_cast<unsigned>(n));
    return sText;
}

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

// The reading thread's stack holds its chunk and what the system calls need below it.
const size_t kChunk = 32768, kReaderStack = 65536;

// One thread reads both pipes and never waits inside a read: it asks each pipe how much it
// holds, reads that, and pauses briefly while both hold nothing. A read that waits cannot be
// called off on the older systems (there is no way before Vista), so a stream held open by a
// process out of reach would keep its thread forever; this one ends as soon as the script
// lets go. (The emulated 32-bit Wine of the tests also crashed with several threads waiting
// in pipe reads at once, and failed reads into a fresh 64 KiB heap block: the chunk is on the
// stack.)
DWORD WINAPI ReadToEnd(LPVOID pv) {
    KxPipeReader::Shared* p = static_cast<KxPipeReader::Shared*>(pv);
    char achChunk[kChunk];
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
            // A stream that cannot keep what arrives is still read to its end: the program
            // never waits on it. The event is set only for a waiting reader (it costs a
            // system call each time), and for one told of a loss.
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
    // A small stack of its own, whatever the host's default (a host may give its threads tens
    // of MiB for deep scripts, which would leave a 32-bit host little room for many programs
    // and long strings); the systems before XP take the size as the first commit instead.
    if (bEvents)
        hThread = CreateThread(nullptr, kReaderStack, ReadToEnd, pShared, STACK_SIZE_PARAM_IS_A_RESERVATION, &dwId);
    if (!hThread) {
        for (StreamData& s : pShared->aStreams) s.bEnded = true;
        pShared->nHolders = 1;
        return false;
    }
    return true;
}

namespace {

// Waits up to dwMs until bFound(), called under the lock whenever text arrived, says so (true),
// or the stream has ended (false). A lost stream throws std::bad_alloc, as does bFound.
template <class Found>
bool Await(KxPipeReader::Shared* p, StreamData& s, DWORD dwMs, Found bFound) {
    DWORD dwStart = GetTickCount();
    for (;;) {
        EnterCriticalSection(&p->cs);
        bool bEnded = s.bEnded, bLost = s.bLost, bHere = false;
        try {
            bHere = !bLost && bFound();
        } catch (const std::bad_alloc&) {
            LeaveCriticalSection(&p->cs);
            throw;
        }
        if (!bHere && !bEnded && !bLost) s.bWaiting = true;
        LeaveCriticalSection(&p->cs);
        if (bLost) throw std::bad_alloc();
        if (bHere) return true;
        if (bEnded) return false;
        DWORD dwWaited = GetTickCount() - dwStart;
        if (dwMs != INFINITE && dwWaited >= dwMs) return false;
        // At the time, the text is looked for once more: it may have come meanwhile.
        WaitForSingleObject(s.hArrived, dwMs == INFINITE ? INFINITE : dwMs - dwWaited);
    }
}

}  // namespace

bool KxPipeReader::NextLine(Stream stream, KxString* psLine, DWORD dwMs) {
    if (!pShared) return false;
    StreamData& s = pShared->aStreams[stream];
    return Await(pShared, s, dwMs, [&] {
        size_t nEnd = s.nScanned;
        while (nEnd < s.nSize && s.pData[nEnd] != '\n') ++nEnd;
        s.nScanned = nEnd;
        bool bLine = nEnd < s.nSize;
        if (!bLine && !(s.bEnded && s.nTaken < s.nSize)) return false;
        size_t nNext = bLine ? nEnd + 1 : nEnd;
        if (bLine && nEnd > s.nTaken && s.pData[nEnd - 1] == '\r') --nEnd;
        // A line memory cannot copy whole stays to be read, and ends the method.
        *psLine = TextOf(s.pData + s.nTaken, nEnd - s.nTaken);
        s.nTaken = s.nScanned = nNext;
        return true;
    });
}

bool KxPipeReader::WaitFor(Stream stream, const KxString& sText, DWORD dwMs) {
    if (!pShared) return false;
    StreamData& s = pShared->aStreams[stream];
    const char* pText = sText;
    size_t nText = sText.Length(), nSearched = 0;  // after nTaken, which only this thread moves
    return Await(pShared, s, dwMs, [&] {
        size_t nUnread = s.nSize - s.nTaken;
        if (nText == 0) return true;
        // Each start is tried once: only the starts that arrived since are new.
        for (; nSearched + nText <= nUnread; ++nSearched)
            if (std::memcmp(s.pData + s.nTaken + nSearched, pText, nText) == 0) return true;
        return false;
    });
}

bool KxPipeReader::Ended(Stream stream) {
    if (!pShared) return true;
    StreamData& s = pShared->aStreams[stream];
    EnterCriticalSection(&pShared->cs);
    bool bEnded = s.bEnded && (s.bLost || s.nTaken == s.nSize);
    LeaveCriticalSection(&pShared->cs);
    return bEnded;
}

KxString KxPipeReader::Unread(Stream stream) {
    if (!pShared) return KxString("");
    StreamData& s = pShared->aStreams[stream];
    EnterCriticalSection(&pShared->cs);
    bool bLost = s.bLost;
    KxString sText(NULL_STRING);
    try {
        if (!bLost) sText = TextOf(s.pData + s.nTaken, s.nSize - s.nTaken);
    } catch (const std::bad_alloc&) {
        bLost = true;
    }
    LeaveCriticalSection(&pShared->cs);
    if (bLost) throw std::bad_alloc();  // never handed on cut
    return sText;
}

void KxPipeReader::HoldAtMost(size_t nBytes) {
    nHeldMost = nBytes < KxString::MAX_LENGTH ? nBytes : KxString::MAX_LENGTH;
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
