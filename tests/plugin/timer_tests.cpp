// Timer driven by a clock the test sets, so delays, pauses and the tick wrap need no sleeping.
#include "KxTshTimer.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshTimer, "Timer");

namespace {

unsigned uNow = 0;
unsigned FakeTicks() { return uNow; }

class TimerTest : public ClassTest<KxTshTimer> {
protected:
    static void SetUpTestSuite() {
        ClassTest::SetUpTestSuite();
        KxTshTimer::pfnTickCount = FakeTicks;
        KxStopWatch::SetTickSource(FakeTicks);
    }
    // HasExpired() of the global timer t, with the clock at uTick.
    static int ExpiredAt(unsigned uTick) {
        uNow = uTick;
        Run("r = t.HasExpired();");
        return Int("r");
    }
};

TEST_F(TimerTest, FieldsFollowTheCallsAndStartKeepsTheDelay) {
    uNow = 1000;
    Run("t = Timer.Timer();");
    KxTshTimer* pt = Object<KxTshTimer>("t");
    ASSERT_NE(pt, nullptr);
    // At each tick the call, then the start tick, pause tick and delay it leaves.
    const struct {
        unsigned uTick;
        const char* pszCall;
        unsigned uStart, uPause, uDelay;
    } steps[] = {{1000, "", 0, 0, 0},                 {1000, "t.Start(500);", 1000, 0, 500},
                 {1200, "t.Pause();", 1000, 1200, 500}, {1300, "t.Stop();", 1000, 1300, 500},
                 {1400, "t.Start();", 1400, 1300, 500}, {1450, "t.Reset();", 1450, 1300, 500}};
    for (const auto& s : steps) {
        uNow = s.uTick;
        Run(s.pszCall);
        EXPECT_EQ(pt->swWatch.dwStartTick, s.uStart) << s.pszCall;
        EXPECT_EQ(pt->swWatch.dwPauseTick, s.uPause) << s.pszCall;
        EXPECT_EQ(pt->swWatch.dwDelay, s.uDelay) << s.pszCall;
    }
    // The pause tick from before the latest start no longer pauses it.
    EXPECT_EQ(ExpiredAt(1949), 0);
    EXPECT_EQ(ExpiredAt(1950), 1);
    Run("t = nil;");
}

TEST_F(TimerTest, PausedTimeDoesNotCount) {
    uNow = 5000;
    Run("t = Timer.Timer(); t.Start(100);");
    EXPECT_EQ(ExpiredAt(5099), 0);
    EXPECT_EQ(ExpiredAt(5100), 1);
    Run("t.Reset();");  // at 5100
    EXPECT_EQ(ExpiredAt(5150), 0);
    Run("t.Pause();");  // 50 ms gone
    EXPECT_EQ(ExpiredAt(9000), 0);
    Run("t.Resume();");  // at 9000: 50 ms left
    Run("t.Resume();");  // running: changes nothing
    EXPECT_EQ(ExpiredAt(9049), 0);
    EXPECT_EQ(ExpiredAt(9050), 1);
    Run("t = nil;");
}

TEST_F(TimerTest, DelayRunsAcrossTheTickWrap) {
    uNow = 0xFFFFFFF0u;
    Run("t = Timer.Timer(); t.Start(100);");
    EXPECT_EQ(ExpiredAt(0xFFFFFFFFu), 0);
    EXPECT_EQ(ExpiredAt(0x53), 0);  // 99 ms after the start
    EXPECT_EQ(ExpiredAt(0x54), 1);
    // A pause just after the wrap is accounted for too: 26 ms gone before it, 74 left after it.
    uNow = 0xFFFFFFF0u;
    Run("t.Reset();");
    uNow = 0xA;
    Run("t.Pause();");
    uNow = 0x1000;
    Run("t.Resume();");
    EXPECT_EQ(ExpiredAt(0x1049), 0);
    EXPECT_EQ(ExpiredAt(0x104A), 1);
    Run("t = nil;");
}

TEST_F(TimerTest, MethodsCalledDirectlyOnTheClassObjectDoNothing) {
    KxTshTimer* pClass = KxTshTimer::poClassObject;
    ASSERT_NE(pClass, nullptr);
    KxScDataHandle* phDelay = KxScDataHandle::CreateData(70);
    EXPECT_EQ(pClass->Start(nullptr, 1, &phDelay), nullptr);
    EXPECT_EQ(pClass->HasExpired(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(pClass->swWatch.dwDelay, 0u);
    phDelay->Drop();
    // An instance given no argument array keeps its delay.
    KxTshTimer timer;
    timer.swWatch.dwDelay = 9;
    EXPECT_EQ(timer.Start(nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(timer.swWatch.dwDelay, 9u);
}

}  // namespace
