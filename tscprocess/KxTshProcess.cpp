#include "KxTshProcess.h"

#include <cstdlib>
#include <cstring>

#include "KxStringList.h"

namespace {

const KxTshMethodDef kMethods[] = {
    {"Run", KXTSH_METHOD(KxTshProcess, Run), -1},
    {"Start", KXTSH_METHOD(KxTshProcess, Start), -1},
    {"Wait", KXTSH_METHOD(KxTshProcess, Wait), -1},
    {"ReadLn", KXTSH_METHOD(KxTshProcess, ReadLn), -1},
    {"ReadErrLn", KXTSH_METHOD(KxTshProcess, ReadErrLn), -1},
    {"Read", KXTSH_METHOD(KxTshProcess, Read), -1},
    {"ReadErr", KXTSH_METHOD(KxTshProcess, ReadErr), -1},
    {"WaitFor", KXTSH_METHOD(KxTshProcess, WaitFor), 2},
    {"Write", KXTSH_METHOD(KxTshProcess, Write), -1},
    {"CloseInput", KXTSH_METHOD(KxTshProcess, CloseInput), 0},
    {"Kill", KXTSH_METHOD(KxTshProcess, Kill), 0},
    {"TreeMode", KXTSH_METHOD(KxTshProcess, TreeMode), 0},
    {"List", KXTSH_METHOD(KxTshProcess, List), 0},
    {"EndTree", KXTSH_METHOD(KxTshProcess, EndTree), 1},
};
const KxTshSignatureDef kSignatures[] = {
    {"Wait", {"void"}},      {"Wait", {"int"}},      {"Write", {"String"}},   {"Write", {"String", "int"}},
    {"ReadLn", {"void"}},    {"ReadLn", {"int"}},    {"ReadErrLn", {"void"}},   {"ReadErrLn", {"int"}},
    {"Read", {"void"}},      {"Read", {"int"}},      {"ReadErr", {"void"}},     {"ReadErr", {"int"}},
    {"WaitFor", {"String", "int"}}, {"EndTree", {"int"}},
};
enum { TOKEN_ID, TOKEN_EXIT_CODE, TOKEN_OUTPUT, TOKEN_ERRORS, TOKEN_TIMED_OUT, TOKEN_OUTPUT_ENDED, TOKEN_ERRORS_ENDED };
const char* const kTokens[] = {"id", "exitCode", "output", "errors", "timedOut", "outputEnded", "errorsEnded"};
const char kEnvironmentHelp[] = "a list of NAME=value texts, or a map of names to texts";
// The fields of List's records, in the order List makes them.
const char* const kListFields[] = {"id", "parentId", "name", "threads"};
const KxTshMethodDoc kDocs[] = {
    {"Run", {{"String commandLine", nullptr}}},
    {"Run", {{"String commandLine", nullptr}, {"int timeoutMs", nullptr}}},
    {"Run", {{"String commandLine", nullptr}, {"int timeoutMs", nullptr}, {"String folder", nullptr}}},
    {"Run", {{"String commandLine", nullptr}, {"int timeoutMs", nullptr}, {"String folder", nullptr}, {"List environment", kEnvironmentHelp}}},
    {"Start", {{"String commandLine", nullptr}}},
    {"Start", {{"String commandLine", nullptr}, {"String folder", nullptr}}},
    {"Start", {{"String commandLine", nullptr}, {"String folder", nullptr}, {"List environment", kEnvironmentHelp}}},
    {"Wait", {}},
    {"Wait", {{"int milliWait", nullptr}}},
    {"ReadLn", {}},
    {"ReadLn", {{"int timeoutMs", nullptr}}},
    {"ReadErrLn", {}},
    {"ReadErrLn", {{"int timeoutMs", nullptr}}},
    {"Read", {}},
    {"Read", {{"int timeoutMs", nullptr}}},
    {"ReadErr", {}},
    {"ReadErr", {{"int timeoutMs", nullptr}}},
    {"WaitFor", {{"String text", nullptr}, {"int timeoutMs", nullptr}}},
    {"Write", {{"String text", nullptr}}},
    {"Write", {{"String text", nullptr}, {"int timeoutMs", nullptr}}},
    {"CloseInput", {}},
    {"Kill", {}},
    {"TreeMode", {}},
    {"List", {}, kListFields},
    {"EndTree", {{"int id", nullptr}}},
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

template <class Text>
KxScDataHandle* Fail(int nCode, const Text& text) {
    KxTsh::Raise(nCode, text);
    return nullptr;
}

// The arguments of Run and Start: a command line, Run's timeout (nil, or an integer of which
// 0 and less mean none), a folder (nil: the current one), and variables for the program alone
// (nil: none), as the block of its environment.
struct LaunchArgs {
    KxString sCommand, sFolder{NULL_STRING};  // no folder: the current one
    int nTimeoutMs = -1;
    // NAME=value texts each ended by a NUL, then one more NUL: in UTF-16 where the system
    // gives its environment so (dwEnvironment CREATE_UNICODE_ENVIRONMENT), else in the code
    // page. None (bEnvironment false): the host's environment.
    bool bEnvironment = false;
    KxString sEnvironment;
    DWORD dwEnvironment = 0;
};

// Environment names compare as the system compares them, without regard to case (of the
// letters A to Z).
template <class Ch>
bool SameName(const Ch* pA, size_t nA, const Ch* pB, size_t nB) {
    if (nA != nB) return false;
    for (size_t i = 0; i < nA; ++i) {
        Ch a = pA[i], b = pB[i];
        if (a >= 'a' && a <= 'z') a = static_cast<Ch>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z') b = static_cast<Ch>(b - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

// The length of the name of a NAME=value entry of n characters (0: it has none). A name may
// start with "=": the system keeps the current folder of each drive in variables named "=C:"
// and so on.
template <class Ch>
size_t NameLength(const Ch* p, size_t n) {
    for (size_t i = 1; i < n; ++i)
        if (p[i] == '=') return i;
    return 0;
}

// The NAME=value texts the environment argument gives: a list of them, or an object (a map)
// whose properties name the variables and hold their values as texts. False for anything
// else, and for a name with "=" in it.
bool EntriesOf(KxScDataHandle* ph, KxStringList* plEntries) {
    KxScStdLibListInterface* pli = KxScStdLib::pslliListInterface;
    if (KxScStdLibList* pList = pli ? pli->ListOf(ph) : nullptr) {
        for (int i = 0; i < pList->ItemCount(); ++i) {
            KxScDataHandle* phItem = pList->GetItem(i);
            const KxString* psItem = KxTsh::TextArg(1, &phItem, 0);
            if (!psItem) return false;
            plEntries->Add(*psItem);
        }
        return true;
    }
    KxScDataObject* po = ph->Object();
    if (!po || (ph->wFlags & HF_STRING)) return false;
    KxStringList names;
    po->GetPropertyNames(&names, false);
    for (int i = 0; i < names.Count(); ++i) {
        const KxString& sName = *names.Get(i);
        KxScDataHandle* phValue = nullptr;
        if (po->GetProperty(sName, &phValue) != KX_PROP_OK) return false;
        const KxString* psValue = KxTsh::TextArg(1, &phValue, 0);
        bool bEntry = psValue && !std::memchr(static_cast<const char*>(sName), '=', sName.Length());
        if (bEntry) plEntries->Add(KxTsh::Join(sName, "=", *psValue));
        if (phValue) phValue->Drop();
        if (!bEntry) return false;
    }
    return true;
}

// The host's environment as the system keeps it: in UTF-16 on NT, so that a value the code
// page cannot hold reaches the program as it is; on 98 and ME (where the Unicode form fails
// as not implemented) in the code page. Freed by the Free of the same type.
struct HostEnvironment {
    wchar_t* pWide = GetEnvironmentStringsW();
    char* pAnsi = pWide ? nullptr : GetEnvironmentStringsA();
    ~HostEnvironment() {
        if (pWide) FreeEnvironmentStringsW(pWide);
        if (pAnsi) FreeEnvironmentStringsA(pAnsi);
    }
};

// An entry's characters as the bytes of a string: as they are, or converted to UTF-16 (a
// string holds NULs within).
KxString Converted(const KxString& s, char) { return KxTsh::Join(s); }
KxString Converted(const KxString& s, wchar_t) {
    int n = s.Length() ? MultiByteToWideChar(CP_ACP, 0, s, static_cast<int>(s.Length()), nullptr, 0) : 0;
    wchar_t* p = static_cast<wchar_t*>(std::malloc(n * sizeof(wchar_t) + 1));
    if (!p) throw std::bad_alloc();
    if (n) MultiByteToWideChar(CP_ACP, 0, s, static_cast<int>(s.Length()), p, n);
    KxString sBytes;
    try {
        KxTsh::Append(sBytes, reinterpret_cast<const char*>(p), static_cast<unsigned>(n * sizeof(wchar_t)));
    } catch (...) {
        std::free(p);
        throw;
    }
    std::free(p);
    return sBytes;
}

// The program's environment: the host's, without the variables the entries name, then the
// entries in their order (of one name, the last); "NAME=" with nothing after it only takes
// NAME out.
template <class Ch>
void Block(const Ch* pHost, const KxStringList& given, KxString* psBlock) {
    KxStringList entries;  // each one's characters as bytes
    for (int i = 0; i < given.Count(); ++i) entries.Add(Converted(*given.Get(i), Ch()));
    auto chars = [](const KxString& s) { return reinterpret_cast<const Ch*>(static_cast<const char*>(s)); };
    auto count = [](const KxString& s) { return static_cast<size_t>(s.Length()) / sizeof(Ch); };
    // Whether an entry names the variable (from entry nFrom on).
    auto listed = [&](const Ch* p, size_t n, int nFrom) {
        size_t nName = NameLength(p, n);
        for (int i = nFrom; i < entries.Count(); ++i) {
            const KxString& sEntry = *entries.Get(i);
            if (SameName(chars(sEntry), NameLength(chars(sEntry), count(sEntry)), p, nName)) return true;
        }
        return false;
    };
    // The text and its ending NUL.
    const Ch kNul = 0;
    auto add = [&](const Ch* p, size_t n) {
        KxTsh::Append(*psBlock, reinterpret_cast<const char*>(p), static_cast<unsigned>(n * sizeof(Ch)));
        KxTsh::Append(*psBlock, reinterpret_cast<const char*>(&kNul), sizeof(Ch));
    };
    for (const Ch* p = pHost; *p;) {
        const Ch* pEnd = p;
        while (*pEnd) ++pEnd;
        if (!listed(p, static_cast<size_t>(pEnd - p), 0)) add(p, static_cast<size_t>(pEnd - p));
        p = pEnd + 1;
    }
    for (int i = 0; i < entries.Count(); ++i) {
        const KxString& sEntry = *entries.Get(i);
        size_t n = count(sEntry);
        if (NameLength(chars(sEntry), n) + 1 < n && !listed(chars(sEntry), n, i + 1)) add(chars(sEntry), n);
    }
    // An empty block still needs its two NULs.
    if (psBlock->Length() == 0) add(&kNul, 0);
    add(&kNul, 0);
}

// False for an entry the system does not take, or without a name.
bool EnvironmentOf(const KxStringList& entries, LaunchArgs* pl) {
    for (int i = 0; i < entries.Count(); ++i) {
        const KxString& sEntry = *entries.Get(i);
        if (!KxTsh::SystemTakes(sEntry) || NameLength(static_cast<const char*>(sEntry), sEntry.Length()) == 0 || *sEntry == '=')
            return false;
    }
    // The system gives no copy of the host's environment only for want of memory.
    HostEnvironment host;
    pl->bEnvironment = true;
    if (host.pWide) {
        Block(host.pWide, entries, &pl->sEnvironment);
        pl->dwEnvironment = CREATE_UNICODE_ENVIRONMENT;
    } else if (host.pAnsi) {
        Block(host.pAnsi, entries, &pl->sEnvironment);
    } else {
        throw std::bad_alloc();
    }
    return true;
}

bool ReadArguments(const char* pszMethod, bool bTimeout, int nArgs, KxScDataHandle** pphArgs, LaunchArgs* pl) {
    auto refuse = [&](const char* pszWhy) {
        Fail(kArgumentError, KxTsh::Join("Process::", pszMethod, "(): ", pszWhy));
        return false;
    };
    int nMost = bTimeout ? 4 : 3;
    if (nArgs < 1 || nArgs > nMost || !pphArgs)
        return refuse(bTimeout ? "Need one to four parameters." : "Need one to three parameters.");
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
    if (KxScDataHandle* phEnvironment = KxTsh::Arg(nArgs, pphArgs, nFolder + 1)) {
        KxStringList entries;
        if (!EntriesOf(phEnvironment, &entries) || !EnvironmentOf(entries, pl))
            return refuse("environment must be a list of NAME=value texts or a map of names to texts.");
    }
    return true;
}

// A time argument: absent, nil or negative waits as long as it takes.
DWORD TimeArg(int nArgs, KxScDataHandle** pphArgs, int i) {
    int nMs = -1;
    KxTsh::IntArg(nArgs, pphArgs, i, &nMs);
    return nMs < 0 ? INFINITE : static_cast<DWORD>(nMs);
}

// Why the system did not start the program, for the text after the command line. A folder
// that is missing is told apart by looking, since systems name that failure differently.
KxString WhyNotStarted(DWORD dwError, const KxString& sFolder) {
    if (!sFolder.IsNull()) {
        DWORD dwAttributes = GetFileAttributesA(sFolder);
        if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return KxTsh::Join("the folder does not exist");
    }
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY: return KxTsh::Join("the program was not found");
    case ERROR_ACCESS_DENIED: return KxTsh::Join("access denied");
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH: return KxTsh::Join("not a program this system can run");
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return KxTsh::Join("not enough memory");
    default: return KxTsh::Join("system error ", static_cast<int>(dwError));
    }
}

// The command line with its program named by its full path, when a folder is given and the
// line names the program by a relative path with a folder part (".\\x.bat", "tools\\x"): the
// system finds a program from the host's current folder, but runs a batch file through cmd,
// which looks for it again from the new folder. Named in full, both kinds run the file found
// here. A bare name, an absolute path, or a path that names no file here stays as it was.
KxString ProgramResolved(const KxString& sCommand, const KxString& sFolder) {
    const char* pLine = sCommand;
    if (sFolder.IsNull() || !pLine) return KxTsh::Join(sCommand);
    bool bQuoted = *pLine == '"';
    const char* pStart = pLine + (bQuoted ? 1 : 0);
    size_t nName = bQuoted ? std::strcspn(pStart, "\"") : std::strcspn(pStart, " \t");
    KxString sName(pStart, static_cast<unsigned>(nName));
    const char* pName = sName;
    bool bRelative = nName > 0 && sName.Length() == nName && std::strpbrk(pName, "\\/") && *pName != '\\' &&
                     *pName != '/' && !std::strchr(pName, ':');
    char szFull[MAX_PATH];
    DWORD nFull = bRelative ? GetFullPathNameA(pName, MAX_PATH, szFull, nullptr) : 0;
    if (nFull == 0 || nFull >= MAX_PATH) return KxTsh::Join(sCommand);
    // The system adds ".exe" to a name without an extension.
    const char* pLast = std::strrchr(szFull, '\\');
    bool bExtension = std::strchr(pLast ? pLast : szFull, '.') != nullptr;
    DWORD dwAttributes = GetFileAttributesA(szFull);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES && !bExtension)
        dwAttributes = GetFileAttributesA(KxTsh::Join(szFull, ".exe"));
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) return KxTsh::Join(sCommand);
    const char* pRest = pStart + nName + (bQuoted && pStart[nName] == '"' ? 1 : 0);
    return KxTsh::Join("\"", szFull, "\"", pRest);
}

}  // namespace

