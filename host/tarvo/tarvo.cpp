// The Tarvo host: loads the plug-ins, runs one script, shuts everything down.
// tarvo.exe has a console of its own; tarvow.exe is the same program without one.
#include <windows.h>

#include <cstring>
#include <vector>

#include "KxComponent.h"
#include "KxScClassInfo.h"
#include "KxScData.h"
#include "KxScVmEnv.h"
#include "KxTarvoHost.h"

namespace {

const char kUsage[] =
    "usage: tarvo [options] SCRIPT [ARGS...]\r\n"
    "       tarvo [options] -e CODE [ARGS...]\r\n"
    "       tarvo [options] - [ARGS...]      (or a script piped in: the script from standard input)\r\n"
    "options:\r\n"
    "  -e CODE          run CODE instead of a script file\r\n"
    "  --plugin PATH    load this plug-in (repeatable) instead of TscShell.dll,\r\n"
    "                   TscProcess.dll and TscPath.dll beside tarvo (or in the folder\r\n"
    "                   above it)\r\n"
    "  --no-compiler    hide the compiler component from plug-ins\r\n"
    "  --classes        print the classes the plug-ins described\r\n"
    "  --trace-compile  echo each text handed to the compiler as \"compile: TEXT\"\r\n"
    "  --stats          after shutdown, print the handles and objects still alive\r\n"
    "  --help           print this text\r\n"
    "exit status: 0 the script ran to its end, the status exit() gave, 1 uncaught script\r\n"
    "exception, 2 usage or syntax error, 0xC000013A stopped by Ctrl-C, Ctrl-Break or the\r\n"
    "console's closing\r\n";

typedef int(__stdcall* EntryPoint)();

struct Plugin {
    KxString sPath;
    HMODULE hModule = nullptr;
    EntryPoint pfnLoad = nullptr, pfnInitialize = nullptr, pfnShutdown = nullptr,
               pfnUnload = nullptr;
};

struct Options {
    std::vector<KxString> vPlugins;
    bool bPluginsGiven = false, bNoCompiler = false, bClasses = false, bTrace = false,
         bStats = false, bHelp = false;
    const char* pszCode = nullptr;
    const char* pszScript = nullptr;
    int nArgs = 0;
    char** ppszArgs = nullptr;
};

void Say(const KxString& sText) { KxTarvo::PrintError(sText); }

// False on a usage error (already reported).
bool ParseOptions(int argc, char** argv, Options& opt) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        const char* a = argv[i];
        bool bHasValue = i + 1 < argc;
        if (!std::strcmp(a, "-e") || !std::strcmp(a, "--plugin")) {
            if (!bHasValue) {
                Say(KxString("tarvo: ") + a + " needs a value\r\n");
                return false;
            }
            if (a[1] == 'e') {
                opt.pszCode = argv[++i];
                ++i;
                break;  // what follows the code is the script's arguments
            }
            opt.vPlugins.push_back(argv[++i]);
            opt.bPluginsGiven = true;
        } else if (!std::strcmp(a, "--no-compiler")) {
            opt.bNoCompiler = true;
        } else if (!std::strcmp(a, "--classes")) {
            opt.bClasses = true;
        } else if (!std::strcmp(a, "--trace-compile")) {
            opt.bTrace = true;
        } else if (!std::strcmp(a, "--stats")) {
            opt.bStats = true;
        } else if (!std::strcmp(a, "--help")) {
            opt.bHelp = true;
        } else if (!std::strcmp(a, "--")) {
            ++i;
            break;
        } else {
            Say(KxString("tarvo: unknown option ") + a + "\r\n");
            return false;
        }
    }
    if (!opt.pszCode && i < argc) opt.pszScript = argv[i++];
    opt.nArgs = argc - i;
    opt.ppszArgs = argv + i;
    // A script piped or redirected in, with no script named, is read from standard input.
    DWORD dwInType = GetFileType(GetStdHandle(STD_INPUT_HANDLE));
    if (!opt.pszCode && !opt.pszScript && !opt.bClasses && !opt.bHelp &&
        (dwInType == FILE_TYPE_PIPE || dwInType == FILE_TYPE_DISK))
        opt.pszScript = "-";
    if (!opt.pszCode && !opt.pszScript && !opt.bClasses && !opt.bHelp) {
        Say("tarvo: no script given\r\n");
        return false;
    }
    return true;
}

EntryPoint FindEntry(HMODULE h, const char* pszName) {
    // 32-bit plug-ins export the decorated names of parameterless __stdcall functions;
    // 64-bit ones have no decoration.
    KxString asNames[3] = {KxString("_") + pszName + "@0", KxString(pszName) + "@0", pszName};
    for (const KxString& s : asNames)
        if (FARPROC p = GetProcAddress(h, s)) return reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(p));
    return nullptr;
}

bool LoadPlugin(Plugin& p) {
    p.hModule = LoadLibraryA(p.sPath);
    if (!p.hModule) {
        KxString s("tarvo: cannot load plug-in ");
        s << p.sPath << " (error " << static_cast<int>(GetLastError()) << ")\r\n";
        Say(s);
        return false;
    }
    p.pfnLoad = FindEntry(p.hModule, "OrbaPluginLoad");
    p.pfnInitialize = FindEntry(p.hModule, "OrbaPluginInitialize");
    p.pfnShutdown = FindEntry(p.hModule, "OrbaPluginShutdown");
    p.pfnUnload = FindEntry(p.hModule, "OrbaPluginUnload");
    if (!p.pfnLoad || !p.pfnInitialize || !p.pfnShutdown || !p.pfnUnload) {
        Say(KxString("tarvo: ") + p.sPath + " is not a plug-in (an entry point is missing)\r\n");
        FreeLibrary(p.hModule);
        p.hModule = nullptr;
        return false;
    }
    return true;
}

