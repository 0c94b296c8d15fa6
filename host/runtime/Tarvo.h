#pragma once
// The Tarvo compiler and machine: source text is parsed into a tree of nodes, names resolved
// to local slots or global slots, the tree compiled to chunks of instructions and dropped;
// the chunks run in the machine's one loop.
#include <memory>
#include <vector>

#include "TarvoChunk.h"

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

// Script calls nest at most this deep. Calls of script functions run in the machine's own
// loop, without the C++ stack; a built-in function that calls a script (sort's comparison,
// include) runs the machine again inside itself, so the C++ stack also bounds the depth: a
// call is refused while kStackSpare bytes of the thread's stack are still free, for what runs
// at the deepest level (a method, the collector, the unwinding of a script error).
const int kMaxCallDepth = 1000;
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
extern volatile long gnInterrupted;
inline bool Interrupted() { return gnInterrupted != 0; }

class Interp;

// A variable as the code names it: a local slot of its function, or a global slot.
struct VarRef {
    KxString sName;
    int nLocal = -1;
    KxScGlobalSlot* pSlot = nullptr;
};

struct Function {
    KxString sName;
    int nParams = 0;
    int nLocals = 0;
    std::vector<KxString> vLocalNames;  // by slot, for errors
    int nLine = 0;
    const KxString* psPath = nullptr;
    Chunk chunk;
    KxScDataHandle* phValue = nullptr;  // the function as a value, made when first asked for
};

// One compiled text. It lives until the runtime shuts down: its functions stay callable,
// and the global slots its names point at stay valid (KeepProgram).
struct Program {
    KxString sPath;
    std::vector<std::unique_ptr<Function>> vFunctions;
    Chunk top;
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
