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
    HANDLE hDone = nullptr;     // manual-reset: an overlapped read of the pipe completed
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
        if (hDone) CloseHandle(hDone);
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

// What a read of a pipe takes at most: half the pipe. (Reads of a quarter of it cost the
// capture a fifth of its speed in calls to the system.)
const size_t kChunk = 32768;

// Between the reading thread and the script's thread, freed by the one that lets go last.
struct KxPipeReader::Shared {
    CRITICAL_SECTION cs;
    StreamData aStreams[2];
    HANDLE hStop = nullptr;  // manual-reset: the script's thread has let go, the reading thread ends
    bool bOverlapped = false;
    LONG nHolders = 2;
    // A write the script's thread asked for (bAsked until answered), and whether the text went
    // whole. The asking thread waits for hAnswered; bCallOff asks the reading thread to call
    // the write off. bGone: the reading thread takes no more asks.
    struct Ask {
        HANDLE hInput = nullptr;
        const char* pText = nullptr;
        DWORD nText = 0;
        bool bAsked = false, bCallOff = false, bWhole = false;
    } ask;
    HANDLE hAsked = nullptr;     // auto-reset: a write was asked for, or called off
    HANDLE hAnswered = nullptr;  // auto-reset: the asked write is over
    HANDLE hWritten = nullptr;   // manual-reset: the overlapped write completed
    bool bGone = false;
    // A chunk per stream for the reading thread, written before use, so that every page of
    // them is there before a read is given one.
    char aachChunk[2][kChunk];

    Shared() {
        InitializeCriticalSection(&cs);
        std::memset(aachChunk, 0, sizeof aachChunk);
    }
    ~Shared() {
        for (HANDLE h : {hStop, hAsked, hAnswered, hWritten})
            if (h) CloseHandle(h);
        DeleteCriticalSection(&cs);
    }
    void Answer(bool bWhole) {
        EnterCriticalSection(&cs);
        ask.bAsked = false;
        ask.bWhole = bWhole;
        LeaveCriticalSection(&cs);
        SetEvent(hAnswered);
    }
    void Leave() {
        if (InterlockedDecrement(&nHolders) == 0) delete this;
    }
    void End(StreamData& s) {
        EnterCriticalSection(&cs);
        s.bEnded = true;
        LeaveCriticalSection(&cs);
        SetEvent(s.hArrived);
    }
    // A stream that cannot keep what arrives is still read to its end: the program never
    // waits on it. The event is set only for a waiting reader (it costs a system call each
    // time), and for one told of a loss.
    void Deliver(StreamData& s, const char* pChunk, DWORD dwCount) {
        EnterCriticalSection(&cs);
        s.Append(pChunk, dwCount);
        bool bWake = s.bWaiting;
        s.bWaiting = false;
        LeaveCriticalSection(&cs);
        if (bWake) SetEvent(s.hArrived);
    }
};

namespace {

// The reading thread's stack: its chunks are in Shared, so what the system calls need is all.
const size_t kReaderStack = 65536;

// The write the script's thread asked for, made by the reading thread: the system calls a
// write off only for the thread that made it. (The emulated 32-bit Wine of the tests never
// gives back a write made by the script's thread and called off there, or failed by the
// program's end, while another thread waits: the host then dies.)
struct Writing {
    KxPipeReader::Shared* p;
    OVERLAPPED ov = {};
    HANDLE hInput = nullptr;
    const char* pText = nullptr;
    DWORD nText = 0;
    bool bPending = false;

