// Shell: programs run through Exec with their output captured (generated outputs against the
// 4,096-byte read rules), the standard handles and current folder kept, the environment, the
// argument errors, detached programs, and the hidden console.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "KxFindConsoleThread.h"
#include "KxTshFile.h"
#include "KxTshShell.h"
#include "block_rules.h"
#include "child_program.h"
#include "scratch_folder.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshShell, "Shell");
KXTSH_DEFINE_STATICS(KxTshFile, "File");

namespace {

class ShellTest : public ClassTest<KxTshShell, KxTshFile> {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-shell-tests");
        ClassTest::SetUpTestSuite();
        KxScVmEnv::SetGlobalVariable("CHILD", KxScDataHandle::CreateData(ChildProgram().c_str(), false), true, false);
    }
    // Runs the child with the arguments, its output captured into out.txt; gives the bytes.
    static std::string Captured(const std::string& sArgs) {
        Run(("f = File.Open(\"out.txt\", \"write\"); refused = nil; try { Shell.Exec(CHILD + \" " + sArgs + "\", f); }"
             " catch (e) { refused = e.text; } f.Close();").c_str());
        return Text("refused") == "<nil>" ? ScratchFolder::Get("out.txt") : "refused: " + Text("refused");
    }
    // Waits until the file holds the text; gives what it holds then.
    static std::string Awaited(const std::string& sPath, const std::string& sText) {
        std::string sGot;
        for (int i = 0; i < 600 && (sGot = ScratchFolder::Get(sPath.c_str())) != sText; ++i) Sleep(50);
        return sGot;
    }
};

// Outputs with line ends, lone CRs and NULs at and around every read boundary, each written
// in one write and captured one after the other into one File; then both streams, in the order
// written, and megabytes.
TEST_F(ShellTest, CaptureCutsAtEveryReadBoundary) {
    std::vector<std::string> vOutputs;
    for (size_t nAt : {4093u, 4094u, 4095u, 4096u, 8190u, 8191u, 12287u}) {
        for (const std::string& sMark : {std::string("\r\n"), std::string("\r"), std::string("\n"), std::string(1, '\0')}) {
            std::string sBytes(nAt + 3000, 'x');
            for (char& c : sBytes) c = "abcd"[Random(4)];
            for (size_t i = Random(500); i < sBytes.size(); i += 1 + Random(1200)) sBytes[i] = "\r\n\n"[Random(3)];
            vOutputs.push_back(sBytes.replace(nAt, sMark.size(), sMark));
        }
    }
    // Short last reads after a read of CR LF pairs, whose LFs stay in the buffer: a CR that ends
    // the data is followed by a stale LF.
    std::string sCrLfs;
    for (int i = 0; i < 2048; ++i) sCrLfs += "\r\n";
    for (size_t nTail : {1u, 2001u}) vOutputs.push_back(sCrLfs + std::string(nTail - 1, 'y') + "\r");
    std::string sExpected, sScript;
    for (size_t i = 0; i < vOutputs.size(); ++i) {
        std::string sName = "bytes" + std::to_string(i) + ".bin";
        ScratchFolder::Put(sName.c_str(), vOutputs[i]);
        sExpected += KeptOfBlocks(vOutputs[i], false);
        sScript += "Shell.Exec(CHILD + \" cat " + sName + "\", f);";
    }
    // The File is closed whatever an Exec raised: the cases after this one use out.txt.
    Run(("f = File.Open(\"out.txt\", \"write\"); refused = \"<none>\"; try { " + sScript + " } catch (e) { refused = e.text; } f.Close();").c_str());
    EXPECT_EQ(Text("refused"), "<none>");
    std::string sGot = ScratchFolder::Get("out.txt");
    EXPECT_EQ(sGot.size(), sExpected.size());
    EXPECT_TRUE(sGot == sExpected) << "first difference at byte "
                                   << std::mismatch(sGot.begin(), sGot.end(), sExpected.begin(), sExpected.end()).first - sGot.begin();
    EXPECT_EQ(Captured("out one\\r\\n err two\\r\\n out three"), "one\r\ntwo\r\nthree");
    std::string sBulk = Captured("bulk 100000 50"), sLine = std::string(48, 'b') + "\r\n";
    EXPECT_EQ(sBulk.size(), 5000000u);
    EXPECT_EQ(sBulk.substr(0, 50), sLine);
    EXPECT_EQ(sBulk.substr(sBulk.size() - 50), sLine);
}

