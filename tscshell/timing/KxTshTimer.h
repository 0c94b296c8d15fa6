#pragma once
#include "KxStopWatch.h"
#include "KxTshClass.h"

// Timer: a stopwatch with a delay. Scripts make one with Timer.Timer(), start it with an
// optional delay in milliseconds, pause (or stop), resume and reset it, and ask HasExpired().
// Calls other than Timer() on the class object do nothing and give no value.
class KxTshTimer : public KxTshClass<KxTshTimer> {
public:
    KxTshTimer();
    explicit KxTshTimer(ClassObjectTag);

    KxScDataHandle* Timer(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Start(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Stop(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Resume(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* HasExpired(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Reset(KxScDataHandle*, int, KxScDataHandle**);

    // Where the ticks come from: GetTickCount, or a test's clock.
    typedef unsigned (*TickSource)();
    static TickSource pfnTickCount;

    static const KxTshClassDef kDef;

    KxStopWatch swWatch;
};

KXTSH_DECLARE_STATICS(KxTshTimer);
