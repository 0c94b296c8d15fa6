#include "KxTshShell.h"

#include "KxDirectory.h"
#include "KxEnvVariable.h"
#include "KxFindConsoleThread.h"
#include "KxTshFile.h"
#include "KxTshOutput.h"

// The sizes the 32-bit library is built around.
static_assert(sizeof(void*) != 4 || sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES");
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68, "STARTUPINFOA");

namespace {

const KxTshMethodDef kMethods[] = {
    {"Exec", KXTSH_METHOD(KxTshShell, Exec), -1},
    {"Chdir", KXTSH_METHOD(KxTshShell, Chdir), 1},
    {"Setenv", KXTSH_METHOD(KxTshShell, Setenv), 2},
    {"Getenv", KXTSH_METHOD(KxTshShell, Getenv), 1},
    {"GetCurrentDir", KXTSH_METHOD(KxTshShell, GetCurrentDir), 0},
    {"Sleep", KXTSH_METHOD(KxTshShell, Sleep), 1},
};
const KxTshSignatureDef kSignatures[] = {
    {"Chdir", {"String"}}, {"Setenv", {"String", "String"}}, {"Getenv", {"String"}}, {"Sleep", {"_Integer_"}},
};
const KxTshMethodDoc kDocs[] = {
    {"Exec", {{"String programName", nullptr}}},
    {"Exec", {{"String programName", nullptr}, {"File OutputFile", nullptr}}},
    {"Exec", {{"String programName", nullptr}, {"int waitFlag", nullptr}}},
    {"Chdir", {{"String dir", nullptr}}},
    {"Setenv", {{"String name", nullptr}, {"String value", nullptr}}},
    {"Getenv", {{"String name", nullptr}}},
    {"GetCurrentDir", {}},
    {"Sleep", {{"int milliWait", nullptr}}},
};
enum { SH_EXEC_WAIT = 1, SH_EXEC_NOWAIT = 2 };
const KxTshConstant kConstants[] = {{"SH_EXEC_WAIT", SH_EXEC_WAIT}, {"SH_EXEC_NOWAIT", SH_EXEC_NOWAIT}};
const int kShellError = 28, kArgumentError = 15, kNoValueError = 7;
const char kStdOutFailure[] = "Error setting STDOUT handle.", kStdErrFailure[] = "Error setting STDERR handle.";

// Puts a saved standard handle back: the message when it could not be, or null.
const char* PutBack(DWORD dwStd, HANDLE h) {
    if (SetStdHandle(dwStd, h)) return nullptr;
    return dwStd == STD_OUTPUT_HANDLE ? kStdOutFailure : kStdErrFailure;
}

// The variable's value through the system's Unicode functions, held exactly in the ANSI code
// page or with '?' for each character it cannot hold (KxTsh::FromSystem); the null string when
// it is unset. False when the system has no Unicode variables (the 95 family).
bool ReadVariable(const KxString& sName, KxString& sValue) {
    std::unique_ptr<wchar_t[]> pwName = KxTsh::ToWide(CP_ACP, sName);
    if (!pwName) return false;
    const DWORD dwRoom = KxTsh::kMaxSystemText + 1;  // the longest value and its NUL
    std::unique_ptr<wchar_t[]> pwValue(new wchar_t[dwRoom]);
    SetLastError(0);
    DWORD dwChars = GetEnvironmentVariableW(pwName.get(), pwValue.get(), dwRoom);
    if (dwChars == 0 && KxTsh::NoUnicode()) return false;
    // 0 means unset or set to the empty text; only the error tells them apart.
    if (dwChars == 0 || dwChars >= dwRoom) {
        sValue = GetLastError() == ERROR_ENVVAR_NOT_FOUND ? KxString(NULL_STRING) : KxTsh::Join("");
        return true;
    }
    KxTsh::FromSystem(CP_ACP, pwValue.get(), static_cast<int>(dwChars), sValue);
    return true;
}

// The current folder as a name that reaches it: its own when the file functions' code page
// holds it, else its short form where the system keeps one, else with '?' for each character
// the page cannot hold, which Chdir refuses. "" when it is longer than 259 characters. False
// when the system has no Unicode current folder (the 95 family).
bool ReadCurrentFolder(KxString& sFolder) {
    wchar_t awFolder[MAX_PATH], awShort[MAX_PATH];
    DWORD dwChars = GetCurrentDirectoryW(MAX_PATH, awFolder);
    if (dwChars == 0 && KxTsh::NoUnicode()) return false;
    sFolder = KxTsh::Join("");
    if (dwChars == 0 || dwChars >= MAX_PATH) return true;
    unsigned nPage = KxTsh::FilePage();
    if (KxTsh::FromSystem(nPage, awFolder, static_cast<int>(dwChars), sFolder)) return true;
    // Not on every Windows the plug-in loads on.
    auto pfnShortPath = KxTsh::LookUp<decltype(&GetShortPathNameW)>(GetModuleHandleA("KERNEL32.DLL"), "GetShortPathNameW");
    DWORD dwShort = pfnShortPath ? pfnShortPath(awFolder, awShort, MAX_PATH) : 0;
    KxString sShort;
    if (dwShort > 0 && dwShort < MAX_PATH && KxTsh::FromSystem(nPage, awShort, static_cast<int>(dwShort), sShort))
        sFolder = sShort;
    return true;
}

// Errors of the process steps: raised, and the method gives no value.
template <class Text>
KxScDataHandle* Fail(int nCode, const Text& text) {
    KxTsh::Raise(nCode, text);
    return nullptr;
}

}  // namespace

