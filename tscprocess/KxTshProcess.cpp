#include "KxTshProcess.h"

namespace {

const KxTshMethodDef kMethods[] = {
    {"Run", KXTSH_METHOD(KxTshProcess, Run), -1},
    {"Start", KXTSH_METHOD(KxTshProcess, Start), -1},
    {"Wait", KXTSH_METHOD(KxTshProcess, Wait), -1},
    {"ReadLn", KXTSH_METHOD(KxTshProcess, ReadLn), 0},
    {"ReadErrLn", KXTSH_METHOD(KxTshProcess, ReadErrLn), 0},
    {"Write", KXTSH_METHOD(KxTshProcess, Write), 1},
    {"CloseInput", KXTSH_METHOD(KxTshProcess, CloseInput), 0},
    {"Kill", KXTSH_METHOD(KxTshProcess, Kill), 0},
    {"TreeMode", KXTSH_METHOD(KxTshProcess, TreeMode), 0},
};
const KxTshSignatureDef kSignatures[] = {{"Wait", {"void"}}, {"Wait", {"int"}}, {"Write", {"String"}}};
enum { TOKEN_ID, TOKEN_EXIT_CODE, TOKEN_OUTPUT, TOKEN_ERRORS, TOKEN_TIMED_OUT };
const char* const kTokens[] = {"id", "exitCode", "output", "errors", "timedOut"};
const KxTshMethodDoc kDocs[] = {
    {"Run", {{"String commandLine", nullptr}}},
    {"Run", {{"String commandLine", nullptr}, {"int timeoutMs", nullptr}}},
    {"Run", {{"String commandLine", nullptr}, {"int timeoutMs", nullptr}, {"String folder", nullptr}}},
    {"Start", {{"String commandLine", nullptr}}},
    {"Start", {{"String commandLine", nullptr}, {"String folder", nullptr}}},
    {"Wait", {}},
    {"Wait", {{"int milliWait", nullptr}}},
    {"ReadLn", {}},
    {"ReadErrLn", {}},
    {"Write", {{"String text", nullptr}}},
    {"CloseInput", {}},
    {"Kill", {}},
    {"TreeMode", {}},
};
const KxTshConstant kConstants[] = {
    {"PROCESS_INFINITE", -1},
    {"PROCESS_TREE_PROGRAM", TREE_PROGRAM_ONLY},
    {"PROCESS_TREE_JOB", TREE_JOB},
    {"PROCESS_TREE_LIST", TREE_LIST},
};
const int kProcessError = 28, kArgumentError = 15;
// How long ending a tree waits for the program and its streams: a stream whose pipe is still
// held after that (by a process out of reach) is let go with what it holds.
const DWORD kEndGraceMs = 3000;
// Pipes this large let a program write in big pieces between two reads.
const DWORD kPipeSize = 65536;

template <class Text>
KxScDataHandle* Fail(int nCode, const Text& text) {
    KxTsh::Raise(nCode, text);
    return nullptr;
}

// An inheritable pipe whose end this process keeps is replaced by a copy that is not
// inheritable, so that only the program's end reaches the program. bToChild: the program
// reads it.
bool MakePipe(bool bToChild, HANDLE* phChild, HANDLE* phOurs) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (!CreatePipe(&hRead, &hWrite, &sa, kPipeSize)) return false;
    *phChild = bToChild ? hRead : hWrite;
    HANDLE hProcess = GetCurrentProcess();
    // The source is closed whatever the outcome.
    if (DuplicateHandle(hProcess, bToChild ? hWrite : hRead, hProcess, phOurs, 0, FALSE,
                        DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE))
        return true;
    CloseHandle(*phChild);
    *phChild = *phOurs = nullptr;
    return false;
}

// The arguments of Run and Start: a command line, Run's timeout (nil, or an integer of which
// 0 and less mean none), a folder (nil: the current one).
struct LaunchArgs {
    KxString sCommand, sFolder{NULL_STRING};  // no folder: the current one
    int nTimeoutMs = -1;
};

bool ReadArguments(const char* pszMethod, bool bTimeout, int nArgs, KxScDataHandle** pphArgs, LaunchArgs* pl) {
    auto refuse = [&](const char* pszWhy) {
        Fail(kArgumentError, KxTsh::Join("Process::", pszMethod, "(): ", pszWhy));
        return false;
    };
    int nMost = bTimeout ? 3 : 2;
    if (nArgs < 1 || nArgs > nMost || !pphArgs)
        return refuse(bTimeout ? "Need one to three parameters." : "Need one or two parameters.");
    const KxString* psCommand = KxTsh::TextArg(nArgs, pphArgs, 0);
    if (!psCommand) return refuse("first argument must be a string.");
    pl->sCommand = KxTsh::Join(*psCommand);
    int nFolder = bTimeout ? 2 : 1;
    if (bTimeout && KxTsh::Arg(nArgs, pphArgs, 1) && !KxTsh::IntArg(nArgs, pphArgs, 1, &pl->nTimeoutMs))
        return refuse("timeout must be an integer.");
    if (KxTsh::Arg(nArgs, pphArgs, nFolder)) {
        const KxString* psFolder = KxTsh::TextArg(nArgs, pphArgs, nFolder);
        if (!psFolder) return refuse("folder must be a string.");
        pl->sFolder = KxTsh::Join(*psFolder);
    }
    return true;
}

}  // namespace