// Exec hands text to the File and leaves it there: a last piece without line end stays in the
// File's buffer. A File open for reading, or closed, takes nothing. The standard handles are
// put back: here a file's, held open so that no pipe of Exec's can have its value.
TEST_F(ShellTest, ExecLeavesTheFileAsItIs) {
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE), hErr = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE hOwn = CreateFileA("std.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, hOwn);
    SetStdHandle(STD_ERROR_HANDLE, hOwn);
    Run("f = File.Open(\"out.txt\", \"write\"); Shell.Exec(CHILD + \" out A\\r\\nB\", f);");
    EXPECT_TRUE(GetStdHandle(STD_OUTPUT_HANDLE) == hOwn && GetStdHandle(STD_ERROR_HANDLE) == hOwn);
    SetStdHandle(STD_OUTPUT_HANDLE, hOut);
    SetStdHandle(STD_ERROR_HANDLE, hErr);
    CloseHandle(hOwn);
    EXPECT_EQ(ScratchFolder::Get("out.txt"), "A\r\n");
    Run("f.Close();");
    EXPECT_EQ(ScratchFolder::Get("out.txt"), "A\r\nB");
    ScratchFolder::Put("in.txt", "one\r\ntwo\r\n");
    Run("r = File.Open(\"in.txt\", \"read\"); first = r.ReadLn(); Shell.Exec(CHILD + \" out X\\r\\nY\", r);"
        "second = r.ReadLn(); third = r.ReadLn(); r.Close(); Shell.Exec(CHILD + \" out Z\\r\\n\", r); f = nil; r = nil;");
    EXPECT_EQ(Text("first") + Text("second") + Text("third"), "onetwo<nil>");
    EXPECT_EQ(ScratchFolder::Get("in.txt"), "one\r\ntwo\r\n");
}

TEST_F(ShellTest, FolderAndEnvironmentReachStartedPrograms) {
    CreateDirectoryA("sub", nullptr);
    Run("home = Shell.GetCurrentDir(); Shell.Chdir(\"sub\"); inside = Shell.GetCurrentDir();");
    EXPECT_EQ(Text("inside"), Text("home") + "\\sub");
    EXPECT_EQ(Captured("cwd"), Text("inside") + "\r\n");
    Run("Shell.Chdir(home);");
    Run("Shell.Setenv(\"TSH_TEST_VARIABLE\", \"a value\"); Shell.Setenv(\"TSH_EMPTY\", \"\"); empty = Shell.Getenv(\"TSH_EMPTY\");");
    EXPECT_EQ(Text("empty"), "");
    EXPECT_EQ(Captured("env TSH_TEST_VARIABLE env TSH_NOT_SET"), "a value\r\n<unset>\r\n");
    EXPECT_EQ(ErrorOf("Shell.Sleep(-5); Shell.Sleep(0); Shell.Sleep(\"x\");"), "104 Shell::Sleep(): argument 1 must be an integer, not \"x\"");
    // A current folder and a value with a Greek alpha, which the code page does not hold (its
    // best fit is "a"): the folder reads as a name that Chdir takes back to it (its short form)
    // where the system gives it one, else as one Chdir refuses, never the folder beside it; the
    // value has '?' for the alpha.
    if (ScratchFolder::CodePageHolds(L"\x3b1")) GTEST_SKIP() << "the code page holds the Greek alpha";
    CreateDirectoryA("a-sub", nullptr);
    CreateDirectoryW(L"\x3b1-sub", nullptr);
    SetCurrentDirectoryW(L"\x3b1-sub");
    wchar_t awInside[MAX_PATH], awBack[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, awInside);
    SetEnvironmentVariableW(L"TSH_ALPHA", L"x\x3b1y");
    Run("lossy = Shell.GetCurrentDir(); Shell.Chdir(home); taken = 1;"
        "try { Shell.Chdir(lossy); } catch (e) { taken = 0; } Shell.Chdir(home); alpha = Shell.Getenv(\"TSH_ALPHA\");"
        "try { Shell.Chdir(lossy); } catch (e) { }");
    GetCurrentDirectoryW(MAX_PATH, awBack);  // named as Chdir was given it
    GetLongPathNameW(awBack, awBack, MAX_PATH);
    Run("Shell.Chdir(home);");
    EXPECT_EQ(Int("taken"), ScratchFolder::HasShortName(awInside) ? 1 : 0) << Text("lossy");
    EXPECT_TRUE(Int("taken") ? std::wstring(awBack) == awInside : Text("lossy").find('?') != std::string::npos) << Text("lossy");
    EXPECT_EQ(Text("alpha"), "x?y");
}