const KxTshClassDef KxTshShell::kDef = {kMethods, kSignatures, {}, kDocs, {}, kConstants, false, kShellError};
bool KxTshShell::bConsoleAllocated = false;

KxTshShell::KxTshShell() : KxTshClass(KXO_SCRIPT_CLASS) {}

KxTshShell::KxTshShell(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS) { BuildClassObject(); }

void KxTshShell::ShutdownClass() {
    if (bConsoleAllocated) FreeConsole();
    KxTshClass::ShutdownClass();
}

// A host without a console gets one for the programs it starts, hidden by the finder. When
// the host has one already, AllocConsole fails and the next Exec tries again.
void KxTshShell::AllocateHiddenConsole() {
    if (bConsoleAllocated || !AllocConsole()) return;
    bConsoleAllocated = true;
    SetConsoleTitleA(kHiddenConsoleTitle);
    // The finder's code runs for seconds after this call and its object deletes itself when
    // it is done; the library must stay loaded for both even if the host unloads it sooner.
    // One more load of itself, never freed, pins it on every Windows the plug-in runs on.
    MEMORY_BASIC_INFORMATION mbi = {};
    char szSelf[MAX_PATH];
    if (VirtualQuery(&kHiddenConsoleTitle, &mbi, sizeof mbi) &&
        GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), szSelf, sizeof szSelf))
        LoadLibraryA(szSelf);
    // Without memory for the finder the console stays in sight; the programs run all the same.
    if (KxFindConsoleThread* pFinder = new (std::nothrow) KxFindConsoleThread) pFinder->AssignWork(pFinder, 10000);
}

KxScDataHandle* KxTshShell::Exec(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    AllocateHiddenConsole();
    if ((nArgs != 1 && nArgs != 2) || !pphArgs)
        return Fail(kArgumentError, "Shell::Exec(): Need one or two parameters.");
    int nWait = SH_EXEC_WAIT;
    KxTshFile* pFile = nullptr;
    if (KxScDataHandle* phSecond = nArgs == 2 ? pphArgs[1] : nullptr) {
        if (phSecond->wFlags & HF_INTEGER) {
            nWait = static_cast<int>(phSecond->dwValue);
        } else if (KxScDataObject* po = phSecond->Object()) {
            pFile = static_cast<KxTshFile*>(po->DynamicCast("KxTshFile"));
        }
    }
    if (!pphArgs[0]) return Fail(kNoValueError, "Shell::Exec(): first argument must be a string.");
    const KxString* psCommand = KxTsh::TextArg(nArgs, pphArgs, 0);
    if (!psCommand) return Fail(kArgumentError, "Shell::Exec(): first argument must be a string.");
    // A command line the system cannot take whole fails as one it cannot start, before the
    // standard handles or anything else is touched.
    if (!KxTsh::CommandLineTakes(*psCommand)) return Fail(kShellError, KxTsh::Join("Cannot create process: ", *psCommand));
    if (nWait == SH_EXEC_WAIT) return RunAndCapture(*psCommand, pFile);

    // Detached: the program starts in the folder part of its command line (arguments and
    // all are taken as the path), or in the host's current folder when there is none.
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    KxString sCommand = KxTsh::Join(*psCommand);  // CreateProcessA may write into the command line
    KxString sFolder = KxGetDirectoryFromPath(sCommand);
    if (!KxTsh::StartProcess(sCommand, false, DETACHED_PROCESS, nullptr,
                             sFolder.IsNull() ? nullptr : static_cast<const char*>(sFolder), &si, &pi))
        return Fail(kShellError, KxTsh::Join("Cannot create process: ", *psCommand));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return nullptr;
}

