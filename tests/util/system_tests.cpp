#include <gtest/gtest.h>
#include <windows.h>

#include "KxEnvVariable.h"
#include "KxStopWatch.h"
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
unsigned gFakeTicks;
unsigned FakeTicks() { return gFakeTicks; }

struct StopWatchTest : ::testing::Test {
    void SetUp() override { KxStopWatch::SetTickSource(FakeTicks); }
    void TearDown() override { KxStopWatch::SetTickSource(nullptr); }
};
}  // namespace

TEST_F(StopWatchTest, PausedTimeDoesNotCount) {
    KxStopWatch sw;
    gFakeTicks = 1000;
    sw.dwStartTick = gFakeTicks;
    sw.dwDelay = 100;
    gFakeTicks = 1060;
    sw.dwPauseTick = gFakeTicks;  // paused after 60
    gFakeTicks = 5000;
    EXPECT_FALSE(sw.HasExpired());
    sw.Resume();
    EXPECT_EQ(0u, sw.dwPauseTick);
    gFakeTicks = 5039;
    EXPECT_FALSE(sw.HasExpired());
    gFakeTicks = 5040;  // 60 + 40 = the delay exactly
    EXPECT_TRUE(sw.HasExpired());
    // Resume on a running watch changes nothing.
    unsigned dwStart = sw.dwStartTick;
    sw.Resume();
    EXPECT_EQ(dwStart, sw.dwStartTick);
    // A restart after a pause is running, not paused.
    sw.dwPauseTick = 6000;
    sw.dwStartTick = 6010;
    gFakeTicks = 6200;
    EXPECT_EQ(190u, sw.Elapsed());
}

TEST_F(StopWatchTest, SurvivesTickWrap) {
    KxStopWatch sw;
    sw.dwStartTick = 0xFFFFFFF0u;
    sw.dwDelay = 0x20;
    gFakeTicks = 0x0000000Fu;  // 0x1F after the start
    EXPECT_FALSE(sw.HasExpired());
    gFakeTicks = 0x00000010u;
    EXPECT_TRUE(sw.HasExpired());
    // Pause before the wrap, resume after it.
    sw.dwStartTick = 0xFFFFFF00u;
    sw.dwPauseTick = 0xFFFFFF10u;
    gFakeTicks = 0x00000100u;
    sw.Resume();
    EXPECT_EQ(0x10u, sw.Elapsed());
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
