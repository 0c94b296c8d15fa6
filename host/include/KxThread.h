#pragma once
#include "KxUtilApi.h"

class KxScVmEnv;

// A unit of work for a KxThread.
class KXUTIL_API KxThreadWork {
public:
    virtual ~KxThreadWork();
    virtual void DoWork() = 0;
};

// A thread of the process, with the script VM environment that runs on it.
// Choices of this library:
// - GetThread() gives the calling thread's object. A thread that no KxThread started gets
//   one made on first use (kind KX_THREAD_ADOPTED), freed when the library unloads.
// - The constructor's kind: KX_THREAD_OWNED is a worker its creator deletes (the destructor
//   signals shutdown and waits for it); KX_THREAD_SELF_DELETING is a worker that deletes
//   itself once it has ended after SignalShutdown.
// - AssignWork starts the worker on first use and hands it the work; it waits at most
//   dwTimeoutMs for the worker to take the previous work and is false when that did not
//   happen, or when the thread cannot start or is shutting down. Work runs in order.
// - SignalShutdown(bWait) lets the worker end once its current work is done; with bWait,
//   and when not called on the worker itself, it also waits for the end.
class KXUTIL_API KxThread {
public:
    enum { KX_THREAD_ADOPTED = 0, KX_THREAD_OWNED = 1, KX_THREAD_SELF_DELETING = 2 };

    explicit KxThread(int nKind);
    KxThread(const KxThread&) = delete;
    KxThread& operator=(const KxThread&) = delete;
    virtual ~KxThread();

    static KxThread* GetThread();

    bool AssignWork(KxThreadWork* pWork, unsigned long dwTimeoutMs);
    void SignalShutdown(bool bWait);
    virtual unsigned long ThreadEntry();

    KxScVmEnv* GetVmEnv() const { return pVmEnv; }
    void SetVmEnv(KxScVmEnv* pEnv) { pVmEnv = pEnv; }

private:
    static unsigned long __stdcall StartRoutine(void* pvThread);

    int nKind;
    void* hThread;
    void* hWorkReady;   // set when pPending holds work or shutdown is asked
    void* hWorkTaken;   // set when the worker has taken pPending
    KxThreadWork* volatile pPending;
    volatile long bShutdown;
    unsigned long dwThreadId;
    KxScVmEnv* pVmEnv;
};
