#include "KxTshTimer.h"

#include <windows.h>

namespace {
unsigned SystemTicks() { return GetTickCount(); }

const KxTshMethodDef kMethods[] = {
    {"Timer", static_cast<KxScMethodFunc>(&KxTshTimer::Timer), 0},
    {"Start", static_cast<KxScMethodFunc>(&KxTshTimer::Start), -1},
    {"Stop", static_cast<KxScMethodFunc>(&KxTshTimer::Stop), 0},
    // Pausing is stopping: both note the moment, and Resume carries on from it.
    {"Pause", static_cast<KxScMethodFunc>(&KxTshTimer::Stop), 0},
    {"Resume", static_cast<KxScMethodFunc>(&KxTshTimer::Resume), 0},
    {"HasExpired", static_cast<KxScMethodFunc>(&KxTshTimer::HasExpired), 0},
    {"Reset", static_cast<KxScMethodFunc>(&KxTshTimer::Reset), 0},
};
const KxTshSignatureDef kSignatures[] = {{"Start", {"void"}}, {"Start", {"int"}}};
const KxTshMethodDoc kDocs[] = {
    {"Start", {{"delay", nullptr}}}, {"Stop", {}}, {"Pause", {}}, {"Resume", {}},
    {"HasExpired", {}}, {"Reset", {}},
};
}  // namespace

const KxTshClassDef KxTshTimer::kDef = {kMethods, kSignatures, {}, kDocs, {}, {}, false};
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
