#include <windows.h>

#include "KxTarvoHost.h"
#include "TarvoLib.h"

namespace {
KxScConsoleManager gConsole;
KxScStdLibListInterface gLists;
std::vector<std::unique_ptr<tarvo::Program>> gPrograms;
bool gbTraceCompile = false;
int gnExitStatus = 0;

// The UTF-8 character at p (at most n bytes): its length in bytes, and in *pnWidth the columns
// a terminal gives it, 2 for the wide East Asian ones (Hangul, CJK, kana, full-width forms,
// the pictographs), else 1. A byte that starts no character is one column, as shown.
int DisplayChar(const unsigned char* p, int n, int* pnWidth) {
    int nLength = p[0] < 0x80 ? 1 : p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 1;
    if (nLength > n) nLength = 1;
    unsigned u = nLength == 1 ? p[0] : p[0] & (0x7F >> nLength);
    for (int i = 1; i < nLength; ++i) u = (u << 6) | (p[i] & 0x3F);
    static const unsigned kWide[][2] = {
        {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
        {0xA000, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
        {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
    };
    *pnWidth = 1;
    for (const auto& r : kWide)
        if (nLength > 1 && u >= r[0] && u <= r[1]) *pnWidth = 2;
    return nLength;
}

// PATH:LINE:COL: syntax error: MESSAGE, then the line and a caret under the column. Of a long
// line only the part around the column is shown, its cuts marked "...".
void ReportSyntax(const tarvo::SyntaxError& e) {
    KxString s(e.sPath);
    s << ":" << e.nLine << ":" << e.nCol << ": syntax error: " << e.sMessage << "\r\n";
    if (!e.sLineText.IsNull()) {
        const int kAround = 60;
        const char* p = e.sLineText;
        int n = static_cast<int>(e.sLineText.Length());
        int nFrom = e.nCol - 1 > kAround ? e.nCol - 1 - kAround : 0;
        int nTo = e.nCol - 1 + kAround < n ? e.nCol - 1 + kAround : n;
        KxString sLine("  "), sCaret("  ");
        if (nFrom > 0) sLine << "...", sCaret << "   ";
        sLine.Append(p + nFrom, nTo - nFrom);
        if (nTo < n) sLine << "...";
        // The caret lines up under the column as a terminal shows the line above: a tab
        // under a tab, one space a character, two under a wide East Asian one (the column
        // number itself counts bytes).
        for (int i = nFrom; i < e.nCol - 1 && i < n;) {
            int nWidth = 0;
            i += DisplayChar(reinterpret_cast<const unsigned char*>(p) + i, n - i, &nWidth);
            sCaret << (p[i - 1] == '\t' ? "\t" : nWidth == 2 ? "  " : " ");
        }
        s << sLine << "\r\n" << sCaret << "^\r\n";
    }
    KxTarvo::PrintError(s);
}

// PATH:LINE: error CODE: TEXT, then the calls it was raised in when it was raised in one.
void ReportUncaught(const tarvo::ScriptError& e, const KxString& sPath) {
    KxString s(e.psPath ? *e.psPath : sPath);
    s << ":" << e.nLine << ": error " << e.nCode << ": " << e.sText << "\r\n";
    if (e.vCalls.size() > 1)
        for (const KxString& sCall : e.vCalls) s << "  " << sCall << "\r\n";
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

namespace tarvo {

Program& KeepProgram(std::unique_ptr<Program> program) {
    Program& ref = *program;
    gPrograms.push_back(std::move(program));
    DefineFunctions(ref);
    return ref;
}

// "-" is standard input, read to its end.
bool ReadSource(const KxString& sPath, KxString* psSource, unsigned long* pdwError) {
    bool bStdin = sPath == "-";
    HANDLE h = bStdin ? GetStdHandle(STD_INPUT_HANDLE)
                      : CreateFileA(sPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    *psSource = "";
    bool bRead = h != INVALID_HANDLE_VALUE && h != nullptr;
    *pdwError = bRead ? 0 : GetLastError();
    while (bRead) {
        char buf[65536];
        DWORD dwGot = 0;
        if (!ReadFile(h, buf, sizeof buf, &dwGot, nullptr)) {
            // A pipe whose writer has gone ends like a file.
            *pdwError = GetLastError();
            bRead = bStdin && *pdwError == ERROR_BROKEN_PIPE;
            break;
        }
        if (dwGot == 0) break;
        unsigned nBefore = psSource->Length();
        psSource->Append(buf, dwGot);
        // A source that memory cannot hold is not run cut short.
        if (psSource->Length() != nBefore + dwGot) {
            *pdwError = ERROR_NOT_ENOUGH_MEMORY;
            bRead = false;
        }
    }
    if (h != INVALID_HANDLE_VALUE && h != nullptr && !bStdin) CloseHandle(h);
    return bRead;
}

}  // namespace tarvo

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
    tarvo::ForgetIncludes();
    gPrograms.clear();
    RtDropAllGlobals();
    KxScDataHandle::GarbageCollect();
    RtDeleteClassInfos();
    delete KxScObject::poExemplar;
    KxScObject::poExemplar = nullptr;
    // Last: whatever the steps above let go of may have been kept.
    RtDropKeptTexts();
}

int RunSource(const KxString& sSource, const KxString& sPath) {
    if (!Started("RunSource")) return RUN_NOT_STARTED;
    try {
        tarvo::Run(tarvo::KeepProgram(tarvo::Compile(sSource, sPath)));
    } catch (tarvo::SyntaxError& e) {
        ReportSyntax(e);
        return RUN_SYNTAX;
    } catch (tarvo::ScriptError& e) {
        ReportUncaught(e, sPath);
        return RUN_UNCAUGHT;
    } catch (tarvo::ScriptExit& e) {
        gnExitStatus = e.nStatus;
        return RUN_EXITED;
    } catch (tarvo::ScriptInterrupt&) {
        tarvo::ClearInterrupt();  // the request is spent: a later run is not stopped by it
        RtClearStdRead();
        return RUN_INTERRUPTED;
    }
    return RUN_OK;
}

int RunFile(const KxString& sPath) {
    if (!Started("RunFile")) return RUN_NOT_STARTED;
    KxString sSource(NULL_STRING);
    unsigned long dwError = 0;
    if (!tarvo::ReadSource(sPath, &sSource, &dwError)) {
        KxString s("tarvo: cannot read ");
        s << sPath << ": " << RtSystemReason(dwError) << "\r\n";
        PrintError(s);
        return RUN_SYNTAX;
    }
    tarvo::TextRun run(sPath);
    int nResult = RunSource(sSource, sPath);
    run.bDone = nResult == RUN_OK;
    return nResult;
}

int ExitStatus() { return gnExitStatus; }

void Interrupt() {
    tarvo::Interrupt();
    RtInterruptStdRead();
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