const KxTshClassDef KxTshProcess::kDef = {kMethods, kSignatures, kTokens, kDocs, kTokens, kConstants, true, kProcessError};

// A running program weighs as an open file does in the collector's pace: programs started
// and dropped bring a collection, which ends their trees, as soon as files do.
KxTshProcess::KxTshProcess() : KxTshClass(KXO_SCRIPT_CLASS | KXO_RESOURCE) {}

KxTshProcess::KxTshProcess(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS) { BuildClassObject(); }

// A program still running, or still holding its streams through the processes it started,
// is ended with its tree: its pipes go with this object, and nothing of it is left behind.
KxTshProcess::~KxTshProcess() {
    input.CloseOurs();
    if (hProcess) {
        HANDLE ah[2] = {hProcess, streams.EndEvent()};
        if (WaitForMultipleObjects(ah[1] ? 2 : 1, ah, TRUE, 0) != WAIT_OBJECT_0) EndOwnTree();
        CloseHandle(hProcess);
    }
}

bool KxTshProcess::Launch(const char* pszMethod, const KxString& sCommand, const KxString& sFolder,
                          const void* pEnvironment, DWORD dwEnvironment) {
    KxString sPipeFailure = KxTsh::Join("Process::", pszMethod, "(): Cannot create pipe.");
    auto startFailure = [&](const KxString& sWhy) { Fail(kProcessError, KxTsh::Join("Cannot create process: ", sCommand, " (", sWhy, ")")); };
    // A command line or folder the system cannot take whole starts nothing.
    if (!KxTsh::CommandLineTakes(sCommand) || (!sFolder.IsNull() && !KxTsh::PathTakes(sFolder))) {
        startFailure(KxTsh::Join(KxTsh::CommandLineTakes(sCommand) ? "the system cannot take the folder name"
                                                                   : "the system cannot take the command line"));
        return false;
    }
    KxString sLine = ProgramResolved(sCommand, sFolder);  // CreateProcessA may write into it
    if (!KxTsh::CommandLineTakes(sLine)) {
        startFailure(KxTsh::Join("the system cannot take the command line"));
        return false;
    }
    KxPipe aPipes[3];  // input, output, errors
    bool bPiped = KxPipe::OpenStreams(aPipes);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = aPipes[0].hChild;
    si.hStdOutput = aPipes[1].hChild;
    si.hStdError = aPipes[2].hChild;
    PROCESS_INFORMATION pi = {};
    // Suspended until it is in its tree, so that nothing it starts escapes.
    BOOL bStarted = bPiped && KxTsh::StartProcess(sLine, true, CREATE_SUSPENDED | dwEnvironment, const_cast<void*>(pEnvironment),
                                                  sFolder.IsNull() ? nullptr : static_cast<const char*>(sFolder), &si, &pi);
    DWORD dwError = GetLastError();
    for (KxPipe& pipe : aPipes) pipe.CloseChild();
    if (!bStarted) {
        for (KxPipe& pipe : aPipes) pipe.CloseOurs();
        if (bPiped) startFailure(WhyNotStarted(dwError, sFolder));
        else Fail(kProcessError, sPipeFailure);
        return false;
    }
    hProcess = pi.hProcess;
    dwProcessId = pi.dwProcessId;
    input = aPipes[0];
    tree.Adopt(hProcess, dwProcessId);
    if (!streams.Start(aPipes[1].hOurs, aPipes[2].hOurs, aPipes[1].bOverlapped)) {
        TerminateProcess(hProcess, 1);
        CloseHandle(pi.hThread);
        Fail(kProcessError, sPipeFailure);
        return false;
    }
    // A program that cannot be let go would never run: it is ended, and counts as not started.
    bool bResumed = ResumeThread(pi.hThread) != static_cast<DWORD>(-1);
    dwError = GetLastError();
    CloseHandle(pi.hThread);
    if (!bResumed) {
        EndOwnTree();
        startFailure(KxTsh::Join("it could not be let run: system error ", static_cast<int>(dwError)));
        return false;
    }
    return true;
}

