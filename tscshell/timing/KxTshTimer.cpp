#include "KxTshTimer.h"

#include <windows.h>

namespace {
unsigned SystemTicks() { return GetTickCount(); }

const KxTshMethodDef kMethods[] = {
    {"Timer", KXTSH_METHOD(KxTshTimer, Timer), 0},
    {"Start", KXTSH_METHOD(KxTshTimer, Start), -1},
    {"Stop", KXTSH_METHOD(KxTshTimer, Stop), 0},
    // Pausing is stopping: both note the moment, and Resume carries on from it.
    {"Pause", KXTSH_METHOD(KxTshTimer, Stop), 0},
    {"Resume", KXTSH_METHOD(KxTshTimer, Resume), 0},
    {"HasExpired", KXTSH_METHOD(KxTshTimer, HasExpired), 0},
    {"Reset", KXTSH_METHOD(KxTshTimer, Reset), 0},
};
const KxTshSignatureDef kSignatures[] = {{"Start", {"void"}}, {"Start", {"int"}}};
// Raised only when memory for a new Timer runs out, with the code of File and Shell.
const int kTimerError = 28;
const KxTshMethodDoc kDocs[] = {
    {"Start", {{"delay", nullptr}}}, {"Stop", {}}, {"Pause", {}}, {"Resume", {}},
    {"HasExpired", {}}, {"Reset", {}},
};
}  // namespace

const KxTshClassDef KxTshTimer::kDef = {kMethods, kSignatures, {}, kDocs, {}, {}, false, kTimerError};
KxTshTimer::TickSource KxTshTimer::pfnTickCount = SystemTicks;

KxTshTimer::KxTshTimer() : KxTshClass(KXO_SCRIPT_CLASS) {}

KxTshTimer::KxTshTimer(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS) { BuildClassObject(); }

KxScDataHandle* KxTshTimer::Timer(KxScDataHandle*, int, KxScDataHandle**) {
    return KxScDataHandle::CreateData(new KxTshTimer);
}

KxScDataHandle* KxTshTimer::Start(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject()) return nullptr;
    if (KxScDataHandle* phDelay = KxTsh::Arg(nArgs, pphArgs, 0))
        swWatch.dwDelay = static_cast<unsigned>(phDelay->dwValue);
    swWatch.dwStartTick = pfnTickCount();
    return nullptr;
}

KxScDataHandle* KxTshTimer::Stop(KxScDataHandle*, int, KxScDataHandle**) {
    if (!OnClassObject()) swWatch.dwPauseTick = pfnTickCount();
    return nullptr;
}

KxScDataHandle* KxTshTimer::Resume(KxScDataHandle*, int, KxScDataHandle**) {
    if (!OnClassObject()) swWatch.Resume();
    return nullptr;
}

KxScDataHandle* KxTshTimer::HasExpired(KxScDataHandle*, int, KxScDataHandle**) {
    if (OnClassObject()) return nullptr;
    return KxTsh::Bool(swWatch.HasExpired());
}

KxScDataHandle* KxTshTimer::Reset(KxScDataHandle*, int, KxScDataHandle**) {
    if (!OnClassObject()) swWatch.dwStartTick = pfnTickCount();
    return nullptr;
}