const KxTshClassDef KxTshProcess::kDef = {kMethods, kSignatures, kTokens, kDocs, kTokens, kConstants, true, kProcessError};

KxTshProcess::KxTshProcess() : KxTshClass(KXO_SCRIPT_CLASS) {}

KxTshProcess::KxTshProcess(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS) { BuildClassObject(); }

// A program still running, or still holding its streams through the processes it started,
// is ended with its tree: its pipes go with this object, and nothing of it is left behind.
KxTshProcess::~KxTshProcess() {
    if (hInput) CloseHandle(hInput);
    if (hProcess) {
        HANDLE ah[2] = {hProcess, streams.EndEvent()};
        if (WaitForMultipleObjects(ah[1] ? 2 : 1, ah, TRUE, 0) != WAIT_OBJECT_0) EndTree();
        CloseHandle(hProcess);
    }
}

bool KxTshProcess::Launch(const char* pszMethod, const KxString& sCommand, const KxString& sFolder) {
    KxString sPipeFailure = KxTsh::Join("Process::", pszMethod, "(): Cannot create pipe.");
    KxString sStartFailure = KxTsh::Join("Cannot create process: ", sCommand);
    KxString sLine = KxTsh::Join(sCommand);  // CreateProcessA may write into the command line
    // A command line or folder the system cannot take whole starts nothing.
    if (!KxTsh::CommandLineTakes(sCommand) || (!sFolder.IsNull() && !KxTsh::SystemTakes(sFolder))) {
        Fail(kProcessError, sStartFailure);
        return false;
    }
    HANDLE ahChild[3] = {}, ahOurs[3] = {};  // input, output, error
    bool bPiped = true;
    for (int i = 0; i < 3 && bPiped; ++i) bPiped = MakePipe(i == 0, &ahChild[i], &ahOurs[i]);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ahChild[0];
    si.hStdOutput = ahChild[1];
    si.hStdError = ahChild[2];
    PROCESS_INFORMATION pi = {};
    // Suspended until it is in its tree, so that nothing it starts escapes.
    BOOL bStarted = bPiped && CreateProcessA(nullptr, sLine, nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                             sFolder.IsNull() ? nullptr : static_cast<const char*>(sFolder), &si, &pi);
    for (HANDLE h : ahChild)
        if (h) CloseHandle(h);
    if (!bStarted) {
        for (HANDLE h : ahOurs)
            if (h) CloseHandle(h);
        Fail(kProcessError, bPiped ? sStartFailure : sPipeFailure);
        return false;
    }
    hProcess = pi.hProcess;
    dwProcessId = pi.dwProcessId;
    hInput = ahOurs[0];
    tree.Adopt(hProcess, dwProcessId);
    if (!streams.Start(ahOurs[1], ahOurs[2])) {
        TerminateProcess(hProcess, 1);
        CloseHandle(pi.hThread);
        Fail(kProcessError, sPipeFailure);
        return false;
    }
    // A program that cannot be let go would never run: it is ended, and counts as not started.
    bool bResumed = ResumeThread(pi.hThread) != static_cast<DWORD>(-1);
    CloseHandle(pi.hThread);
    if (!bResumed) {
        EndTree();
        Fail(kProcessError, sStartFailure);
        return false;
    }
    return true;
}

bool KxTshProcess::HasEnded() { return hProcess && WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0; }

void KxTshProcess::EndTree() {
    tree.End();
    HANDLE ah[2] = {hProcess, streams.EndEvent()};
    WaitForMultipleObjects(ah[1] ? 2 : 1, ah, TRUE, kEndGraceMs);
}

// A new object running the program, or null (the error raised); the object goes again
// when the launch fails, memory included.
KxScDataHandle* KxTshProcess::Launched(const char* pszMethod, const KxString& sCommand, const KxString& sFolder) {
    KxTshProcess* p = new KxTshProcess;
    KxScDataHandle* ph = KxScDataHandle::CreateData(p);
    bool bLaunched = false;
    try {
        bLaunched = p->Launch(pszMethod, sCommand, sFolder);
    } catch (const std::bad_alloc&) {
        ph->Drop();
        throw;
    }
    if (bLaunched) return ph;
    ph->Drop();
    return nullptr;
}

