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
    EXPECT_EQ(pt->swWatch.dwStartTick, 0u);
    EXPECT_EQ(pt->swWatch.dwPauseTick, 0u);
    EXPECT_EQ(pt->swWatch.dwDelay, 0u);
    Run("t.Start(500);");
    EXPECT_EQ(pt->swWatch.dwStartTick, 1000u);
    EXPECT_EQ(pt->swWatch.dwDelay, 500u);
    uNow = 1200;
    Run("t.Pause();");
    EXPECT_EQ(pt->swWatch.dwPauseTick, 1200u);
    uNow = 1300;
    Run("t.Stop();");
    EXPECT_EQ(pt->swWatch.dwPauseTick, 1300u);
    uNow = 1400;
    Run("t.Start();");
    EXPECT_EQ(pt->swWatch.dwStartTick, 1400u);
    EXPECT_EQ(pt->swWatch.dwPauseTick, 1300u);
    EXPECT_EQ(pt->swWatch.dwDelay, 500u);
    uNow = 1450;
    Run("t.Reset();");
    EXPECT_EQ(pt->swWatch.dwStartTick, 1450u);
    EXPECT_EQ(pt->swWatch.dwDelay, 500u);
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