bool KxTshProcess::HasEnded() { return hProcess && WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0; }

void KxTshProcess::EndOwnTree() {
    tree.End();
    HANDLE ah[2] = {hProcess, streams.EndEvent()};
    WaitForMultipleObjects(ah[1] ? 2 : 1, ah, TRUE, kEndGraceMs);
}

// A new object running the program, or null (the error raised); the object goes again
// when the launch fails, memory included.
KxScDataHandle* KxTshProcess::Launched(const char* pszMethod, const KxString& sCommand, const KxString& sFolder,
                                       const void* pEnvironment, DWORD dwEnvironment) {
    KxTshProcess* p = new KxTshProcess;
    KxScDataHandle* ph = KxScDataHandle::CreateData(p);
    bool bLaunched = false;
    try {
        bLaunched = p->Launch(pszMethod, sCommand, sFolder, pEnvironment, dwEnvironment);
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
    KxScDataHandle* ph = Launched("Run", l.sCommand, l.sFolder, l.bEnvironment ? static_cast<const char*>(l.sEnvironment) : nullptr, l.dwEnvironment);
    if (!ph) return nullptr;
    KxTshProcess* p = static_cast<KxTshProcess*>(ph->Object());
    // No input: the program reads the end of it at once.
    p->input.CloseOurs();
    // Done when the program has ended and both streams are read to their end; at the timeout
    // the tree is ended, and the streams hold what came before.
    HANDLE ah[2] = {p->hProcess, p->streams.EndEvent()};
    DWORD dwLimit = l.nTimeoutMs > 0 ? static_cast<DWORD>(l.nTimeoutMs) : INFINITE;
    // A program that ended by itself in time has not timed out, whatever it left holding the
    // streams: it keeps its own exit code, and what it left running is ended all the same.
    if (WaitForMultipleObjects(2, ah, TRUE, dwLimit) == WAIT_TIMEOUT) {
        p->bTimedOut = !p->HasEnded();
        p->EndOwnTree();
    }
    return ph;
}

KxScDataHandle* KxTshProcess::Start(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    LaunchArgs l;
    if (!ReadArguments("Start", false, nArgs, pphArgs, &l)) return nullptr;
    return Launched("Start", l.sCommand, l.sFolder, l.bEnvironment ? static_cast<const char*>(l.sEnvironment) : nullptr, l.dwEnvironment);
}

KxScDataHandle* KxTshProcess::Wait(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject() || !hProcess) return nullptr;
    return KxTsh::Bool(WaitForSingleObject(hProcess, TimeArg(nArgs, pphArgs, 0)) == WAIT_OBJECT_0);
}