    void Issue() {
        ov = OVERLAPPED();
        ov.hEvent = p->hWritten;
        if (WriteFile(hInput, pText, nText, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING) bPending = true;
        else p->Answer(false);
    }
    // The pending write is over (or called off, bMore false): the rest is written, or the
    // script's thread is answered.
    void Took(bool bMore) {
        DWORD dwDone = 0;
        bool bTook = GetOverlappedResult(hInput, &ov, &dwDone, TRUE) && dwDone > 0;
        bPending = false;
        if (bTook) {
            pText += dwDone;
            nText -= dwDone;
        }
        if (bTook && nText > 0 && bMore) Issue();
        else p->Answer(bTook && nText == 0);
    }
    // What the script's thread asks: a new write, or the pending one called off.
    void Heed() {
        EnterCriticalSection(&p->cs);
        KxPipeReader::Shared::Ask ask = p->ask;
        LeaveCriticalSection(&p->cs);
        if (!ask.bAsked) return;
        if (!bPending) {
            hInput = ask.hInput;
            pText = ask.pText;
            nText = ask.nText;
            Issue();
        }
        if (bPending && ask.bCallOff) {
            CancelIo(hInput);
            Took(false);
        }
    }
};

// Overlapped pipes: a read of each stream stays pending, and the thread sleeps until one
// completes, the script asks for a write, or the script lets go; a silent program costs
// nothing. Letting go calls the pending reads off (a read that waits in the system could not
// be), also while another process still holds a pipe's write end. The thread is done once
// both streams have ended and no write is asked for.
void ReadWaiting(KxPipeReader::Shared* p, char (*aachChunk)[kChunk]) {
    OVERLAPPED aov[2] = {};
    bool abPending[2] = {};
    Writing writing{p};
    for (;;) {
        HANDLE ahWait[5];
        DWORD nWait = 0;
        for (int i = 0; i < 2; ++i) {
            StreamData& s = p->aStreams[i];
            if (s.bEnded) continue;
            if (!abPending[i]) {
                aov[i] = OVERLAPPED();
                aov[i].hEvent = s.hDone;
                // A pipe whose every write end is closed fails the read once empty: its end.
                if (!ReadFile(s.hRead, aachChunk[i], kChunk, nullptr, &aov[i]) && GetLastError() != ERROR_IO_PENDING) {
                    p->End(s);
                    continue;
                }
                abPending[i] = true;
            }
            ahWait[nWait++] = s.hDone;
        }
        if (nWait == 0 && !writing.bPending) {
            EnterCriticalSection(&p->cs);
            bool bAsked = p->ask.bAsked;
            p->bGone = !bAsked;
            LeaveCriticalSection(&p->cs);
            if (!bAsked) return;
        }
        if (writing.bPending) ahWait[nWait++] = p->hWritten;
        ahWait[nWait++] = p->hAsked;
        ahWait[nWait] = p->hStop;
        DWORD dwWoken = WaitForMultipleObjects(nWait + 1, ahWait, FALSE, INFINITE);
        if (dwWoken == WAIT_OBJECT_0 + nWait || dwWoken == WAIT_FAILED) break;
        // Every completed read is taken, so that a busy stream does not starve the other.
        for (int i = 0; i < 2; ++i) {
            StreamData& s = p->aStreams[i];
            if (!abPending[i] || !HasOverlappedIoCompleted(&aov[i])) continue;
            abPending[i] = false;
            DWORD dwCount = 0;
            if (!GetOverlappedResult(s.hRead, &aov[i], &dwCount, FALSE)) p->End(s);
            else if (dwCount > 0) p->Deliver(s, aachChunk[i], dwCount);  // a write of nothing reads as nothing
        }
        if (writing.bPending && HasOverlappedIoCompleted(&writing.ov)) writing.Took(true);
        if (dwWoken == WAIT_OBJECT_0 + nWait - 1) writing.Heed();
    }
    // The chunks and the text stay until the system is done with every call made off.
    for (int i = 0; i < 2; ++i) {
        DWORD dwCount = 0;
        if (!abPending[i]) continue;
        CancelIo(p->aStreams[i].hRead);
        GetOverlappedResult(p->aStreams[i].hRead, &aov[i], &dwCount, TRUE);
    }
    if (writing.bPending) {
        CancelIo(writing.hInput);
        writing.Took(false);
    }
}

// Plain pipes: the thread never waits inside a read, which nothing could call off. It asks
// each pipe how much it holds, reads that, and pauses briefly while both hold nothing.
void ReadPolling(KxPipeReader::Shared* p, char* pChunk) {
    DWORD dwIdle = 0, dwPause = 0;
    while (WaitForSingleObject(p->hStop, dwPause) == WAIT_TIMEOUT) {
        bool bLive = false, bRead = false;
        for (StreamData& s : p->aStreams) {
            if (s.bEnded) continue;
            DWORD dwAvailable = 0, dwCount = 0;
            if (!PeekNamedPipe(s.hRead, nullptr, 0, nullptr, &dwAvailable, nullptr)) {
                p->End(s);
                continue;
            }
            bLive = true;
            if (dwAvailable == 0) continue;
            if (!ReadFile(s.hRead, pChunk, dwAvailable < kChunk ? dwAvailable : kChunk, &dwCount, nullptr) || dwCount == 0) {
                p->End(s);
                continue;
            }
            bRead = true;
            p->Deliver(s, pChunk, dwCount);
        }
        if (!bLive) return;
        // Yields first (a program that writes much fills a pipe in less than a pause), then
        // pauses of 1 ms, then of 10 ms while the program stays silent.
        if (bRead) dwIdle = 0;
        else if (dwIdle < 128) ++dwIdle;
        dwPause = dwIdle < 64 ? 0 : dwIdle < 128 ? 1 : 10;
    }
}

DWORD WINAPI ReadToEnd(LPVOID pv) {
    KxPipeReader::Shared* p = static_cast<KxPipeReader::Shared*>(pv);
    if (p->bOverlapped) ReadWaiting(p, p->aachChunk);
    else ReadPolling(p, p->aachChunk[0]);
    // A write asked for and not taken (the thread ended on a failed wait) is answered: the
    // script's thread never waits for a thread that is gone.
    EnterCriticalSection(&p->cs);
    p->bGone = true;
    bool bAsked = p->ask.bAsked;
    LeaveCriticalSection(&p->cs);
    if (bAsked) p->Answer(false);
    for (StreamData& s : p->aStreams)
        if (!s.bEnded) p->End(s);
    p->Leave();
    return 0;
}

}  // namespace

bool KxPipeReader::Start(HANDLE hOutput, HANDLE hErrors, bool bOverlapped) {
    Release();
    pShared = new (std::nothrow) Shared;
    if (!pShared) {
        CloseHandle(hOutput);
        CloseHandle(hErrors);
        return false;
    }
    pShared->bOverlapped = bOverlapped;
    pShared->hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    pShared->hAsked = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    pShared->hAnswered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    pShared->hWritten = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool bEvents = pShared->hStop && pShared->hAsked && pShared->hAnswered && pShared->hWritten;
    HANDLE ahRead[2] = {hOutput, hErrors};
    for (int i = 0; i < 2; ++i) {
        StreamData& s = pShared->aStreams[i];
        s.hRead = ahRead[i];
        s.hArrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        s.hDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        bEvents = bEvents && s.hArrived && s.hDone;
    }
    DWORD dwId = 0;
    // A small stack of its own, whatever the host's default (a host may give its threads tens
    // of MiB for deep scripts, which would leave a 32-bit host little room for many programs
    // and long strings); the systems before XP take the size as the first commit instead.
    if (bEvents)
        hThread = CreateThread(nullptr, kReaderStack, ReadToEnd, pShared, STACK_SIZE_PARAM_IS_A_RESERVATION, &dwId);
    if (!hThread) {
        for (StreamData& s : pShared->aStreams) s.bEnded = true;
        pShared->bGone = true;
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

bool KxPipeReader::Take(Stream stream, KxString* psText, DWORD dwMs) {
    if (!pShared) return false;
    StreamData& s = pShared->aStreams[stream];
    return Await(pShared, s, dwMs, [&] {
        if (s.nTaken == s.nSize) return false;
        *psText = TextOf(s.pData + s.nTaken, s.nSize - s.nTaken);
        s.nTaken = s.nScanned = s.nSize;
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
        // Each start is tried once: only the starts that arrived since are new.
        for (; nSearched + nText <= nUnread; ++nSearched) {
            if (std::memcmp(s.pData + s.nTaken + nSearched, pText, nText) != 0) continue;
            // A repeated prompt is then found anew, not in the one already answered.
            s.nTaken += nSearched + nText;
            if (s.nScanned < s.nTaken) s.nScanned = s.nTaken;
            return true;
        }
        return false;
    });
}

bool KxPipeReader::Write(const KxPipe& input, const char* pText, DWORD nText, DWORD dwMs) {
    Shared* p = pShared;
    bool bAsked = false;
    if (p && p->bOverlapped && input.hOurs && nText > 0) {
        EnterCriticalSection(&p->cs);
        bAsked = !p->bGone;
        if (bAsked) {
            Shared::Ask ask;
            ask.hInput = input.hOurs;
            ask.pText = pText;
            ask.nText = nText;
            ask.bAsked = true;
            p->ask = ask;
        }
        LeaveCriticalSection(&p->cs);
    }
    if (!bAsked) return input.Write(pText, nText, dwMs);
    SetEvent(p->hAsked);
    // At the time the write is called off; the text stays until the reading thread answers.
    if (WaitForSingleObject(p->hAnswered, dwMs) != WAIT_OBJECT_0) {
        EnterCriticalSection(&p->cs);
        p->ask.bCallOff = true;
        LeaveCriticalSection(&p->cs);
        SetEvent(p->hAsked);
        WaitForSingleObject(p->hAnswered, INFINITE);
    }
    EnterCriticalSection(&p->cs);
    bool bWhole = p->ask.bWhole;
    LeaveCriticalSection(&p->cs);
    return bWhole;
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
        // The thread ends at once, or within one pause of its poll; should the system keep it
        // longer, the library stays loaded for it.
        SetEvent(pShared->hStop);
        if (WaitForSingleObject(hThread, 5000) != WAIT_OBJECT_0) KxPinModule();
        CloseHandle(hThread);
        hThread = nullptr;
    }
    if (pShared) pShared->Leave();
    pShared = nullptr;
}
