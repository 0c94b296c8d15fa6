#include <gtest/gtest.h>
#include <windows.h>

#include "KxEnvVariable.h"
#include "KxThread.h"

TEST(KxEnvVariable, SetGetAndUnset) {
    KxEnvVariable var("KX_UTIL_TEST_VAR");
    EXPECT_TRUE(var.Get() == NULL_STRING);
    EXPECT_FALSE(var.ReadVariable());
    ASSERT_TRUE(var.Set("value 1"));
    EXPECT_TRUE(var.Get() == "value 1");
    char szBuf[32] = {};
    GetEnvironmentVariableA("KX_UTIL_TEST_VAR", szBuf, sizeof szBuf);
    EXPECT_STREQ("value 1", szBuf);
    ASSERT_TRUE(var.Set(""));
    EXPECT_TRUE(var.Get() == "");
    EXPECT_TRUE(var.Get() != NULL_STRING);
    ASSERT_TRUE(var.Set(NULL_STRING));
    EXPECT_TRUE(var.Get() == NULL_STRING);
    EXPECT_TRUE(static_cast<KxString>(var) == NULL_STRING);
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
    ASSERT_TRUE(pThread->AssignWork(&work, 1000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(work.hDone, 5000));
    EXPECT_NE(GetCurrentThreadId(), work.dwThread);
    EXPECT_EQ(pThread, work.pSeen);
    ASSERT_TRUE(pThread->AssignWork(&work, 1000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(work.hDone, 5000));
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
