#include "KxTshTask.h"

namespace {

const KxTshMethodDef kMethods[] = {
    {"TaskList", KXTSH_METHOD(KxTshTask, TaskList), 0},
    {"Kill", KXTSH_METHOD(KxTshTask, Kill), -1},
};
const KxTshSignatureDef kSignatures[] = {{"Kill", {"void"}}, {"Kill", {"int"}}};
enum { TOKEN_ID, TOKEN_FLAGS, TOKEN_NAME, TOKEN_WINDOW };
const char* const kTokens[] = {"id", "flags", "name", "window"};
const KxTshMethodDoc kDocs[] = {{"TaskList", {}}, {"Kill", {}}, {"Kill", {{"int force", nullptr}}}};
// Raised only when memory runs out, with the code of the other process class.
const int kTaskError = 28;

}  // namespace

const KxTshClassDef KxTshTask::kDef = {kMethods, kSignatures, kTokens, kDocs, kTokens, {}, true, kTaskError};

KxTshTask::KxTshTask(const TaskRecord& record) : KxTshClass(KXO_SCRIPT_CLASS), record(record) {}

KxTshTask::KxTshTask(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS), record() { BuildClassObject(); }

void KxTshTask::SetupClass() {
    KxTshClass::SetupClass();
    SelectTaskStrategy();
}

bool KxTshTask::GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue) {
    switch (LookupPropertyToken(sName, pptTokenTable)) {
    case TOKEN_ID: *pphValue = KxScDataHandle::CreateData(static_cast<int>(record.dwProcessId)); return true;
    case TOKEN_FLAGS: *pphValue = KxScDataHandle::CreateData(static_cast<int>(record.dwFlags)); return true;
    case TOKEN_NAME: *pphValue = KxScDataHandle::CreateData(KxTsh::Join(record.szExeName), false); return true;
    case TOKEN_WINDOW:
        *pphValue = KxScDataHandle::CreateData(KxTsh::Join(record.hWindow ? record.szWindowTitle : ""), false);
        return true;
    default: return false;
    }
}

KxScDataHandle* KxTshTask::TaskList(KxScDataHandle*, int, KxScDataHandle**) {
    TaskRecord aRecords[TASK_LIST_CAPACITY] = {};
    unsigned nCount = pfnEnumTasks ? pfnEnumTasks(aRecords, TASK_LIST_CAPACITY) : 0;
    FindTaskWindows(aRecords, nCount);
    return KxTsh::List(nCount, [&](unsigned i) { return KxScDataHandle::CreateData(new KxTshTask(aRecords[i])); });
}

KxScDataHandle* KxTshTask::Kill(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject()) return nullptr;
    int nForce = 0;
    bool bForce = nArgs == 1 && KxTsh::IntArg(nArgs, pphArgs, 0, &nForce) && nForce != 0;
    return KxTsh::Bool(KillTask(record, bForce) != 0);
}
