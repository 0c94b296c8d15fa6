// The plug-in library as a host uses it: loaded, its entry points called in order, twice, or
// out of order, and unloaded, with the runtime left clean.
#include <windows.h>

#include <gtest/gtest.h>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"
#include "scratch_folder.h"

#include <string>

namespace {

typedef int(__stdcall* EntryPoint)();

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        KxTarvo::Startup();
        SetLastError(0xdeadbeef);
        hModule = LoadLibraryA("TscShell.dll");
        ASSERT_NE(hModule, nullptr) << "LoadLibrary failed, error " << GetLastError();
        for (int i = 0; i < 4; ++i) {
            FARPROC pfn = GetProcAddress(hModule, kNames[i]);
            apfn[i] = reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(pfn));
            ASSERT_NE(apfn[i], nullptr) << kNames[i];
        }
    }
    void TearDown() override {
        KxTarvo::Shutdown();
        EXPECT_EQ(KxTarvo::LiveHandles(), 0);
        EXPECT_EQ(KxScData::LiveObjects(), 0);
        if (hModule) FreeLibrary(hModule);
    }
    int Load() { return apfn[0](); }
    int Initialize() { return apfn[1](); }
    int Shutdown() { return apfn[2](); }
    int Unload() { return apfn[3](); }

    static bool Published(const char* pszClass) {
        KxScDataHandle* ph = nullptr;
        bool bGlobal = KxScVmEnv::GetGlobalVariable(pszClass, &ph) && ph;
        bool bRegistered = KxScDataObject::FindClassObject(pszClass) != nullptr;
        EXPECT_EQ(bGlobal, bRegistered) << pszClass;
        return bGlobal && bRegistered;
    }

    // The 32-bit library exports the decorated names of parameterless __stdcall functions.
#ifdef _WIN64
    static constexpr const char* kNames[4] = {"OrbaPluginLoad", "OrbaPluginInitialize",
                                              "OrbaPluginShutdown", "OrbaPluginUnload"};
#else
    static constexpr const char* kNames[4] = {"_OrbaPluginLoad@0", "_OrbaPluginInitialize@0",
                                              "_OrbaPluginShutdown@0", "_OrbaPluginUnload@0"};
#endif
    static constexpr const char* kClasses[] = {"Shell", "File", "Directory", "Task", "Timer"};
    HMODULE hModule = nullptr;
    EntryPoint apfn[4] = {};
};

TEST_F(PluginTest, InitializePublishesEveryClassAndShutdownWithdrawsThem) {
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Initialize(), 1);
    for (const char* c : kClasses) EXPECT_TRUE(Published(c)) << c;
    EXPECT_EQ(KxTarvo::RunSource("t = Timer.Timer(); t.Start(0); r = t.HasExpired(); t = nil;", "test"),
              KxTarvo::RUN_OK);
    EXPECT_EQ(Shutdown(), 1);
    for (const char* c : kClasses) EXPECT_FALSE(Published(c)) << c;
    EXPECT_EQ(Unload(), 1);
}

TEST_F(PluginTest, SecondInitializeAndSecondShutdownChangeNothing) {
    Load();
    Initialize();
    KxScDataHandle* phFirst = KxScDataObject::FindClassObject("Timer");
    EXPECT_EQ(Initialize(), 1);
    EXPECT_EQ(KxScDataObject::FindClassObject("Timer"), phFirst);
    EXPECT_EQ(Shutdown(), 1);
    EXPECT_EQ(Shutdown(), 1);
    for (const char* c : kClasses) EXPECT_FALSE(Published(c)) << c;
    Unload();
}

TEST_F(PluginTest, ShutdownWithoutInitializeIsHarmless) {
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Shutdown(), 1);
    EXPECT_EQ(Unload(), 1);
}

}  // namespace

// Fuzzing, deterministic (fixed seeds), in this one process: random calls of every method
// name on every kind of receiver with every kind of argument, then the same scripts with
// random bytes changed. Nothing may crash or hang, and nothing may stay alive at the end.
// Kept away from harm: no Exec, Kill, Chdir or Sleep, and every name a script can pass is
// a relative one in a scratch folder.
namespace fuzz {

struct Random {
    unsigned n;
    unsigned Next(unsigned nBelow) {
        n = n * 1103515245u + 12345u;
        return (n >> 8) % nBelow;
    }
    template <class T, int N>
    const T& Pick(const T (&a)[N]) { return a[Next(N)]; }
};

const char* const kValues[] = {
    "nil", "0", "-1", "7", "2147483647", "\"\"", "\"fz.txt\"", "\"fz dir\"", "\"*\"", "ARGS",
    "File", "Directory", "Shell", "Task", "Timer", "Timer.Timer()", "File.Open(\"fz.txt\", \"write\")",
    "File.Open(\"fz.txt\", \"read\")", "Directory.Open(\".\")", "Task.TaskList()", "Timer.Start",
    "error(1, \"e\")", "Task.TaskList()[0]", "Directory.Open(\".\").First()"};
const char* const kMethods[] = {
    "Open", "First", "Next", "Close", "Exists", "Create", "ReadLn", "Write", "WriteLn", "Flush",
    "Copy", "Delete", "DoesExist", "Setenv", "Getenv", "GetCurrentDir", "TaskList", "Timer",
    "Start", "Stop", "Pause", "Resume", "HasExpired", "Reset", "name", "count", "fileName"};
const char* const kMutations[] = {"(", ")", "{", "}", ";", ".", ",", "\"", "nil", "x", "1", " + ", "="};

std::string RandomScript(Random& r) {
    std::string s;
    for (int nCalls = 1 + r.Next(4); nCalls > 0; --nCalls) {
        // Values are given the methods of others, then called with random arguments.
        std::string sMethod = r.Pick(kMethods);
        s += "v = nil; try { v = " + std::string(r.Pick(kValues)) + "; v." + sMethod + " = " + r.Pick(kValues) +
             "." + sMethod + "; } catch (e) { m = e.text; }\n";
        s += "try { x = v." + sMethod + "(";
        for (int nArgs = r.Next(4); nArgs > 0; --nArgs) s += std::string(r.Pick(kValues)) + (nArgs > 1 ? ", " : "");
        s += "); } catch (e) { m = e.text; }\n";
    }
    return s;
}

std::string Mutated(Random& r, std::string s) {
    for (int n = 1 + r.Next(3); n > 0; --n) {
        size_t at = r.Next(static_cast<unsigned>(s.size()));
        s.replace(at, r.Next(3), r.Pick(kMutations));
    }
    return s;
}

}  // namespace fuzz

TEST_F(PluginTest, SurvivesRandomAndMutatedScripts) {
    static ScratchFolder folder("tsh-fuzz");
    Load();
    Initialize();
    KxTarvo::SetScriptArgs("fuzz", 0, nullptr);
    for (unsigned nSeed = 1; nSeed <= 1500; ++nSeed) {
        fuzz::Random r{nSeed};
        std::string sScript = fuzz::RandomScript(r);
        EXPECT_EQ(KxTarvo::RunSource(sScript.c_str(), "fuzz"), KxTarvo::RUN_OK) << sScript;
        KxTarvo::RunSource(fuzz::Mutated(r, sScript).c_str(), "fuzz");
    }
    Shutdown();
    Unload();
}
