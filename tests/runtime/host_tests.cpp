// tarvo as a user runs it from a shell: exit statuses, a script and lines from standard input,
// texts that include others, where errors point, and a run stopped by Ctrl-Break.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"
#include "host_run.h"

namespace {

class Host : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-host-tests");
        CreateDirectoryA("sub", nullptr);
    }
};

// exit() gives its status once the plug-ins have shut down (the File it left open is
// written); no catch stops it. An uncaught error stays 1, a syntax error 2.
TEST_F(Host, ExitStatusesComeFromTheScript) {
    const std::pair<const char*, const char*> cases[] = {
        {"-e \"f = File.Open(\\\"left.txt\\\", \\\"write\\\"); f.Write(\\\"kept\\\"); exit(3); print(1);\"", "status 3\n"},
        {"-e \"try { exit(); } catch (e) { print(e.code); } print(1);\"", "status 0\n"},
        {"-e \"exit(-1);\"", "status 4294967295\n"},
        {"-e \"exit(\\\"4\\\");\"", "status 1\n-e:1: error 105: exit(): argument 1 must be an integer, not \"4\"\n"},
        {"-e \"x = nil.y;\"", "status 1\n-e:1: error 105: cannot read property 'y' of nil\n"},
        {"-e \"x = ;\"", "status 2\n-e:1:5: syntax error: expected an expression, found ';'\n  x = ;\n      ^\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(RunTarvo(c.first).Text(), c.second) << c.first;
    EXPECT_EQ(ScratchFolder::Get("left.txt"), "kept");
}

// A script named "-", or piped in with no script named, is read from standard input; its
// errors are named "-". readLine() gives the lines of standard input, CR LF or LF, the last
// one without a line end too, then nil.
TEST_F(Host, ScriptsAndLinesFromStandardInput) {
    EXPECT_EQ(RunTarvo("", "print(\"piped \", SCRIPT, \" \", len(ARGS));").Text(), "status 0\npiped - 0\n");
    EXPECT_EQ(RunTarvo("- a b", "print(join(ARGS, \",\")); exit(5);").Text(), "status 5\na,b\n");
    EXPECT_EQ(RunTarvo("-", "print(1);\nprint(2\n").Text(),
              "status 2\n-:2:8: syntax error: expected ')', found end of text\n  print(2\n         ^\n");
    std::string sLines = "-e \"n = 0; l = readLine(); while (l != nil) { n += 1; print(n, \\\"[\\\", l, \\\"]\\\"); l = readLine(); } print(readLine());\"";
    EXPECT_EQ(RunTarvo(sLines, "one\r\ntwo\n\nlast").Text(), "status 0\n1[one]\n2[two]\n3[]\n4[last]\nnil\n");
    EXPECT_EQ(RunTarvo(sLines).Text(), "status 0\nnil\n");
}

// include() runs a text once, found beside the text that includes it; its functions and
// globals are the script's. A circle and a missing text are errors 111; a syntax error in an
// included text names that text and ends the run as a syntax error does.
TEST_F(Host, IncludedTextsRunOnceFromTheirFolder) {
    ScratchFolder::Put("sub\\main.tarvo",
                       "runs = 0; include(\"lib.tarvo\"); include(\"lib.tarvo\"); include(\"..\\\\sub\\\\LIB.tarvo\");\n"
                       "print(twice(BASE), \" \", runs);\n"
                       "try { include(\"a.tarvo\"); } catch (e) { print(e.code, \" \", e.text); }\n"
                       "try { include(\"none.tarvo\"); } catch (e) { print(e.code, \" \", sub(e.text, 0, 37)); }\n"
                       "include(\"bad.tarvo\"); print(\"not here\");\n");
    ScratchFolder::Put("sub\\lib.tarvo", "include(\"../shared.tarvo\"); runs += 1;\n"
                                         "function twice(x) { return x * 2; }\n");
    ScratchFolder::Put("shared.tarvo", "BASE = 21;\n");
    ScratchFolder::Put("sub\\a.tarvo", "include(\"b.tarvo\");\n");
    ScratchFolder::Put("sub\\b.tarvo", "include(\"a.tarvo\");\n");
    ScratchFolder::Put("sub\\bad.tarvo", "x = 1;\ny = (2;\n");
    EXPECT_EQ(RunTarvo("sub\\main.tarvo").Text(),
              "status 2\n42 1\n111 include(): sub\\a.tarvo includes itself, through the texts it includes\n"
              "111 include(): cannot read sub\\none.tarvo\n"
              "sub\\bad.tarvo:2:7: syntax error: expected ')', found ';'\n  y = (2;\n        ^\n");
}

// include() knows a text by the file it is: from the folder its includer was read from, after
// the current folder changed; the running script itself, included, is a circle (its
// statements do not run twice); and names that differ only in the case of letters beyond A to
// Z, which name one file, run it once.
TEST_F(Host, IncludeKnowsATextByItsFile) {
    CreateDirectoryA("other", nullptr);
    CreateDirectoryA("other\\sub", nullptr);
    ScratchFolder::Put("sub\\moves.tarvo", "Shell.Chdir(\"other\"); include(\"x.tarvo\"); print(Shell.GetCurrentDir() != nil);\n");
    ScratchFolder::Put("sub\\x.tarvo", "print(\"beside\");\n");
    ScratchFolder::Put("other\\sub\\x.tarvo", "print(\"elsewhere\");\n");
    EXPECT_EQ(RunTarvo("sub\\moves.tarvo").Text(), "status 0\nbeside\n1\n");
    ScratchFolder::Put("self.tarvo", "print(\"runs\"); try { include(\"SELF.tarvo\"); } catch (e) { print(e.code); }\n");
    EXPECT_EQ(RunTarvo("self.tarvo").Text(), "status 0\nruns\n111\n");
    // Été, été and ÉTÉ: the host names files in UTF-8.
    HANDLE h = CreateFileW(L"\u00c9t\u00e9.tarvo", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD dw = 0;
    WriteFile(h, "n += 1;\r\n", 9, &dw, nullptr);
    CloseHandle(h);
    ScratchFolder::Put("cases.tarvo", "n = 0; include(\"\xc3\x89t\xc3\xa9.tarvo\"); include(\"\xc3\xa9t\xc3\xa9.tarvo\");"
                                      " include(\"\xc3\x89T\xc3\x89.tarvo\"); print(n);\n");
    EXPECT_EQ(RunTarvo("cases.tarvo").Text(), "status 0\n1\n");
}

// An uncaught error shows the calls it was raised in, innermost first, up to 20 lines; the
// same chain is the error's calls, and its file is where it was raised.
TEST_F(Host, UncaughtErrorsShowTheirCalls) {
    ScratchFolder::Put("calls.tarvo",
                       "function inner(x) { return 1 / x; }\n"
                       "function outer(x) {\n  return inner(x) + 1;\n}\n"
                       "try { outer(0); } catch (e) { print(e.file, \" \", e.line, \" \", join(e.calls, \"; \")); }\n"
                       "function down(n) { if (n == 0) { return nil.x; } return step(n); }\n"
                       "function step(n) { return down(n - 1); }\n"
                       "outer(0);\n");
    EXPECT_EQ(RunTarvo("calls.tarvo").Text(),
              "status 1\ncalls.tarvo 1 in inner, calls.tarvo:1; in outer, calls.tarvo:3; in top level, calls.tarvo:5\n"
              "calls.tarvo:1: error 107: division by zero\n  in inner, calls.tarvo:1\n  in outer, calls.tarvo:3\n"
              "  in top level, calls.tarvo:8\n");
    ScratchFolder::Put("deep-calls.tarvo",
                       "function down(n) { if (n == 0) { return nil.x; } return step(n); }\n"
                       "function step(n) { return down(n - 1); }\n"
                       "down(30);\n");
    std::string sWant = "status 1\ndeep-calls.tarvo:1: error 105: cannot read property 'x' of nil\n";
    for (int i = 0; i < 19; ++i) sWant += i % 2 ? "  in step, deep-calls.tarvo:2\n" : "  in down, deep-calls.tarvo:1\n";
    EXPECT_EQ(RunTarvo("deep-calls.tarvo").Text(), sWant + "  ... 43 more calls\n");
}

// Ctrl-Break (as Ctrl-C and the console's closing) stops the script at its next statement:
// the plug-ins shut down as at the end of a run, so the program a Process started ends and
// the File is written, and the status is STATUS_CONTROL_C_EXIT.
TEST_F(Host, CtrlBreakStopsTheScriptAndShutsDown) {
    DeleteFileA("ready.txt");
    std::string sChild;
    for (char c : ChildProgram()) sChild += c == '\\' ? "\\\\" : std::string(1, c);
    ScratchFolder::Put("loop.tarvo",
                       "p = Process.Start(\"\\\"" + sChild + "\\\" pid pause 120000\");\n"
                       "f = File.Open(\"stopped.txt\", \"write\"); f.Write(\"buffered\");\n"
                       "r = File.Open(\"ready.txt\", \"write\"); r.WriteLn(p.ReadErrLn()); r.Close();\n"
                       "while (1) { }\n");
    // The event goes to the processes of a console: the host shares this program's.
    FreeConsole();
    BOOL bConsole = AllocConsole();
    PROCESS_INFORMATION pi = StartTarvo("loop.tarvo", nullptr, CREATE_NEW_PROCESS_GROUP);
    struct EndAnyway {  // whatever fails, nothing is left running
        HANDLE h;
        ~EndAnyway() { TerminateProcess(h, 1); }
    } end{pi.hProcess};
    std::string sReady;
    for (int i = 0; i < 600 && (sReady = ScratchFolder::Get("ready.txt")).find("\r\n") == std::string::npos; ++i) Sleep(100);
    ASSERT_NE(sReady.find("pid "), std::string::npos) << "the script did not start its program: " << HostOutput();
    DWORD dwChild = std::stoul(sReady.substr(4));
    HANDLE hChild = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, dwChild);
    ASSERT_NE(hChild, nullptr) << "error " << GetLastError();
    // The Wine of the test prefixes (8.0) cannot send the event to another process of the
    // console (measured: AllocConsole succeeds, GenerateConsoleCtrlEvent then fails with
    // error 6, and with error 12 without a console of its own).
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId))
        GTEST_SKIP() << "this system sends no console control event (error " << GetLastError()
                     << ", a console of our own: " << bConsole << ")";
    DWORD dwStatus = 999;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &dwStatus);
    EXPECT_EQ(dwStatus, 0xC000013Au) << HostOutput();
    EXPECT_EQ(WaitForSingleObject(hChild, 10000), WAIT_OBJECT_0) << "the Process's program still runs";
    TerminateProcess(hChild, 1);
    CloseHandle(hChild);
    EXPECT_EQ(ScratchFolder::Get("stopped.txt"), "buffered");
}

