// Shell: the output segmenter on chunks, then programs run through Exec with their output
// captured, the standard handles and current folder kept, the environment, the argument
// errors, and the hidden console.
#include <utility>
#include <vector>

#include "KxFindConsoleThread.h"
#include "KxTshFile.h"
#include "KxTshOutput.h"
#include "KxTshShell.h"
#include "child_program.h"
#include "scratch_folder.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshShell, "Shell");
KXTSH_DEFINE_STATICS(KxTshFile, "File");

namespace {

typedef std::vector<std::pair<std::string, bool>> Segments;

Segments Cut(std::string sChunk) {
    Segments v;
    sChunk += '?';  // the spare byte, overwritten by the NUL
    KxString sSegment("left from before");
    KxCutOutputChunk(&sChunk[0], static_cast<unsigned>(sChunk.size() - 1), sSegment,
                     [&](const KxString& s, bool bLineEnd) { v.push_back({std::string(s), bLineEnd}); });
    return v;
}

TEST(OutputSegmenter, CutsAtCrLfAndDropsLoneCr) {
    EXPECT_EQ(Cut(""), Segments());
    EXPECT_EQ(Cut("A\r\nB"), Segments({{"A", true}, {"B", false}}));
    EXPECT_EQ(Cut("A\rB\r\n"), Segments({{"A", false}, {"B", true}}));
    EXPECT_EQ(Cut("A\nB\r\n"), Segments({{"A\nB", true}}));
    EXPECT_EQ(Cut("\r\n\r\n"), Segments({{"", true}, {"", true}}));
    EXPECT_EQ(Cut("tail\r"), Segments({{"tail", false}}));            // CR LF split by a chunk end
    EXPECT_EQ(Cut("\nnext\r\n"), Segments({{"\nnext", true}}));       // ... and the next chunk
    EXPECT_EQ(Cut(std::string("a\0b\r\nc", 6)), Segments({{"a", true}, {"c", false}}));
}

class ShellTest : public ScriptTest {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-shell-tests");
        ScriptTest::SetUpTestSuite();
        KxTshShell::SetupClass();
        KxTshFile::SetupClass();
        Run(KxTshShell::GetPreludeText());
        KxScVmEnv::SetGlobalVariable("CHILD", KxScDataHandle::CreateData(ChildProgram().c_str(), false), true, false);
    }
    static void TearDownTestSuite() {
        KxTshFile::ShutdownClass();
        KxTshShell::ShutdownClass();
        ScriptTest::TearDownTestSuite();
    }
    // Runs the child with the arguments, its output captured into out.txt; gives the bytes.
    static std::string Captured(const std::string& sArgs) {
        Run(("f = File.Open(\"out.txt\", \"write\"); Shell.Exec(CHILD + \" " + sArgs + "\", f); f.Close();").c_str());
        return ScratchFolder::Get("out.txt");
    }
};

TEST_F(ShellTest, CapturedOutputReachesTheFileExactly) {
    EXPECT_EQ(Captured("out A\\r\\nB"), "A\r\nB");
    EXPECT_EQ(Captured("out A\\rB\\r\\n out C\\nD\\r\\n"), "AB\r\nC\nD\r\n");
    // Both streams, in the order written, with pauses and pieces split across writes.
    EXPECT_EQ(Captured("out one\\r pause 50 err \\ntwo\\r\\n pause 50 out three"), "one\ntwo\r\nthree");
    // Megabytes, complete.
    std::string sBulk = Captured("bulk 100000 50");
    EXPECT_EQ(sBulk.size(), 5000000u);
    std::string sLine = std::string(48, 'b') + "\r\n";
    EXPECT_EQ(sBulk.substr(0, 50), sLine);
    EXPECT_EQ(sBulk.substr(sBulk.size() - 50), sLine);
    EXPECT_EQ(sBulk.find('\r', 0) , 48u);
}

TEST_F(ShellTest, StandardHandlesAndFolderAreKeptOnEveryPath) {
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE), hErr = GetStdHandle(STD_ERROR_HANDLE);
    Run("before = Shell.GetCurrentDir();");
    Captured("out x");
    ExpectErrors({
        {"Shell.Exec(\"no-such-program-here.exe arg\");", "28 Cannot create process: no-such-program-here.exe arg"},
        {"Shell.Exec(\"\");", "28 Cannot create process: "},
        {"Shell.Exec();", "15 Shell::Exec(): Need one or two parameters."},
        {"Shell.Exec(CHILD, 1, 2);", "15 Shell::Exec(): Need one or two parameters."},
        {"Shell.Exec(5);", "15 Shell::Exec(): first argument must be a string."},
        {"Shell.Exec(nil, f);", "7 Shell::Exec(): first argument must be a string."},
        {"Shell.Chdir(\"no-such-folder\");", "28 Cannot change directory to: no-such-folder"},
    });
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), hOut);
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), hErr);
    Run("after = Shell.GetCurrentDir();");
    EXPECT_EQ(Text("after"), Text("before"));
}

