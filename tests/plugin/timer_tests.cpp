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
};

// At each tick a call on the timer t, then what t.HasExpired() gives there (-1: not asked).
TEST_F(TimerTest, DelaysPausesAndTheTickWrap) {
    const struct {
        unsigned uTick;
        const char* pszCall;
        int nExpired;
    } steps[] = {
        // Start() keeps the delay; a pause from before the latest start no longer pauses it.
        {1000, "t = Timer.Timer();", 1}, {1000, "t.Start(500);", 0}, {1200, "t.Pause();", -1},
        {1300, "t.Stop();", -1}, {9000, "", 0}, {1400, "t.Start();", -1}, {1450, "t.Reset();", -1},
        {1949, "", 0}, {1950, "", 1},
        // Paused time does not count; Resume on a running timer changes nothing.
        {5000, "t.Start(100);", 0}, {5099, "", 0}, {5100, "", 1}, {5100, "t.Reset();", 0},
        {5150, "t.Pause();", 0}, {9000, "", 0}, {9000, "t.Resume(); t.Resume();", 0}, {9049, "", 0}, {9050, "", 1},
        // Across the tick wrap, and a pause just after it: 26 ms gone before it, 74 left after.
        {0xFFFFFFF0u, "t.Start(100);", 0}, {0xFFFFFFFFu, "", 0}, {0x53, "", 0}, {0x54, "", 1},
        {0xFFFFFFF0u, "t.Reset();", 0}, {0xA, "t.Pause();", 0}, {0x1000, "t.Resume();", 0},
        {0x1049, "", 0}, {0x104A, "", 1},
    };
    for (const auto& s : steps) {
        uNow = s.uTick;
        Run((std::string(s.pszCall) + "r = t.HasExpired();").c_str());
        if (s.nExpired >= 0) {
            EXPECT_EQ(Int("r"), s.nExpired) << s.pszCall << " at " << s.uTick;
        }
    }
    Run("t = nil;");
}

// The class object has no delay to set; an instance given no argument array keeps its delay.
TEST_F(TimerTest, MethodsCalledDirectlyOnTheClassObjectDoNothing) {
    KxTshTimer* pClass = KxTshTimer::poClassObject;
    KxScDataHandle* phDelay = KxScDataHandle::CreateData(70);
    EXPECT_EQ(pClass->Start(nullptr, 1, &phDelay), nullptr);
    EXPECT_EQ(pClass->HasExpired(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(pClass->swWatch.dwDelay, 0u);
    phDelay->Drop();
    KxTshTimer timer;
    timer.swWatch.dwDelay = 9;
    EXPECT_EQ(timer.Start(nullptr, 1, nullptr), nullptr);
    EXPECT_EQ(timer.swWatch.dwDelay, 9u);
}

}  // namespace