KxScDataHandle* KxTshShell::RunAndCapture(const KxString& sCommand, KxTshFile* pFile) {
    KxString sLine = KxTsh::Join(sCommand);  // CreateProcessA may write into the command line
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (!CreatePipe(&hRead, &hWrite, &sa, 0)) return Fail(kShellError, "Shell::Exec(): Cannot create pipe.");
    // The program gets the host's standard handles, pointed into the pipe for the start. A
    // handle that cannot be read could not be put back: that counts as not redirected.
    HANDLE hOldOut = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE hOldErr = GetStdHandle(STD_ERROR_HANDLE);
    const char* pszFailure = nullptr;
    if (hOldOut == INVALID_HANDLE_VALUE || !SetStdHandle(STD_OUTPUT_HANDLE, hWrite)) {
        pszFailure = kStdOutFailure;
    } else if (hOldErr == INVALID_HANDLE_VALUE || !SetStdHandle(STD_ERROR_HANDLE, hWrite)) {
        const char* pszNotBack = PutBack(STD_OUTPUT_HANDLE, hOldOut);
        pszFailure = pszNotBack ? pszNotBack : kStdErrFailure;
    }
    if (pszFailure) {
        CloseHandle(hRead);
        CloseHandle(hWrite);
        return Fail(kShellError, pszFailure);
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL bStarted = KxTsh::StartProcess(sLine, true, 0, nullptr, nullptr, &si, &pi);
    // A handle left in the pipe is told, after the program has run.
    const char* pszOutNotBack = PutBack(STD_OUTPUT_HANDLE, hOldOut);
    const char* pszErrNotBack = PutBack(STD_ERROR_HANDLE, hOldErr);
    const char* pszNotBack = pszOutNotBack ? pszOutNotBack : pszErrNotBack;
    if (!bStarted) {
        CloseHandle(hRead);
        CloseHandle(hWrite);
        return Fail(kShellError, pszNotBack ? KxTsh::Join(pszNotBack) : KxTsh::Join("Cannot create process: ", sCommand));
    }
    bool bWhole = PumpOutput(hRead, hWrite, pFile);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (pszNotBack) return Fail(kShellError, pszNotBack);
    // Output that could not be delivered for want of memory is told once the program has ended.
    if (!bWhole) throw std::bad_alloc();
    return nullptr;
}

bool KxTshShell::PumpOutput(HANDLE hReadEnd, HANDLE hWriteEnd, KxTshFile* pFile) {
    // With the host's copy of the write end gone, the pipe ends when the program's copies do.
    if (!CloseHandle(hWriteEnd)) KxTsh::Raise(kShellError, "Cannot close Pipe Output");
    char achChunk[4096 + 1];
    DWORD dwCount = 0;
    KxScConsoleManager* pConsole = KxScConsoleManager::pcmManager;
    KxString sSegment;
    bool bWhole = true;
    while (ReadFile(hReadEnd, achChunk, 4096, &dwCount, nullptr) && dwCount > 0) {
        // After a segment could not be made the rest is read and dropped, so that the program
        // is not left writing into a full pipe.
        if (!bWhole) continue;
        try {
            KxCutOutputChunk(achChunk, dwCount, sSegment, [&](const KxString& sText, bool bLineEnd) {
            if (pFile) {
                pFile->WriteText(sText, bLineEnd);
            } else if (pConsole) {
                if (bLineEnd) {
                    pConsole->PrintStringNl(sText);
                } else {
                    pConsole->PrintString(sText);
                }
            }
            });
        } catch (const std::bad_alloc&) {
            bWhole = false;
        }
    }
    CloseHandle(hReadEnd);
    return bWhole;
}

KxScDataHandle* KxTshShell::Chdir(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    KxString sFolder = KxTsh::TextArg(nArgs, pphArgs, 0, "");
    if (!KxTsh::PathTakes(sFolder) || !SetCurrentDirectoryA(sFolder))
        return Fail(kShellError, KxTsh::Join("Cannot change directory to: ", sFolder));
    return nullptr;
}

KxScDataHandle* KxTshShell::Setenv(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    const KxString* psName = KxTsh::TextArg(nArgs, pphArgs, 0);
    const KxString* psValue = KxTsh::TextArg(nArgs, pphArgs, 1);
    // A name or value the system cannot take whole is not set: the variable keeps its value.
    if (psName && psValue && KxTsh::SystemTakes(*psName) && KxTsh::SystemTakes(*psValue))
        KxEnvVariable(*psName).Set(*psValue);
    return nullptr;
}

KxScDataHandle* KxTshShell::Getenv(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    const KxString* psName = KxTsh::TextArg(nArgs, pphArgs, 0);
    if (!psName || !KxTsh::SystemTakes(*psName)) return nullptr;
    KxString sValue;
    if (!ReadVariable(*psName, sValue)) sValue = KxEnvVariable(*psName).Get();
    return sValue.IsNull() ? nullptr : KxScDataHandle::CreateData(sValue, false);
}

KxScDataHandle* KxTshShell::GetCurrentDir(KxScDataHandle*, int, KxScDataHandle**) {
    KxString sFolder;
    if (!ReadCurrentFolder(sFolder)) {
        // A current folder longer than the buffer leaves it as it was: the result is then "".
        char szFolder[MAX_PATH] = "";
        GetCurrentDirectoryA(sizeof szFolder, szFolder);
        sFolder = KxTsh::Join(szFolder);
    }
    return KxScDataHandle::CreateData(sFolder, false);
}

KxScDataHandle* KxTshShell::Sleep(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    KxSleeper::Snooze(KxScDataMethod::GetIntParam(0, nArgs, pphArgs));
    return nullptr;
}
