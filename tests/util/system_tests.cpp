#include <gtest/gtest.h>
#include <windows.h>

#include "KxEnvVariable.h"
#include "KxThread.h"

// Set and read through Shell.Setenv and Shell.Getenv in shell_tests; unset only from here.
TEST(KxEnvVariable, SetGetAndUnset) {
    KxEnvVariable var("KX_UTIL_TEST_VAR");
    EXPECT_TRUE(var.Get() == NULL_STRING);
    ASSERT_TRUE(var.Set("value 1"));
    ASSERT_TRUE(var.Set(NULL_STRING));
    EXPECT_TRUE(var.Get() == NULL_STRING);
    EXPECT_EQ(GetEnvironmentVariableA("KX_UTIL_TEST_VAR", nullptr, 0), 0u);
}

namespace {
struct CountingWork : KxThreadWork {
    HANDLE hDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    volatile LONG nRuns = 0;
    DWORD dwThread = 0;
    KxThread* pSeen = nullptr;
    ~CountingWork() override { CloseHandle(hDone); }
    void DoWork() override {
        dwThread = GetCurrentThreadId();
        pSeen = KxThread::GetThread();
        InterlockedIncrement(&nRuns);
        SetEvent(hDone);
    }
};
}  // namespace

TEST(KxThread, RunsAssignedWorkOnItsOwnThreadAndEndsOnShutdown) {
    CountingWork work;
    KxThread* pThread = new KxThread(KxThread::KX_THREAD_OWNED);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pThread->AssignWork(&work, 1000));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(work.hDone, 5000));
    }
    EXPECT_NE(GetCurrentThreadId(), work.dwThread);
    EXPECT_EQ(pThread, work.pSeen);
    pThread->SignalShutdown(true);
    EXPECT_EQ(2, work.nRuns);
    EXPECT_FALSE(pThread->AssignWork(&work, 0));
    delete pThread;
    // The calling thread has an object of its own that carries a VM environment slot.
    KxThread* pMain = KxThread::GetThread();
    ASSERT_NE(nullptr, pMain);
    EXPECT_EQ(pMain, KxThread::GetThread());
    EXPECT_EQ(nullptr, pMain->GetVmEnv());
    EXPECT_FALSE(pMain->AssignWork(&work, 0));
}