KxScDataHandle* KxTshProcess::Next(KxPipeReader::Stream stream, bool bLine, int nArgs, KxScDataHandle** pphArgs) {
    KxString sText(NULL_STRING);
    DWORD dwMs = TimeArg(nArgs, pphArgs, 0);
    if (OnClassObject() || !(bLine ? streams.NextLine(stream, &sText, dwMs) : streams.Take(stream, &sText, dwMs))) return nullptr;
    return KxScDataHandle::CreateData(sText, false);
}

KxScDataHandle* KxTshProcess::ReadLn(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return Next(KxPipeReader::OUTPUT, true, nArgs, pphArgs);
}

KxScDataHandle* KxTshProcess::ReadErrLn(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return Next(KxPipeReader::ERRORS, true, nArgs, pphArgs);
}

KxScDataHandle* KxTshProcess::Read(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return Next(KxPipeReader::OUTPUT, false, nArgs, pphArgs);
}

KxScDataHandle* KxTshProcess::ReadErr(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return Next(KxPipeReader::ERRORS, false, nArgs, pphArgs);
}

KxScDataHandle* KxTshProcess::WaitFor(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    const KxString* psText = KxTsh::TextArg(nArgs, pphArgs, 0);
    if (OnClassObject() || !psText) return nullptr;
    return KxTsh::Bool(streams.WaitFor(KxPipeReader::OUTPUT, *psText, TimeArg(nArgs, pphArgs, 1)));
}