TEST_F(ShellTest, FolderAndEnvironmentReachStartedPrograms) {
    CreateDirectoryA("sub", nullptr);
    Run("home = Shell.GetCurrentDir(); Shell.Chdir(\"sub\"); inside = Shell.GetCurrentDir();");
    EXPECT_EQ(Text("inside"), Text("home") + "\\sub");
    EXPECT_EQ(Captured("cwd"), Text("inside") + "\r\n");
    Run("Shell.Chdir(home);");
    Run("unset = Shell.Getenv(\"TSH_TEST_VARIABLE\"); Shell.Setenv(\"TSH_TEST_VARIABLE\", \"a value\");"
        "set = Shell.Getenv(\"TSH_TEST_VARIABLE\"); Shell.Setenv(\"TSH_EMPTY\", \"\"); empty = Shell.Getenv(\"TSH_EMPTY\");");
    EXPECT_EQ(Text("unset"), "<nil>");
    EXPECT_EQ(Text("set"), "a value");
    EXPECT_EQ(Text("empty"), "");
    EXPECT_EQ(Captured("env TSH_TEST_VARIABLE env TSH_NOT_SET"), "a value\r\n<unset>\r\n");
    EXPECT_EQ(ErrorOf("Shell.Sleep(-5); Shell.Sleep(0); Shell.Sleep(\"x\");"), "104 arguments do not fit Shell::Sleep");
}

TEST_F(ShellTest, DetachedProgramsStartInTheirFolderAndReturnAtOnce) {
    std::string sMarker = ChildFolder() + "\\tsh-detached.txt";
    for (const char* pszFlag : {"SH_EXEC_NOWAIT", "0", "5"}) {
        DeleteFileA(sMarker.c_str());
        DWORD dwStart = GetTickCount();
        // A switch after the program: '/' separates no folder.
        Run((std::string("Shell.Exec(CHILD + \" pause 300 cwdfile tsh-detached.txt /switch\", ") + pszFlag + ");").c_str());
        EXPECT_LT(GetTickCount() - dwStart, 300u) << pszFlag;
        std::string sGot;
        for (int i = 0; i < 100 && (sGot = ScratchFolder::Get(sMarker.c_str())) == "<missing>"; ++i) Sleep(50);
        if (sGot != "<missing>") Sleep(100);  // written in one go; let the child finish
        EXPECT_EQ(ScratchFolder::Get(sMarker.c_str()), ChildFolder()) << pszFlag;
    }
    DeleteFileA(sMarker.c_str());
    // A command line with no folder part starts in the host's current folder.
    Run("Shell.Exec(\"cmd /c echo switched> tsh-cmd.txt\", SH_EXEC_NOWAIT);");
    for (int i = 0; i < 100 && ScratchFolder::Get("tsh-cmd.txt") != "switched\r\n"; ++i) Sleep(50);
    EXPECT_EQ(ScratchFolder::Get("tsh-cmd.txt"), "switched\r\n");
    EXPECT_EQ(ErrorOf("Shell.Exec(\"no-such-program-here.exe\", SH_EXEC_NOWAIT);"), "28 Cannot create process: no-such-program-here.exe");
}

// The host without a console of its own: tarvow.exe running a script that starts a program.
TEST_F(ShellTest, TarvowGetsAConsoleThatIsHiddenAtOnce) {
    ASSERT_EQ(FindWindowA(nullptr, kHiddenConsoleTitle), nullptr);
    ScratchFolder::Put("hidden.tarvo", "Shell.Exec(ARGS[0] + \" out x\"); Shell.Sleep(2500);");
    std::string sLine = ChildFolder() + "\\tarvow.exe hidden.tarvo " + ChildProgram();
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // Detached: it must not share this program's console.
    ASSERT_TRUE(CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi));
    HWND hConsole = nullptr;
    for (int i = 0; i < 50 && !(hConsole && !IsWindowVisible(hConsole)); ++i) {
        Sleep(50);
        hConsole = FindWindowA(nullptr, kHiddenConsoleTitle);
    }
    EXPECT_NE(hConsole, nullptr);
    EXPECT_FALSE(hConsole && IsWindowVisible(hConsole));
    DWORD dwExit = 999;
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &dwExit);
    EXPECT_EQ(dwExit, 0u);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // The console went with the host's shutdown.
    for (int i = 0; i < 40 && FindWindowA(nullptr, kHiddenConsoleTitle); ++i) Sleep(50);
    EXPECT_EQ(FindWindowA(nullptr, kHiddenConsoleTitle), nullptr);
}

// Runs last (tests run in the order they are defined): it gives this process
// a console of Shell's making.
TEST_F(ShellTest, TheAllocatedConsoleIsTitledAndHidden) {
    // A window whose title only begins with the console's is left alone.
    std::string sLonger = std::string(kHiddenConsoleTitle) + " too";
    HWND hOther = CreateWindowA("STATIC", sLonger.c_str(), WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50,
                                nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hOther, nullptr) << GetLastError();
    FreeConsole();
    Captured("out x");
    EXPECT_TRUE(KxTshShell::bConsoleAllocated);
    HWND hConsole = nullptr;
    for (int i = 0; i < 60 && !(hConsole && !IsWindowVisible(hConsole)); ++i) {
        Sleep(100);
        hConsole = FindWindowA(nullptr, kHiddenConsoleTitle);
    }
    ASSERT_NE(hConsole, nullptr);
    EXPECT_FALSE(IsWindowVisible(hConsole));
    EXPECT_TRUE(KxFindConsoleThread::bConsoleHidden);
    EXPECT_TRUE(IsWindowVisible(hOther));
    // Later calls make no second console.
    Captured("out y");
    EXPECT_EQ(FindWindowA(nullptr, kHiddenConsoleTitle), hConsole);
    DestroyWindow(hOther);
}

}  // namespace
