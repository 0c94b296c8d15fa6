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

// A second Initialize and a second Shutdown change nothing.
TEST_F(PluginTest, InitializePublishesEveryClassAndShutdownWithdrawsThem) {
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Initialize(), 1);
    for (const char* c : kClasses) EXPECT_TRUE(Published(c)) << c;
    KxScDataHandle* phFirst = KxScDataObject::FindClassObject("Timer");
    EXPECT_EQ(Initialize(), 1);
    EXPECT_EQ(KxScDataObject::FindClassObject("Timer"), phFirst);
    EXPECT_EQ(KxTarvo::RunSource("t = Timer.Timer(); t.Start(0); r = t.HasExpired(); t = nil;", "test"),
              KxTarvo::RUN_OK);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Shutdown(), 1);
    for (const char* c : kClasses) EXPECT_FALSE(Published(c)) << c;
    EXPECT_EQ(Unload(), 1);
}

// Shutdown before Initialize spends the once-only shutdown of each class (host.md tells hosts
// not to): the real shutdown later leaves the classes registered, and only the runtime's own
// Shutdown (the fixture's) frees them.
TEST_F(PluginTest, ShutdownBeforeInitializeLeavesTheClassesToTheRuntimesShutdown) {
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Shutdown(), 1);
    EXPECT_EQ(Initialize(), 1);
    EXPECT_EQ(Shutdown(), 1);
    for (const char* c : kClasses) EXPECT_TRUE(Published(c)) << c;
    EXPECT_EQ(Unload(), 1);
}

}  // namespace

// Fuzzing, deterministic (fixed seeds), in this one process: random calls of every method
// name on every kind of receiver with every kind of argument, inside chains of script calls
// that raise, catch, rethrow and drop heavy values at every depth; then the same scripts with
// random bytes changed. Nothing may crash or hang, every caller must find its locals and the
// error it caught as they were, a File dropped among heavy values must be written by a
// collection during the run, and nothing may stay alive at the end. Kept away from harm: no
// Kill, Chdir or Sleep, Exec only of texts that name no program, and every name a script can
// pass is a relative one in a scratch folder.
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

// Globals for all scripts, set once: strings without text (the names of a closed reader and
// of a closed File) and a long text.
const char kGlobals[] =
    "d = Directory.Open(\".\"); d.Close(); NAMELESS = d.name; d = nil;\n"
    "f = File.Open(\"fz.txt\", \"write\"); f.Close(); FILELESS = f.fileName; f = nil;\n"
    "BIG = \"x\"; while (len(BIG) < 65536) { BIG = BIG + BIG; }\n";
// Every script starts with this; mutations leave it alone.
const char kPrelude[] = "LOST = 0;\n";

const char* const kValues[] = {
    "nil", "0", "-1", "7", "2147483647", "\"\"", "\"fz.txt\"", "\"fz dir\"", "\"*\"", "ARGS",
    "File", "Directory", "Shell", "Task", "Timer", "Timer.Timer()", "File.Open(\"fz.txt\", \"write\")",
    "File.Open(\"fz.txt\", \"read\")", "Directory.Open(\".\")", "Task.TaskList()", "Timer.Start",
    "error(1, \"e\")", "Task.TaskList()[0]", "Directory.Open(\".\").First()", "NAMELESS",
    "FILELESS", "BIG", "error(2, BIG)"};
const char* const kMethods[] = {
    "Open", "First", "Next", "Close", "Exists", "Create", "ReadLn", "Write", "WriteLn", "Flush",
    "Copy", "Delete", "DoesExist", "Setenv", "Getenv", "GetCurrentDir", "TaskList", "Timer",
    "Start", "Stop", "Pause", "Resume", "HasExpired", "Reset", "Exec", "name", "count", "fileName"};
const char* const kMutations[] = {"(", ")", "{", "}", ";", ".", ",", "\"", "nil", "x", "1", " + ", "="};

// What the innermost call does, and the code of the error it raises (0: none).
struct Raise {
    const char* pszStatement;
    int nCode;
};
const Raise kRaises[] = {
    {"x = 1 / 0;", 107}, {"x = nil.name;", 105}, {"x = nosuch(1);", 102}, {"x = ARGS[99];", 106},
    {"Directory.First();", 18}, {"Shell.Exec(NAMELESS);", 28},
    {"Shell.Exec(FILELESS, SH_EXEC_NOWAIT);", 28}, {"x = File.Open(FILELESS, \"read\");", 28},
    {"throw error(77, BIG);", 77}, {"x = Timer.Timer().Start(\"t\");", 104}, {"x = 1;", 0}};
// Loops that drop more than a collection's worth of weight (4 MiB) in few values.
const char* const kDrops[] = {"i = 0; while (i < 100) { e = error(1, BIG); i = i + 1; }",
                              "i = 0; while (i < 100) { e = error(1, BIG); i = i + 1; }",
                              "i = 0; while (i < 6) { d = Directory.Open(\"big\"); i = i + 1; }"};