// A detached program is still waiting for its release when Exec returns: Exec did not wait.
TEST_F(ShellTest, DetachedProgramsStartInTheirFolderAndReturnAtOnce) {
    // The program's folder is shared by the test programs of every prefix running at the same
    // time, and process ids repeat across prefixes: a name made unique in the folder itself.
    char szOwn[MAX_PATH];
    ASSERT_NE(GetTempFileNameA(ChildFolder().c_str(), "tsh", 0, szOwn), 0u) << GetLastError();
    const std::string sOwn = std::strrchr(szOwn, '\\') + 1;
    const std::string sMarker = std::string(szOwn) + ".cwd", sRelease = std::string(szOwn) + ".go";
    for (const char* pszFlag : {"SH_EXEC_NOWAIT", "0", "5"}) {
        DeleteFileA(sRelease.c_str());
        // A switch after the program: '/' separates no folder.
        Run(("Shell.Exec(CHILD + \" waitfor " + sOwn + ".go cwdfile " + sOwn + ".cwd /switch\", " + pszFlag + ");").c_str());
        EXPECT_EQ(ScratchFolder::Get(sMarker.c_str()), "<missing>") << pszFlag;
        ScratchFolder::Put(sRelease.c_str(), "");
        // The child holds the marker unshared while it writes it: a whole text means it is done.
        EXPECT_EQ(Awaited(sMarker, ChildFolder()), ChildFolder()) << pszFlag;
        DeleteFileA(sMarker.c_str());
    }
    DeleteFileA(sRelease.c_str());
    DeleteFileA(szOwn);
    // A command line with no folder part starts in the host's current folder.
    Run("Shell.Exec(\"cmd /c echo switched> tsh-cmd.txt\", SH_EXEC_NOWAIT);");
    EXPECT_EQ(Awaited("tsh-cmd.txt", "switched\r\n"), "switched\r\n");
    DeleteFileA("tsh-cmd.txt");
    EXPECT_EQ(ErrorOf("Shell.Exec(\"no-such-program-here.exe\", SH_EXEC_NOWAIT);"), "28 Cannot create process: no-such-program-here.exe");
}

// The host without a console of its own: tarvow.exe running a script that starts a program.
TEST_F(ShellTest, TarvowGetsAConsoleThatIsHiddenAtOnce) {
    TSH_SKIP_WITHOUT_WINDOWS();
    ASSERT_EQ(FindWindowA(nullptr, kHiddenConsoleTitle), nullptr);
    // The host stays up until the test has seen its console.
    DeleteFileA("release.txt");
    ScratchFolder::Put("hidden.tarvo", "Shell.Exec(ARGS[0] + \" out x\"); Shell.Exec(ARGS[0] + \" waitfor release.txt\");");
    // Detached: it must not share this program's console.
    HANDLE hHost = StartProgram(ChildFolder() + "\\tarvow.exe hidden.tarvo " + ChildProgram(), DETACHED_PROCESS).hProcess;
    ASSERT_NE(hHost, nullptr);
    HWND hConsole = nullptr;
    for (int i = 0; i < 600 && !(hConsole && !IsWindowVisible(hConsole)); ++i) {
        Sleep(50);
        hConsole = FindWindowA(nullptr, kHiddenConsoleTitle);
    }
    EXPECT_NE(hConsole, nullptr);
    EXPECT_FALSE(hConsole && IsWindowVisible(hConsole));
    ScratchFolder::Put("release.txt", "");
    EXPECT_EQ(ExitCodeAfter(hHost), 0u);
    // The console went with the host's shutdown.
    for (int i = 0; i < 600 && FindWindowA(nullptr, kHiddenConsoleTitle); ++i) Sleep(50);
    EXPECT_EQ(FindWindowA(nullptr, kHiddenConsoleTitle), nullptr);
}

// Runs last (tests run in the order they are defined): it gives this process a console of
// Shell's making, and shuts the class down.
TEST_F(ShellTest, TheAllocatedConsoleIsTitledHiddenAndFreedAtShutdown) {
    TSH_SKIP_WITHOUT_WINDOWS();
    // A window whose title only begins with the console's is left alone.
    std::string sLonger = std::string(kHiddenConsoleTitle) + " too";
    HWND hOther = CreateWindowA("STATIC", sLonger.c_str(), WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50,
                                nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hOther, nullptr) << GetLastError();
    FreeConsole();
    // The console comes before the arguments are looked at.
    EXPECT_EQ(ErrorOf("Shell.Exec();"), "15 Shell::Exec(): Need one or two parameters.");
    EXPECT_NE(GetConsoleWindow(), nullptr);
    EXPECT_TRUE(KxTshShell::bConsoleAllocated);
    // This thread answers its windows' messages while it waits: the finder reads the title of
    // hOther, a window of this thread, through one.
    auto pump = [](int nMs) {
        for (int i = 0; i < nMs / 10; ++i) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            Sleep(10);
        }
    };
    // The finder notes the window as hidden once ShowWindow has returned, and that waits for the
    // console's own process to hide it: on an X display without a window manager, a second or
    // two (the window is invisible well before).
    for (int i = 0; i < 300 && !KxFindConsoleThread::bConsoleHidden; ++i) pump(100);
    pump(500);  // the rest of the finder's pass over the windows
    EXPECT_TRUE(KxFindConsoleThread::bConsoleHidden);
    HWND hConsole = FindWindowA(nullptr, kHiddenConsoleTitle);
    ASSERT_NE(hConsole, nullptr);
    EXPECT_EQ(hConsole, GetConsoleWindow());
    EXPECT_FALSE(IsWindowVisible(hConsole));
    EXPECT_TRUE(IsWindowVisible(hOther));
    // Later calls make no second console.
    Captured("out y");
    EXPECT_EQ(FindWindowA(nullptr, kHiddenConsoleTitle), hConsole);
    DestroyWindow(hOther);
    KxTshShell::ShutdownClass();
    EXPECT_EQ(GetConsoleWindow(), nullptr);
}

}  // namespace
