#pragma once
// The Tarvo compiler and interpreter: source text is parsed once into a tree of nodes, names
// resolved to local slots or global slots, then the tree is run.
#include <memory>
#include <vector>

#include "TarvoValue.h"

namespace tarvo {

// Errors the runtime raises itself. Property errors carry the object's own error code.
enum ErrorCode {
    ERR_UNKNOWN_VARIABLE = 101,
    ERR_UNKNOWN_FUNCTION = 102,
    ERR_NOT_A_METHOD = 103,
    ERR_ARGUMENTS = 104,
    ERR_TYPE = 105,
    ERR_INDEX = 106,
    ERR_DIVISION_BY_ZERO = 107,
    ERR_FIXED = 108,
    ERR_TOO_DEEP = 109,
    ERR_WRONG_CLASS = 110,
    ERR_INCLUDE = 111,
    ERR_OVERFLOW = 112,  // an integer result past 64 bits
    ERR_TOO_LONG = 120,  // from 120 on: limits of what a script may hold
    ERR_NO_MEMORY = 121,
};

// The interpreter's recursion budget, in levels of nested evaluation (see Interp::Deeper).
// One level is one counted frame plus the uncounted frames up to the next one; -fstack-usage
// gives at most 416 bytes for that on x86_64 (a block and a property assignment) and 272 on
// i686, so 1 KiB per level leaves room. Scripts run on the thread that asks for them, whose
// stack the runtime does not choose: evaluation also stops while kStackSpare bytes of that
// stack are still free, for what runs at the deepest level (a method, the collector, the
// unwinding of a script error). tarvo reserves a stack for the whole budget.
const int kMaxEvalLevels = 25000;
const unsigned kBytesPerLevel = 1024;
const unsigned kStackSpare = 512 * 1024;

// A script exception on its way to a catch or to the host.
struct ScriptError {
    int nCode;
    KxString sText;
    int nLine;
    const KxString* psPath;  // the text it was raised in (compiled texts live until shutdown)
    // The calls it was raised in, innermost first: "in f, PATH:LINE", the last one
    // "in top level, PATH:LINE".
    std::vector<KxString> vCalls;
};

// A syntax error: nothing of the text runs. Compile fills in the path, the column (from 1, in
// bytes) and the text of the line.
struct SyntaxError {
    int nLine;
    KxString sMessage;
    const char* pAt = nullptr;  // where in the text (Compile makes the column of it)
    int nCol = 0;
    KxString sPath = NULL_STRING;
    KxString sLineText = NULL_STRING;
};

// exit(): the run ends with this status. No catch stops it.
struct ScriptExit {
    int nStatus;
};

// The host asked the run to stop (Ctrl-C): it ends at the next statement. No catch stops it.
struct ScriptInterrupt {};
// Asks the run going on to stop at its next statement; any thread may call it.
void Interrupt();
void ClearInterrupt();

class Interp;

enum class Flow { NORMAL, BREAK, CONTINUE, RETURN };

struct Expr {
    explicit Expr(int nLine) : nLine(nLine) {}
    virtual ~Expr() = default;
    virtual Value Eval(Interp& in) = 0;
    int nLine;
};
typedef std::unique_ptr<Expr> ExprPtr;

struct Stmt {
    explicit Stmt(int nLine) : nLine(nLine) {}
    virtual ~Stmt() = default;
    virtual Flow Exec(Interp& in) = 0;
    int nLine;
};
typedef std::unique_ptr<Stmt> StmtPtr;

// A variable as the code names it: a local slot of its function, or a global slot.
struct VarRef {
    KxString sName;
    int nLocal = -1;
    KxScGlobalSlot* pSlot = nullptr;
};

struct Block {
    std::vector<StmtPtr> vStmts;
    Flow Exec(Interp& in);
};

struct Function {
    KxString sName;
    int nParams = 0;
    int nLocals = 0;
    int nLine = 0;
    const KxString* psPath = nullptr;
    Block body;
    KxScDataHandle* phValue = nullptr;  // the function as a value, made when first asked for
};

// One compiled text. It lives until the runtime shuts down: its functions stay callable,
// and the global slots its names point at stay valid (KeepProgram).
struct Program {
    KxString sPath;
    std::vector<std::unique_ptr<Function>> vFunctions;
    Block top;
    // Texts kept by the program (string literals), one reference each.
    std::vector<KxScDataHandle*> vConstants;
    ~Program();
};

// Parses sSource; throws SyntaxError. A UTF-8 byte order mark at the start is skipped.
std::unique_ptr<Program> Compile(const KxString& sSource, const KxString& sPath);
// Keeps a compiled program until shutdown and defines its functions.
Program& KeepProgram(std::unique_ptr<Program> program);
// Reads a whole file; false with the system's error code when it cannot.
bool ReadSource(const KxString& sPath, KxString* psSource, unsigned long* pdwError);

// The calling thread's script environment, made on first use.
KxScVmEnv* EnvOfThisThread();

// Runs the top level of a compiled program; throws ScriptError when it ends uncaught,
// ScriptExit or ScriptInterrupt when it ends so, SyntaxError for a text it includes.
void Run(Program& program);

// Functions of every program run so far, by name (a later definition wins).
void DefineFunctions(Program& program);
void ForgetFunctions();

}  // namespace tarvo
