#pragma once
#include "KxScRuntimeApi.h"
#include "KxString.h"

// What a host program calls on the runtime: start it, run Tarvo text, stop it.
// Errors in the text are reported on standard error:
//   PATH:LINE:COL: syntax error: MESSAGE    nothing of the text has run (or of a text it
//     the line, and a caret under COL       included, which PATH then names)
//   PATH:LINE: error CODE: TEXT             an uncaught script exception stopped it; when it
//     in f, PATH:LINE                       was raised in a function, the calls follow,
//     in top level, PATH:LINE               innermost first
// Running text, or defining the script's arguments, needs a started runtime: before Startup
// or after Shutdown the call does nothing but report
//   tarvo: KxTarvo::CALL called while the runtime is not started (call KxTarvo::Startup first)
// and a run gives RUN_NOT_STARTED.
namespace KxTarvo {

enum { RUN_OK = 0, RUN_UNCAUGHT = 1, RUN_SYNTAX = 2, RUN_NOT_STARTED = 3, RUN_EXITED = 4, RUN_INTERRUPTED = 5 };

// Creates the root exemplar, the console, the list type and the calling thread's environment.
// Startup again after Shutdown starts a fresh runtime.
KXRT_API void Startup();
// Drops every global and compiled text, collects the garbage and frees what Startup made.
KXRT_API void Shutdown();

// Compiles sSource (named sPath in messages), then runs it in the global environment.
// Its functions stay callable by texts run later. The text runs on the calling thread, as deep
// as that thread's stack allows (a host that wants the whole depth budget reserves a stack of
// 32 MiB for it, as tarvo does); methods it calls raise their exceptions in that thread's
// environment.
KXRT_API int RunSource(const KxString& sSource, const KxString& sPath);
// Reads the file and runs it; a file that cannot be read is reported and gives RUN_SYNTAX.
// The path "-" reads the text from standard input, to its end.
KXRT_API int RunFile(const KxString& sPath);
// A run that gave RUN_EXITED called exit(): the status it gave.
KXRT_API int ExitStatus();
// Asks the run going on to stop at its next statement (a readLine() waiting for input stops
// at once), which then gives RUN_INTERRUPTED. Any thread may call it (a console control
// handler, for one).
KXRT_API void Interrupt();

// Defines SCRIPT (the script's path) and ARGS (a list of the argument strings).
KXRT_API void SetScriptArgs(const KxString& sScript, int nArgs, char** ppszArgs);

// When on, each text handed to the compiler component is echoed as "compile: TEXT".
KXRT_API void SetCompileTrace(bool bOn);
KXRT_API bool CompileTrace();

// Handles not yet freed (objects: KxScData::LiveObjects).
KXRT_API int LiveHandles();

// Writes text on standard error, as it is.
KXRT_API void PrintError(const KxString& sText);

}  // namespace KxTarvo
