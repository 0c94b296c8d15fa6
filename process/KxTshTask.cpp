#include "KxTshTask.h"

namespace {

const KxTshMethodDef kMethods[] = {
    {"TaskList", static_cast<KxScMethodFunc>(&KxTshTask::TaskList), 0},
    {"Kill", static_cast<KxScMethodFunc>(&KxTshTask::Kill), -1},
};
const KxTshSignatureDef kSignatures[] = {{"Kill", {"void"}}, {"Kill", {"int"}}};
enum { TOKEN_ID, TOKEN_FLAGS, TOKEN_NAME, TOKEN_WINDOW };
const char* const kTokens[] = {"id", "flags", "name", "window"};
const KxTshMethodDoc kDocs[] = {{"TaskList", {}}, {"Kill", {}}};

}  // namespace

const KxTshClassDef KxTshTask::kDef = {kMethods, kSignatures, kTokens, kDocs, kTokens, {}, true};

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
    case TOKEN_NAME: *pphValue = KxScDataHandle::CreateData(KxString(record.szExeName), false); return true;
    case TOKEN_WINDOW:
        *pphValue = KxScDataHandle::CreateData(KxString(record.hWindow ? record.szWindowTitle : ""), false);
        return true;
    default: return false;
    }
}

KxScDataHandle* KxTshTask::TaskList(KxScDataHandle*, int, KxScDataHandle**) {
    TaskRecord aRecords[TASK_LIST_CAPACITY] = {};
    unsigned nCount = pfnEnumTasks ? pfnEnumTasks(aRecords, TASK_LIST_CAPACITY) : 0;
    FindTaskWindows(aRecords, nCount);
    KxScStdLibListInterface* pli = KxScStdLib::pslliListInterface;
    if (!pli) return nullptr;
    KxScStdLibList* pList = nullptr;
    KxScDataHandle* phList = nullptr;
    pli->CreateList(&pList, &phList);
    for (unsigned i = 0; i < nCount; ++i) {
        KxScDataHandle* ph = KxScDataHandle::CreateData(new KxTshTask(aRecords[i]));
        pList->AppendItem(ph);
        ph->Drop();
    }
    return phList;
}

KxScDataHandle* KxTshTask::Kill(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject()) return nullptr;
    int nForce = 0;
    bool bForce = nArgs == 1 && KxTsh::IntArg(nArgs, pphArgs, 0, &nForce) && nForce != 0;
    return KxTsh::Bool(KillTask(record, bForce) != 0);
}