// A random call of a random method on a random value, its errors caught where they happen.
std::string RandomCall(Random& r) {
    std::string sMethod = r.Pick(kMethods);
    std::string s = "v = nil; try { v = " + std::string(r.Pick(kValues)) + "; v." + sMethod + " = " +
                    r.Pick(kValues) + "." + sMethod + "; } catch (e) { m = e.text; }\n";
    s += "try { x = v." + sMethod + "(";
    for (int nArgs = r.Next(4); nArgs > 0; --nArgs) s += std::string(r.Pick(kValues)) + (nArgs > 1 ? ", " : "");
    return s + "); } catch (e) { m = e.text; }\n";
}

std::string RandomScript(Random& r) {
    std::string s = kPrelude;
    const Raise& raise = r.Pick(kRaises);
    const std::string sCode = std::to_string(raise.nCode);
    const int nDepth = 1 + r.Next(4);
    // One script in eight drops heavy values, at some depth, after dropping an unclosed File.
    const int nDropAt = r.Next(8) == 0 ? static_cast<int>(r.Next(nDepth)) : -1;
    // Named by the seed: what an earlier (mutated) script left open cannot be in the way.
    const std::string sDropped = "\"fzw" + std::to_string(r.n) + ".txt\"";
    if (nDropAt >= 0) s += "fw = File.Open(" + sDropped + ", \"write\"); fw.WriteLn(\"w\"); fw = nil;\n";
    // c0 calls c1 ... the innermost raises. Each keeps a local of its own across the call and
    // checks it, and the code of what it catches, afterwards.
    for (int j = 0; j < nDepth; ++j) {
        std::string sMine = "k * 10 + " + std::to_string(j);
        s += "function c" + std::to_string(j) + "(k) {\nmine = " + sMine + ";\n";
        for (int nCalls = r.Next(3); nCalls > 0; --nCalls) s += RandomCall(r);
        if (j == nDropAt) s += std::string(r.Pick(kDrops)) + "\n";
        if (j == nDepth - 1) {
            s += std::string(raise.pszStatement) + "\nr = 0;\n";
        } else {
            std::string sCall = "r = c" + std::to_string(j + 1) + "(k);";
            switch (r.Next(3)) {
            case 0: s += sCall + "\n"; break;
            case 1: s += "try { " + sCall + " } catch (e) { if (e.code != " + sCode +
                         ") { global LOST = 1; } r = e.code; }\n"; break;
            case 2: s += "try { " + sCall + " } catch (e) { throw e; }\n"; break;
            }
        }
        s += "if (mine != " + sMine + ") { global LOST = 1; }\nreturn r;\n}\n";
    }
    s += "try { t = c0(3); } catch (e) { if (e.code != " + sCode + ") { LOST = 1; } }\n";
    for (int nCalls = r.Next(3); nCalls > 0; --nCalls) s += RandomCall(r);
    if (nDropAt >= 0) s += "g = File.Open(" + sDropped + ", \"read\"); if (g.ReadLn() != \"w\") { LOST = 1; } g.Close();\n";
    return s + "if (LOST) { lost_a_local_or_an_error(); }\n";
}

std::string Mutated(Random& r, std::string s) {
    for (int n = 1 + r.Next(3); n > 0; --n) {
        size_t at = sizeof kPrelude + r.Next(static_cast<unsigned>(s.size() - sizeof kPrelude));
        s.replace(at, r.Next(3), r.Pick(kMutations));
    }
    return s;
}

}  // namespace fuzz

TEST_F(PluginTest, SurvivesRandomAndMutatedScripts) {
    static ScratchFolder folder("tsh-fuzz");
    // Readers of this folder hold long listings: a few of them weigh as much as a collection.
    CreateDirectoryA("big", nullptr);
    for (int i = 0; i < 1500; ++i) ScratchFolder::Put(("big\\" + std::string(200, 'n') + std::to_string(i)).c_str(), "");
    Load();
    Initialize();
    KxTarvo::SetScriptArgs("fuzz", 0, nullptr);
    ASSERT_EQ(KxTarvo::RunSource(fuzz::kGlobals, "fuzz"), KxTarvo::RUN_OK);
    for (unsigned nSeed = 1; nSeed <= 400; ++nSeed) {
        fuzz::Random r{nSeed};
        std::string sScript = fuzz::RandomScript(r);
        EXPECT_EQ(KxTarvo::RunSource(sScript.c_str(), "fuzz"), KxTarvo::RUN_OK) << sScript;
        KxTarvo::RunSource(fuzz::Mutated(r, sScript).c_str(), "fuzz");
    }
    Shutdown();
    Unload();
}
