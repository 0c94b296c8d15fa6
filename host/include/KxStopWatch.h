#pragma once
#include "KxUtilApi.h"

// A stopwatch whose three fields the caller writes directly from the system tick count:
// dwStartTick when timing (re)starts, dwPauseTick when it pauses, dwDelay the delay in ms.
// Choices of this library:
// - The watch is paused when dwPauseTick is not 0 and was taken after dwStartTick
//   (a restart after a pause therefore ends the pause; a pause in the very millisecond of the
//   start is indistinguishable from a restart and does not count). Paused time does not count.
// - Resume on a paused watch moves dwStartTick on by the paused time and clears dwPauseTick;
//   on a running watch it changes nothing.
// - HasExpired is true when the elapsed time is at least dwDelay. All tick arithmetic is
//   unsigned 32-bit, so one wrap of the tick counter between start and now is harmless.
//   A watch with all fields 0 (never started, delay 0) counts as expired.
class KXUTIL_API KxStopWatch {
public:
    KxStopWatch() : dwStartTick(0), dwPauseTick(0), dwDelay(0) {}
    void Resume();
    bool HasExpired() const;
    unsigned Elapsed() const;

    // The tick source; GetTickCount unless a test replaces it (null puts it back).
    typedef unsigned (*TickSource)();
    static void SetTickSource(TickSource pfnSource);

    unsigned dwStartTick;
    unsigned dwPauseTick;
    unsigned dwDelay;

private:
    bool IsPaused() const;
};
