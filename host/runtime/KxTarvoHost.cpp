#include <windows.h>

#include "KxTarvoHost.h"
#include "Tarvo.h"

namespace {
KxScConsoleManager gConsole;
KxScStdLibListInterface gLists;
std::vector<std::unique_ptr<tarvo::Program>> gPrograms;
bool gbTraceCompile = false;

void Report(const KxString& sPath, int nLine, const KxString& sWhat) {
    KxString s(sPath);
    s << ":" << nLine << ": " << sWhat << "\r\n";
    KxTarvo::PrintError(s);
}

// Scripts need what Startup makes (the root object, the console, the lists) and what
// Shutdown frees again: a call before Startup or after Shutdown is turned away with a message
// instead of running on null pointers or leaving globals no later Shutdown would free.
bool Started(const char* pszCall) {
    if (KxScObject::poExemplar) return true;
    KxString s("tarvo: KxTarvo::");
    s << pszCall << " called while the runtime is not started (call KxTarvo::Startup first)\r\n";
    KxTarvo::PrintError(s);
    return false;
}

}  // namespace

namespace KxTarvo {

void Startup() {
    if (KxScObject::poExemplar) return;
    KxScObject* poRoot = new KxScObject(KxScDataObject::KXO_SCRIPT_CLASS);
    poRoot->sObjectName = "Object<class>";
    KxScObject::poExemplar = poRoot;
    KxScConsoleManager::pcmManager = &gConsole;
    KxScStdLib::pslliListInterface = &gLists;
    tarvo::EnvOfThisThread();  // where methods the host calls itself raise their exceptions
    RtKeepStdHandles();
}

void Shutdown() {
    tarvo::ForgetFunctions();
    gPrograms.clear();
    RtDropAllGlobals();
    KxScDataHandle::GarbageCollect();
    RtDeleteClassInfos();
    delete KxScObject::poExemplar;
    KxScObject::poExemplar = nullptr;
}

int RunSource(const KxString& sSource, const KxString& sPath) {
    if (!Started("RunSource")) return RUN_NOT_STARTED;
    std::unique_ptr<tarvo::Program> program;
    try {
        program = tarvo::Compile(sSource, sPath);
    } catch (tarvo::SyntaxError& e) {
        Report(sPath, e.nLine, KxString("syntax error: ") + e.sMessage);
        return RUN_SYNTAX;
    }
    tarvo::Program& ref = *program;
    gPrograms.push_back(std::move(program));
    tarvo::DefineFunctions(ref);
    try {
        tarvo::Run(ref);
    } catch (tarvo::ScriptError& e) {
        KxString sWhat("error ");
        sWhat << e.nCode << ": " << e.sText;
        Report(e.psPath ? *e.psPath : sPath, e.nLine, sWhat);
        return RUN_UNCAUGHT;
    }
    return RUN_OK;
}

int RunFile(const KxString& sPath) {
    if (!Started("RunFile")) return RUN_NOT_STARTED;
    HANDLE h = CreateFileA(sPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    KxString sSource("");
    bool bRead = h != INVALID_HANDLE_VALUE;
    while (bRead) {
        char buf[65536];
        DWORD dwGot = 0;
        bRead = ReadFile(h, buf, sizeof buf, &dwGot, nullptr) != 0;
        if (!bRead || dwGot == 0) break;
        unsigned nBefore = sSource.Length();
        sSource.Append(buf, dwGot);
        // A source that memory cannot hold is not run cut short.
        if (sSource.Length() != nBefore + dwGot) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            bRead = false;
        }
    }
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!bRead) {
        KxString s("tarvo: cannot read ");
        s << sPath << " (error " << static_cast<int>(GetLastError()) << ")\r\n";
        PrintError(s);
        return RUN_SYNTAX;
    }
    return RunSource(sSource, sPath);
}

void SetScriptArgs(const KxString& sScript, int nArgs, char** ppszArgs) {
    if (!Started("SetScriptArgs")) return;
    KxScVmEnv::SetGlobalVariable("SCRIPT", KxScDataHandle::CreateData(sScript, false), true, false);
    KxScStdLibList* pList = nullptr;
    KxScDataHandle* phList = nullptr;
    gLists.CreateList(&pList, &phList);
    for (int i = 0; i < nArgs; ++i) {
        KxScDataHandle* ph = KxScDataHandle::CreateData(ppszArgs[i], false);
        pList->AppendItem(ph);
        ph->Drop();
    }
    KxScVmEnv::SetGlobalVariable("ARGS", phList, true, false);
}

void SetCompileTrace(bool bOn) { gbTraceCompile = bOn; }
bool CompileTrace() { return gbTraceCompile; }
int LiveHandles() { return RtLiveHandles(); }

void PrintError(const KxString& sText) {
    if (!sText.IsNull()) RtWriteStd(STD_ERROR_HANDLE, sText, sText.Length());
}

}  // namespace KxTarvo