KxScDataHandle* KxTshProcess::Write(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    if (OnClassObject()) return nullptr;
    const KxString* psText = KxTsh::TextArg(nArgs, pphArgs, 0);
    return KxTsh::Bool(psText && streams.Write(input, *psText, psText->Length(), TimeArg(nArgs, pphArgs, 1)));
}

KxScDataHandle* KxTshProcess::CloseInput(KxScDataHandle*, int, KxScDataHandle**) {
    input.CloseOurs();
    return nullptr;
}

KxScDataHandle* KxTshProcess::Kill(KxScDataHandle*, int, KxScDataHandle**) {
    if (OnClassObject() || !hProcess) return nullptr;
    EndOwnTree();
    return KxTsh::Bool(HasEnded());
}

KxScDataHandle* KxTshProcess::TreeMode(KxScDataHandle*, int, KxScDataHandle**) {
    return KxScDataHandle::CreateData(static_cast<int>(hProcess ? tree.Mode() : KxProcessTree::SystemMode()));
}

KxScDataHandle* KxTshProcess::List(KxScDataHandle*, int, KxScDataHandle**) {
    KxProcessList processes;
    KxProcessList::Taken taken = processes.Take();
    if (taken == KxProcessList::NO_MEMORY) throw std::bad_alloc();
    if (taken != KxProcessList::LISTED) return nullptr;
    return KxTsh::List(processes.Count(), [&](unsigned i) {
        const KxProcessInfo& e = processes[i];
        return KxTsh::Record({{kListFields[0], static_cast<int>(e.dwId), nullptr},
                              {kListFields[1], static_cast<int>(e.dwParentId), nullptr},
                              {kListFields[2], 0, e.szName},
                              {kListFields[3], static_cast<int>(e.dwThreads), nullptr}});
    });
}

KxScDataHandle* KxTshProcess::EndTree(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    int nId = 0;
    if (!KxTsh::IntArg(nArgs, pphArgs, 0, &nId)) return nullptr;
    KxProcessList processes;
    KxProcessList::Taken taken = processes.Take();
    int nEnded = taken == KxProcessList::LISTED ? processes.EndTree(static_cast<DWORD>(nId)) : -1;
    if (taken == KxProcessList::NO_MEMORY || nEnded < 0) throw std::bad_alloc();
    return taken == KxProcessList::LISTED ? KxScDataHandle::CreateData(nEnded) : nullptr;
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
    case TOKEN_OUTPUT_ENDED: *pphValue = KxTsh::Bool(streams.Ended(KxPipeReader::OUTPUT)); return true;
    case TOKEN_ERRORS_ENDED: *pphValue = KxTsh::Bool(streams.Ended(KxPipeReader::ERRORS)); return true;
    default: return false;
    }
}