// What a console control handler does, from another thread: the run going on stops at its
// next statement, or the next round of a loop, whatever the loop holds; the next run is not
// stopped by it.
DWORD WINAPI InterruptSoon(void*) {
    Sleep(100);
    KxTarvo::Interrupt();
    return 0;
}

TEST(HostInterrupt, AnotherThreadStopsTheRunAtItsNextStatement) {
    KxTarvo::Startup();
    // An empty loop, and counting loops whose test and step are one instruction each.
    for (const char* pszLoop : {"while (1) { }", "i = 0; while (i >= 0) { i += 0; }", "for (i = 0; i < 1; i = i + 0) { }"}) {
        HANDLE hThread = CreateThread(nullptr, 0, InterruptSoon, nullptr, 0, nullptr);
        EXPECT_EQ(KxTarvo::RunSource(pszLoop, "loop"), KxTarvo::RUN_INTERRUPTED) << pszLoop;
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
    }
    EXPECT_EQ(KxTarvo::RunSource("for (;;) { try { break; } catch (e) { } }", "after"), KxTarvo::RUN_OK);
    KxTarvo::Shutdown();
}

}  // namespace

// A number the host made fixed stays what it is, whatever form of store a script tries: here
// one of 64 bits, which its handle's object holds, and which nothing else refers to.
TEST(HostGlobals, AFixedNumberRefusesEveryStore) {
    KxTarvo::Startup();
    ASSERT_EQ(KxTarvo::RunSource("BIG = 5000000000;", "make"), KxTarvo::RUN_OK);
    KxScDataHandle* ph = nullptr;
    ASSERT_TRUE(KxScVmEnv::GetGlobalVariable("BIG", &ph));
    ph->AddRef();
    ph->wFlags |= HF_FIXED;
    ASSERT_TRUE(KxScVmEnv::SetGlobalVariable("FIXED", ph, true, false));
    ASSERT_EQ(KxTarvo::RunSource("BIG = nil;", "drop"), KxTarvo::RUN_OK);
    for (const char* pszStore : {"FIXED += 1;", "FIXED = FIXED + 2;", "FIXED = 3;", "i = 1; FIXED += i;"})
        EXPECT_EQ(KxTarvo::RunSource(pszStore, "store"), KxTarvo::RUN_UNCAUGHT) << pszStore;
    EXPECT_EQ(KxTarvo::RunSource("if (FIXED != 5000000000) { x = nil.changed; }", "check"), KxTarvo::RUN_OK);
    KxTarvo::Shutdown();
}