KxScDataHandle* KxTshProcess::Run(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    LaunchArgs l;
    if (!ReadArguments("Run", true, nArgs, pphArgs, &l)) return nullptr;
    KxScDataHandle* ph = Launched("Run", l.sCommand, l.sFolder);
    if (!ph) return nullptr;
    KxTshProcess* p = static_cast<KxTshProcess*>(ph->Object());
    // No input: the program reads the end of it at once.
    CloseHandle(p->hInput);
    p->hInput = nullptr;
    // Done when the program has ended and both streams are read to their end; at the timeout
    // the tree is ended, and the streams hold what came before.
    HANDLE ah[2] = {p->hProcess, p->streams.EndEvent()};
    DWORD dwLimit = l.nTimeoutMs > 0 ? static_cast<DWORD>(l.nTimeoutMs) : INFINITE;
    // A program that ended by itself in time has not timed out, whatever it left holding the
    // streams: it keeps its own exit code, and what it left running is ended all the same.
    if (WaitForMultipleObjects(2, ah, TRUE, dwLimit) == WAIT_TIMEOUT) {
        p->bTimedOut = !p->HasEnded();
        p->EndTree();
    }
    return ph;
}

KxScDataHandle* KxTshProcess::Start(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    LaunchArgs l;
    if (!ReadArguments("Start", false, nArgs, pphArgs, &l)) return nullptr;
    return Launched("Start", l.sCommand, l.sFolder);
}

KxScDataHandle* KxTshProcess::Wait(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject() || !hProcess) return nullptr;
    int nMs = -1;
    KxTsh::IntArg(nArgs, pphArgs, 0, &nMs);
    return KxTsh::Bool(WaitForSingleObject(hProcess, nMs < 0 ? INFINITE : static_cast<DWORD>(nMs)) == WAIT_OBJECT_0);
}

KxScDataHandle* KxTshProcess::NextLine(KxPipeReader::Stream stream) {
    KxString sLine(NULL_STRING);
    if (OnClassObject() || !streams.NextLine(stream, &sLine)) return nullptr;
    return KxScDataHandle::CreateData(sLine, false);
}

KxScDataHandle* KxTshProcess::ReadLn(KxScDataHandle*, int, KxScDataHandle**) { return NextLine(KxPipeReader::OUTPUT); }

KxScDataHandle* KxTshProcess::ReadErrLn(KxScDataHandle*, int, KxScDataHandle**) { return NextLine(KxPipeReader::ERRORS); }

KxScDataHandle* KxTshProcess::Write(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject()) return nullptr;
    const KxString* psText = KxTsh::TextArg(nArgs, pphArgs, 0);
    if (!hInput || !psText) return KxTsh::Bool(false);
    const char* p = *psText;
    DWORD dwLeft = psText->Length(), dwDone = 0;
    while (dwLeft > 0 && WriteFile(hInput, p, dwLeft, &dwDone, nullptr) && dwDone > 0) {
        p += dwDone;
        dwLeft -= dwDone;
    }
    return KxTsh::Bool(dwLeft == 0);
}

KxScDataHandle* KxTshProcess::CloseInput(KxScDataHandle*, int, KxScDataHandle**) {
    if (hInput) CloseHandle(hInput);
    hInput = nullptr;
    return nullptr;
}

KxScDataHandle* KxTshProcess::Kill(KxScDataHandle*, int, KxScDataHandle**) {
    if (OnClassObject() || !hProcess) return nullptr;
    EndTree();
    return KxTsh::Bool(HasEnded());
}

KxScDataHandle* KxTshProcess::TreeMode(KxScDataHandle*, int, KxScDataHandle**) {
    return KxScDataHandle::CreateData(static_cast<int>(hProcess ? tree.Mode() : KxProcessTree::SystemMode()));
}

bool KxTshProcess::GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue) {
    DWORD dwCode = 0;
    switch (LookupPropertyToken(sName, pptTokenTable)) {
    case TOKEN_ID: *pphValue = KxScDataHandle::CreateData(static_cast<int>(dwProcessId)); return true;
    case TOKEN_EXIT_CODE:
        *pphValue = HasEnded() && GetExitCodeProcess(hProcess, &dwCode) ? KxScDataHandle::CreateData(static_cast<int>(dwCode))
                                                                        : nullptr;
        return true;
    case TOKEN_OUTPUT: *pphValue = KxScDataHandle::CreateData(streams.Unread(KxPipeReader::OUTPUT), false); return true;
    case TOKEN_ERRORS: *pphValue = KxScDataHandle::CreateData(streams.Unread(KxPipeReader::ERRORS), false); return true;
    case TOKEN_TIMED_OUT: *pphValue = KxTsh::Bool(bTimedOut); return true;
    default: return false;
    }
}
