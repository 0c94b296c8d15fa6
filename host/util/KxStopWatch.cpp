#include "KxStopWatch.h"

#include <windows.h>

namespace {
unsigned SystemTicks() { return GetTickCount(); }
KxStopWatch::TickSource pfnTicks = SystemTicks;
}  // namespace

void KxStopWatch::SetTickSource(TickSource pfnSource) { pfnTicks = pfnSource ? pfnSource : SystemTicks; }

bool KxStopWatch::IsPaused() const {
    // Signed distance: a pause taken before the latest start no longer applies.
    return dwPauseTick != 0 && static_cast<int>(dwPauseTick - dwStartTick) > 0;
}

unsigned KxStopWatch::Elapsed() const {
    return (IsPaused() ? dwPauseTick : pfnTicks()) - dwStartTick;
}

void KxStopWatch::Resume() {
    if (!IsPaused()) return;
    dwStartTick += pfnTicks() - dwPauseTick;
    dwPauseTick = 0;
}

bool KxStopWatch::HasExpired() const { return Elapsed() >= dwDelay; }
