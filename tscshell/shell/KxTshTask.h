#pragma once
#include "KxTaskRecords.h"
#include "KxTshClass.h"

// Task: the processes running on the machine. Task.TaskList() gives a list of Task objects,
// each a copy of one process's record when the list was made: id, flags, name (its program
// file) and window (the title of one of its top-level windows, or ""). Kill() asks the
// process's window to close, or terminates a process without one; Kill(1) terminates it.
class KxTshTask : public KxTshClass<KxTshTask> {
public:
    explicit KxTshTask(const TaskRecord& record);
    explicit KxTshTask(ClassObjectTag);

    KxScDataHandle* TaskList(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Kill(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);

    bool GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue);

    // Each setup, the first or not, chooses the process enumeration again.
    static void SetupClass();

    static const KxTshClassDef kDef;

    TaskRecord record;
};

KXTSH_DECLARE_STATICS(KxTshTask);
