#pragma once
#include <windows.h>

#include "KxPipe.h"
#include "KxPipeReader.h"
#include "KxProcessTree.h"
#include "KxTshClass.h"

// Process: a program started with its standard input, output and error on pipes of its own.
// Process.Run(commandLine [, timeoutMs [, folder [, environment]]]) runs it to its end and
// gives the ended object: exitCode, output, errors, timedOut, id, outputEnded, errorsEnded.
// Process.Start(commandLine [, folder [, environment]]) gives the running object: Wait,
// ReadLn / ReadErrLn and Read / ReadErr (with a time), WaitFor, Write / CloseInput, Kill (the
// whole tree).
// Both streams are read all the time; dropping a running object ends its tree.
// Process.List() and Process.EndTree(id) reach every process of the system.
class KxTshProcess : public KxTshClass<KxTshProcess> {
public:
    KxTshProcess();
    explicit KxTshProcess(ClassObjectTag);
    ~KxTshProcess() override;

    KxScDataHandle* Run(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Start(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Wait(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* ReadLn(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* ReadErrLn(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Read(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* ReadErr(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* WaitFor(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Write(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* CloseInput(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Kill(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* TreeMode(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* List(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* EndTree(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);

    bool GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue);

    static const KxTshClassDef kDef;

private:
    // A new object running the program, or null with the error raised. pEnvironment: the
    // program's environment block (dwEnvironment: CREATE_UNICODE_ENVIRONMENT for one in
    // UTF-16, else 0), or null for the host's.
    static KxScDataHandle* Launched(const char* pszMethod, const KxString& sCommand, const KxString& sFolder,
                                    const void* pEnvironment, DWORD dwEnvironment);
    // Starts the program suspended, its tree and streams set up, then lets it run; false
    // (with the error raised) when it could not be started.
    bool Launch(const char* pszMethod, const KxString& sCommand, const KxString& sFolder, const void* pEnvironment,
                DWORD dwEnvironment);
    bool HasEnded();
    // Ends the tree and waits a bounded time for the program and its streams to end.
    void EndOwnTree();
    // The next line (bLine) or everything that arrived, as ReadLn and Read give it.
    KxScDataHandle* Next(KxPipeReader::Stream stream, bool bLine, int nArgs, KxScDataHandle** pphArgs);

    HANDLE hProcess = nullptr;
    KxPipe input;  // our end of the program's input (its own end closed once started)
    DWORD dwProcessId = 0;
    bool bTimedOut = false;
    KxProcessTree tree;
    KxPipeReader streams;
};

KXTSH_DECLARE_STATICS(KxTshProcess);
