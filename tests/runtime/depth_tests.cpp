// Scripts that nest deeply, run by tarvo.exe as a user runs them: each one runs, or ends with
// a script error or a syntax error, and the host still shuts down cleanly (its File flushed,
// nothing left alive).
#include <gtest/gtest.h>

#include <string>

#include "../plugin/child_program.h"
#include "../plugin/scratch_folder.h"

namespace {

std::string Repeat(const std::string& s, int n) {
    std::string sAll;
    for (int i = 0; i < n; ++i) sAll += s;
    return sAll;
}

class DeepScripts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { static ScratchFolder folder("tsh-depth-tests"); }

    // Runs the statements after opening kept.txt and writing a line to it; gives the exit
    // status and what the host wrote on both outputs, CRs removed. Unless the text was refused
    // (status 2), the line must be in the file.
    static std::string Run(const std::string& sStatements) {
        DeleteFileA("kept.txt");
        ScratchFolder::Put("deep.tarvo",
                           "f = File.Open(\"kept.txt\", \"write\"); f.WriteLn(\"kept\");\n" + sStatements);
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE hOut = CreateFileA("out.txt", GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
        std::string sLine = "\"" + ChildFolder() + "\\tarvo.exe\" --stats deep.tarvo";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = hOut;
        PROCESS_INFORMATION pi = {};
        DWORD dwExit = 999;
        if (CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, INFINITE);
            GetExitCodeProcess(pi.hProcess, &dwExit);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        CloseHandle(hOut);
        std::string sOut;
        for (char c : ScratchFolder::Get("out.txt"))
            if (c != '\r') sOut += c;
        if (dwExit != 2) {
            EXPECT_EQ(ScratchFolder::Get("kept.txt"), "kept\r\n") << "the File was not flushed";
        }
        return "status " + std::to_string(dwExit) + "\n" + sOut;
    }
};

const char kClean[] = "stats: 0 live handles, 0 live objects\n";

TEST_F(DeepScripts, LongChainsRun) {
    EXPECT_EQ(Run("print(1" + Repeat(" + 1", 99999) + ");"), std::string("status 0\n100000\n") + kClean);
    EXPECT_EQ(Run("print(\"q\"" + Repeat("[0]", 100000) + ");"), std::string("status 0\nq\n") + kClean);
    EXPECT_EQ(Run("x = nil" + Repeat(".a", 100000) + ";"),
              std::string("status 1\ndeep.tarvo:2: error 105: cannot read property 'a' of nil\n") + kClean);
    EXPECT_EQ(Run("print(0 || 0" + Repeat(" && 1 || 0", 50000) + ");"), std::string("status 0\n0\n") + kClean);
}

TEST_F(DeepScripts, LongElseIfChainsAreAccepted) {
    std::string s = "x = 150; if (x == 0) { r = 0; }";
    for (int i = 1; i < 200; ++i) s += " else if (x == " + std::to_string(i) + ") { r = " + std::to_string(i) + "; }";
    EXPECT_EQ(Run(s + " else { r = -1; } print(r);"), std::string("status 0\n150\n") + kClean);
}

TEST_F(DeepScripts, RecursionRunsUntilABudgetEndsIt) {
    // Under the call limit, a hundred terms a call.
    EXPECT_EQ(Run("function f(n) { if (n == 0) { return 0; } return f(n - 1)" + Repeat(" + 1", 100) +
                  "; } print(f(998));"),
              std::string("status 0\n99800\n") + kClean);
    // Under the call limit too, but each call nests 150 operators: the evaluation budget ends it.
    EXPECT_EQ(Run("function g(n) { if (n == 0) { return 0; } return" + Repeat(" -", 150) +
                  " g(n - 1); } print(g(998));"),
              std::string("status 1\ndeep.tarvo:2: error 109: evaluation nested too deeply\n") + kClean);
    // A text nested deeper than the parser allows is refused before it runs.
    EXPECT_EQ(Run("x = " + Repeat("(", 100000) + "1" + Repeat(")", 100000) + ";"),
              std::string("status 2\ndeep.tarvo:2: syntax error: text nested too deeply\n") + kClean);
}

}  // namespace