namespace {
// The global's value as the host reads it: its handle's short text, "int " before it when the
// handle is the contract's integer, "unset" when the global has none.
std::string GlobalText(const char* pszName) {
    KxScDataHandle* ph = nullptr;
    if (!KxScVmEnv::GetGlobalVariable(pszName, &ph)) return "unset";
    KxString s;
    ph->InfoShort(&s);
    return (ph->wFlags == HF_INTEGER ? "int " : "") + std::string(s.IsNull() ? "" : static_cast<const char*>(s));
}

// Runs the text, then reads each global as the host would: {name, GlobalText} pairs.
void ExpectGlobalsAfter(const char* pszText, std::initializer_list<std::pair<const char*, const char*>> expected) {
    ASSERT_EQ(KxTarvo::RunSource(pszText, "globals"), KxTarvo::RUN_OK) << pszText;
    for (const auto& e : expected) EXPECT_EQ(GlobalText(e.first), e.second) << e.first << " after " << pszText;
}
}  // namespace

// However the runtime keeps the numbers a script stores, the host that asks for a global gets a
// handle of its value, a contract integer when it fits 32 bits; a script's later stores are
// what it sees when it asks again, and a global it clears or sets is the script's too.
TEST(HostGlobals, TheHostSeesWhatAScriptStored) {
    KxTarvo::Startup();
    ExpectGlobalsAfter("I = -7; B = 5000000000; F = 2.5; i = 0; while (i < 10) { i += 1; F += 1; }",
                       {{"I", "int -7"}, {"B", "5000000000"}, {"F", "12.5"}, {"i", "int 10"}});
    ExpectGlobalsAfter("I = I + 1; B += 1; F = \"text\"; S = 1; S = \"s\"; i = 3000000000; i -= 2999999998;",
                       {{"I", "int -6"}, {"B", "5000000001"}, {"F", "text"}, {"S", "s"}, {"i", "int 2"}});
    ASSERT_EQ(KxTarvo::RunSource("J = 4; K = 1.5;", "more"), KxTarvo::RUN_OK);
    KxScDataHandle* ph = KxScDataHandle::CreateData(9);
    EXPECT_FALSE(KxScVmEnv::SetGlobalVariable("J", ph, false, true)) << "only if new";
    EXPECT_TRUE(KxScVmEnv::SetGlobalVariable("K", ph, false, false));
    ph->Drop();
    EXPECT_TRUE(KxScVmEnv::ClearGlobalVariable("J", true));
    EXPECT_EQ(GlobalText("J"), "unset");
    EXPECT_EQ(KxTarvo::RunSource("x = J;", "cleared"), KxTarvo::RUN_UNCAUGHT);
    EXPECT_EQ(KxTarvo::RunSource("if (K != 9) { x = nil.changed; }", "set"), KxTarvo::RUN_OK);
    KxTarvo::Shutdown();
}
