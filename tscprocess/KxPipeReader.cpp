#include "KxPipeReader.h"

#include <new>
#include <string>

#include "KxModulePin.h"

// Between the reading thread and the script's thread: the bytes (taken ones before nTaken),
// whether the pipe has ended, and who still holds the block.
struct KxPipeReader::Shared {
    CRITICAL_SECTION cs;
    HANDLE hRead = nullptr;
    HANDLE hArrived = nullptr;  // auto-reset: set after each arrival and at the end
    std::string sData;
    size_t nTaken = 0;
    size_t nScanned = 0;  // no LF in sData[nTaken, nScanned)
    bool bEnded = false;
    LONG nHolders = 2;

    Shared() { InitializeCriticalSection(&cs); }
    ~Shared() {
        DeleteCriticalSection(&cs);
        if (hArrived) CloseHandle(hArrived);
        if (hRead) CloseHandle(hRead);
    }
    void Leave() {
        if (InterlockedDecrement(&nHolders) == 0) delete this;
    }
};

namespace {

const DWORD kChunk = 65536;

DWORD WINAPI ReadToEnd(LPVOID pv) {
    KxPipeReader::Shared* p = static_cast<KxPipeReader::Shared*>(pv);
    char* pChunk = new (std::nothrow) char[kChunk];
    DWORD dwCount = 0;
    while (pChunk && ReadFile(p->hRead, pChunk, kChunk, &dwCount, nullptr) && dwCount > 0) {
        EnterCriticalSection(&p->cs);
        // Without memory for more, the rest is read and dropped: the program still runs on.
        try {
            p->sData.append(pChunk, dwCount);
        } catch (const std::bad_alloc&) {
        }
        LeaveCriticalSection(&p->cs);
        SetEvent(p->hArrived);
    }
    delete[] pChunk;
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
        size_t nEnd = s.sData.find('\n', s.nScanned);
        bool bEnded = s.bEnded;
        if (nEnd == std::string::npos) s.nScanned = s.sData.size();
        if (nEnd != std::string::npos || (bEnded && s.nTaken < s.sData.size())) {
            size_t nNext = nEnd == std::string::npos ? s.sData.size() : nEnd + 1;
            if (nEnd == std::string::npos) nEnd = s.sData.size();
            if (nEnd > s.nTaken && s.sData[nEnd - 1] == '\r' && nEnd < s.sData.size()) --nEnd;
            KxString sLine(s.sData.data() + s.nTaken, static_cast<unsigned>(nEnd - s.nTaken));
            s.nTaken = s.nScanned = nNext;
            // The taken bytes go once they are the larger part.
            if (s.nTaken > s.sData.size() / 2) {
                s.sData.erase(0, s.nTaken);
                s.nTaken = s.nScanned = 0;
            }
            LeaveCriticalSection(&s.cs);
            *psLine = sLine;
            return true;
        }
        LeaveCriticalSection(&s.cs);
        if (bEnded) return false;
        WaitForSingleObject(s.hArrived, INFINITE);
    }
}

KxString KxPipeReader::Unread() {
    if (!pShared) return KxString("");
    EnterCriticalSection(&pShared->cs);
    KxString sText(pShared->sData.data() + pShared->nTaken, static_cast<unsigned>(pShared->sData.size() - pShared->nTaken));
    LeaveCriticalSection(&pShared->cs);
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