// The plug-ins loaded when none is given: those of this list that are in the folder of this
// program, or else in the folder above it (the release package keeps tarvo in runtime\ and
// the plug-ins beside that folder), in this order.
const char* const kDefaultPlugins[] = {"TscShell.dll", "TscProcess.dll", "TscPath.dll"};

void AddDefaultPlugins(std::vector<KxString>& vPlugins) {
    char szPath[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    char* pSlash = std::strrchr(szPath, '\\');
    KxString sHere(szPath, pSlash ? unsigned(pSlash + 1 - szPath) : 0);
    for (const char* pszName : kDefaultPlugins) {
        for (const char* pszFolder : {"", "..\\"}) {
            KxString sPath(sHere);
            sPath << pszFolder << pszName;
            if (GetFileAttributesA(sPath) == INVALID_FILE_ATTRIBUTES) continue;
            vPlugins.push_back(sPath);
            break;
        }
    }
}

// Ctrl-C, Ctrl-Break and the console's closing stop the script at its next statement, and a
// wait for a line of input at once; the plug-ins then shut down as at the end of a run (the
// programs a Process started end, Files are written). However the run ends after one (in its
// last statement too), the status is STATUS_CONTROL_C_EXIT. A second one ends the process at
// once with that status, as Windows's own handler does (the default handler of Wine exits
// with 0, so it is not left to). At the console's closing the process ends when this handler
// returns: it waits for the shutdown.
const DWORD kStatusControlCExit = 0xC000013A;
volatile LONG gnControlEvents = 0;
HANDLE ghShutDown = nullptr;

BOOL WINAPI OnConsoleControl(DWORD dwEvent) {
    if (InterlockedIncrement(&gnControlEvents) > 1) TerminateProcess(GetCurrentProcess(), kStatusControlCExit);
    KxTarvo::Interrupt();
    if (dwEvent != CTRL_C_EVENT && dwEvent != CTRL_BREAK_EVENT && ghShutDown)
        WaitForSingleObject(ghShutDown, 4000);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        Say(kUsage);
        return KxTarvo::RUN_SYNTAX;
    }
    if (opt.bHelp) {
        // Asked for, so it is the program's output: standard output.
        DWORD dwWritten = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kUsage, sizeof kUsage - 1, &dwWritten, nullptr);
        return KxTarvo::RUN_OK;
    }
    if (!opt.bPluginsGiven) AddDefaultPlugins(opt.vPlugins);
    if (opt.bNoCompiler) KxComponent::Withdraw(".Tarvo.Compiler");

    // Where the system runs programs in UTF-8 (the manifest asks for it), the console shows
    // the script's texts as such.
    if (GetACP() == CP_UTF8) SetConsoleOutputCP(CP_UTF8);
    ghShutDown = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    KxTarvo::Startup();
    KxTarvo::SetCompileTrace(opt.bTrace);
    std::vector<Plugin> vPlugins(opt.vPlugins.size());
    for (size_t i = 0; i < vPlugins.size(); ++i) {
        vPlugins[i].sPath = opt.vPlugins[i];
        if (!LoadPlugin(vPlugins[i])) {
            for (size_t j = 0; j < i; ++j) FreeLibrary(vPlugins[j].hModule);
            KxTarvo::Shutdown();
            return KxTarvo::RUN_SYNTAX;
        }
    }
    for (Plugin& p : vPlugins) p.pfnLoad();
    for (Plugin& p : vPlugins) p.pfnInitialize();

    if (opt.bClasses) KxScConsoleManager::pcmManager->PrintString(KxScClassInfo::AllClassesTree());

    int nStatus = KxTarvo::RUN_OK;
    if (opt.pszCode || opt.pszScript) {
        KxString sScript(opt.pszScript ? opt.pszScript : "-e");
        KxTarvo::SetScriptArgs(sScript, opt.nArgs, opt.ppszArgs);
        nStatus = opt.pszCode ? KxTarvo::RunSource(opt.pszCode, "-e") : KxTarvo::RunFile(sScript);
        if (nStatus == KxTarvo::RUN_EXITED) nStatus = KxTarvo::ExitStatus();
    }

    for (Plugin& p : vPlugins) p.pfnShutdown();
    for (Plugin& p : vPlugins) p.pfnUnload();
    // The plug-ins' objects are freed by the runtime's last collection; their code must still
    // be loaded then.
    KxTarvo::Shutdown();
    for (Plugin& p : vPlugins) FreeLibrary(p.hModule);

    if (opt.bStats) {
        KxString s("stats: ");
        s << KxTarvo::LiveHandles() << " live handles, " << KxScData::LiveObjects()
          << " live objects\r\n";
        Say(s);
    }
    SetEvent(ghShutDown);
    if (gnControlEvents > 0) nStatus = static_cast<int>(kStatusControlCExit);
    return nStatus;
}
