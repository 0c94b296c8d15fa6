#include "KxThread.h"

#include <windows.h>

namespace {
// The calling thread's KxThread. Threads started here set it themselves; others get an
// adopted object on first use, kept in a list freed at unload.
thread_local KxThread* tlsCurrent = nullptr;

struct AdoptedThreads {
    CRITICAL_SECTION cs;
    KxThread** ppItems = nullptr;
    int nCount = 0;
    AdoptedThreads() { InitializeCriticalSection(&cs); }
    ~AdoptedThreads() {
        for (int i = 0; i < nCount; ++i) delete ppItems[i];
        delete[] ppItems;
        DeleteCriticalSection(&cs);
    }
    void Add(KxThread* p) {
        EnterCriticalSection(&cs);
        KxThread** ppMore = new KxThread*[nCount + 1];
        for (int i = 0; i < nCount; ++i) ppMore[i] = ppItems[i];
        ppMore[nCount++] = p;
        delete[] ppItems;
        ppItems = ppMore;
        LeaveCriticalSection(&cs);
    }
} gAdopted;
}  // namespace

KxThreadWork::~KxThreadWork() = default;

KxThread::KxThread(int nKind)
    : nKind(nKind), hThread(nullptr), hWorkReady(nullptr), hWorkTaken(nullptr), pPending(nullptr),
      bShutdown(0), dwThreadId(0), pVmEnv(nullptr) {
    if (nKind == KX_THREAD_ADOPTED) {
        dwThreadId = GetCurrentThreadId();
        return;
    }
    hWorkReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    hWorkTaken = CreateEventA(nullptr, FALSE, TRUE, nullptr);
}

KxThread::~KxThread() {
    if (hThread) {
        bool bOnSelf = GetCurrentThreadId() == dwThreadId;
        SignalShutdown(!bOnSelf);
        CloseHandle(hThread);
    }
    if (hWorkReady) CloseHandle(hWorkReady);
    if (hWorkTaken) CloseHandle(hWorkTaken);
    if (tlsCurrent == this) tlsCurrent = nullptr;
}

KxThread* KxThread::GetThread() {
    if (!tlsCurrent) {
        tlsCurrent = new KxThread(KX_THREAD_ADOPTED);
        gAdopted.Add(tlsCurrent);
    }
    return tlsCurrent;
}

bool KxThread::AssignWork(KxThreadWork* pWork, unsigned long dwTimeoutMs) {
    if (nKind == KX_THREAD_ADOPTED || !pWork || bShutdown || !hWorkReady || !hWorkTaken) return false;
    if (WaitForSingleObject(hWorkTaken, dwTimeoutMs) != WAIT_OBJECT_0) return false;
    pPending = pWork;
    if (!hThread) {
        DWORD dwId = 0;
        hThread = CreateThread(nullptr, 0, StartRoutine, this, 0, &dwId);
        if (!hThread) {
            pPending = nullptr;
            SetEvent(hWorkTaken);
            return false;
        }
        dwThreadId = dwId;
    }
    SetEvent(hWorkReady);
    return true;
}

void KxThread::SignalShutdown(bool bWait) {
    InterlockedExchange(&bShutdown, 1);
    if (hWorkReady) SetEvent(hWorkReady);
    if (bWait && hThread && GetCurrentThreadId() != dwThreadId) WaitForSingleObject(hThread, INFINITE);
}

unsigned long KxThread::ThreadEntry() {
    for (;;) {
        WaitForSingleObject(hWorkReady, INFINITE);
        KxThreadWork* pWork = pPending;
        pPending = nullptr;
        SetEvent(hWorkTaken);
        if (pWork) pWork->DoWork();
        // Work assigned before the shutdown signal still runs.
        if (bShutdown && !pPending) return 0;
    }
}

unsigned long __stdcall KxThread::StartRoutine(void* pvThread) {
    KxThread* pThread = static_cast<KxThread*>(pvThread);
    tlsCurrent = pThread;
    unsigned long dwResult = pThread->ThreadEntry();
    tlsCurrent = nullptr;
    if (pThread->nKind == KX_THREAD_SELF_DELETING) delete pThread;
    return dwResult;
}
