// Scripts that nest deeply, run by tarvo.exe as a user runs them: each one runs, or ends with
// a script error or a syntax error, and the host still shuts down cleanly (its File flushed,
// nothing left alive).
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "host_run.h"

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
    // status and what the host wrote on both outputs. Unless the text was refused (status 2),
    // the line must be in the file.
    static std::string Run(const std::string& sStatements) {
        DeleteFileA("kept.txt");
        ScratchFolder::Put("deep.tarvo",
                           "f = File.Open(\"kept.txt\", \"write\"); f.WriteLn(\"kept\");\n" + sStatements);
        HostRun run = RunTarvo("--stats deep.tarvo");
        if (run.dwStatus != 2) {
            EXPECT_EQ(ScratchFolder::Get("kept.txt"), "kept\r\n") << "the File was not flushed";
        }
        return run.Text();
    }
};

// Each text (after the line that opens the File), and the status and output it must give.
TEST_F(DeepScripts, LongChainsAndRecursionRunOrEndWithAnError) {
    std::string sElseIfs = "x = 150; if (x == 0) { r = 0; }";
    for (int i = 1; i < 200; ++i) sElseIfs += " else if (x == " + std::to_string(i) + ") { r = " + std::to_string(i) + "; }";
    const std::pair<std::string, std::string> cases[] = {
        {"print(1" + Repeat(" + 1", 99999) + ");", "status 0\n100000\n"},
        {"print(\"q\"" + Repeat("[0]", 100000) + ");", "status 0\nq\n"},
        {"x = nil" + Repeat(".a", 100000) + ";", "status 1\ndeep.tarvo:2: error 105: cannot read property 'a' of nil\n"},
        {"print(0 || 0" + Repeat(" && 1 || 0", 50000) + ");", "status 0\n0\n"},
        {sElseIfs + " else { r = -1; } print(r);", "status 0\n150\n"},
        // Under the call limit, a hundred terms a call.
        {"function f(n) { if (n == 0) { return 0; } return f(n - 1)" + Repeat(" + 1", 100) + "; } print(f(998));",
         "status 0\n99800\n"},
        // Under the call limit too, each call nesting 150 operators: they cost no stack of their own.
        {"function g(n) { if (n == 0) { return 0; } return" + Repeat(" -", 150) + " g(n - 1); } print(g(998));",
         "status 0\n0\n"},
        // Past the call limit.
        {"function h(n) { return h(n + 1); } h(0);",
         "status 1\ndeep.tarvo:2: error 109: calls nested too deeply\n  in h, deep.tarvo:2 (and 999 more times)\n"
         "  in top level, deep.tarvo:2\n"},
        // A text nested deeper than the parser allows (200 levels) is refused before it runs.
        // (Of the long line, the part around the column.)
        {"x = " + Repeat("(", 100000) + "1" + Repeat(")", 100000) + ";",
         "status 2\ndeep.tarvo:2:205: syntax error: text nested too deeply\n  ..." + Repeat("(", 120) +
             "...\n     " + Repeat(" ", 60) + "^\n"},
        {"x = " + Repeat("[", 300) + Repeat("]", 300) + ";",
         "status 2\ndeep.tarvo:2:205: syntax error: text nested too deeply\n  ..." + Repeat("[", 120) +
             "...\n     " + Repeat(" ", 60) + "^\n"},
        // Long literals nest nothing; lists nested as deep as the parser allows still print.
        {"print(len([0" + Repeat(", 0", 99999) + "]), len({0: 0" + Repeat(", 1: 1", 9999) + "}));",
         "status 0\n1000002\n"},
        {"x = " + Repeat("[", 60) + Repeat("]", 60) + "; n = 0; while (len(x) > 0) { x = x[0]; n += 1; } print(n);",
         "status 0\n59\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(Run(c.first), c.second + "stats: 0 live handles, 0 live objects\n");
}

// Mistakes with the statements and literals of lists and maps, and words of other languages:
// the message points at the place, and says what to write.
TEST_F(DeepScripts, SyntaxMistakesPointAndSayWhatToWrite) {
    const struct {
        const char* pszText;
        int nCol;
        const char* pszMessage;
    } cases[] = {
        {"x = 1; x++;", 9, "'++' is not an operator here: write 'x += 1'"},
        {"m = {\"a\" 1};", 10, "expected ':' between a key and its value, found '1'"},
        {"f() = 1;", 1, "only a variable, a property, a list item or a map entry can be assigned"},
        {"for (i = 0; i < 3) { }", 18, "expected ';' after the loop's condition, found ')'"},
        {"for (x of [1]) { }", 8, "write 'for (x in list)'"},
        {"x = 1 ? 2;", 10, "expected ':' of 'condition ? value : other value', found ';'"},
        {"function sort(l) { return l; }", 10, "'sort' is a built-in function"},
        {"x = 1 print(x);", 6, "expected ';' at the end of the statement, found 'print'"},
        {"a = b = 1;", 7, "an assignment is not a value: assign one variable at a time"},
        {"if (1 === 1) { }", 7, "'===' is not an operator here: write '=='"},
        {"var x = 1;", 1, "'var' is not a statement: variables need no declaration: write 'NAME = value;'"},
        {"x = 'a';", 5, "strings are written in double quotes: \"text\""},
        {"if (1) print(1);", 8, "expected '{' (a body is a block, even of one statement: { ... }), found 'print'"},
        {"x = 99999999999999999999;", 5, "number too large: an integer holds 64 bits (write a float, 1e20, for more)"},
        {"x = 1 + 9223372036854775808;", 9, "number too large: an integer holds 64 bits (-9223372036854775808 is the least)"},
        {"x = 0x1FFFFFFFFFFFFFFFF;", 5, "number too large: an integer holds 64 bits"},
        {"x = 1.5e;", 8, "malformed number"},
        {"global x;", 9, "expected '=', found ';': a global is made with its value, as in 'global x = nil;'"},
        {"while (1) { x = 1;", 19, "expected '}' to close the '{' of line 2, found end of text"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Run(c.pszText), "status 2\ndeep.tarvo:2:" + std::to_string(c.nCol) + ": syntax error: " + c.pszMessage +
                                      "\n  " + c.pszText + "\n  " + std::string(c.nCol - 1, ' ') +
                                      "^\nstats: 0 live handles, 0 live objects\n")
            << c.pszText;
    // The column counts bytes; the caret is placed by what a terminal shows: one place a
    // character, two for a wide East Asian one.
    EXPECT_EQ(Run("s = \"\xE6\x97\xA5\xE6\x9C\xAC\xC3\xA9\" x;"),
              "status 2\ndeep.tarvo:2:15: syntax error: expected ';' at the end of the statement, found 'x'\n"
              "  s = \"\xE6\x97\xA5\xE6\x9C\xAC\xC3\xA9\" x;\n" + std::string(2 + 11, ' ') + "^\nstats: 0 live handles, 0 live objects\n");
}

}  // namespace
