#pragma once
#include <windows.h>

#include "KxPipeReader.h"
#include "KxProcessTree.h"
#include "KxTshClass.h"

// Process: a program started with its standard input, output and error on pipes of its own.
// Process.Run(commandLine [, timeoutMs [, folder]]) runs it to its end and gives the ended
// object: exitCode, output, errors, timedOut, id. Process.Start(commandLine [, folder]) gives
// the running object: Wait, ReadLn / ReadErrLn, Write / CloseInput, Kill (the whole tree).
// Both streams are read all the time; dropping a running object ends its tree.
class KxTshProcess : public KxTshClass<KxTshProcess> {
public:
    KxTshProcess();
    explicit KxTshProcess(ClassObjectTag);
    ~KxTshProcess() override;

    KxScDataHandle* Run(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Start(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Wait(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* ReadLn(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* ReadErrLn(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Write(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* CloseInput(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Kill(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* TreeMode(KxScDataHandle*, int, KxScDataHandle**);

    bool GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue);

    static const KxTshClassDef kDef;

private:
    // A new object running the program, or null with the error raised.
    static KxScDataHandle* Launched(const char* pszMethod, const KxString& sCommand, const KxString& sFolder);
    // Starts the program suspended, its tree and streams set up, then lets it run; false
    // (with the error raised) when it could not be started.
    bool Launch(const char* pszMethod, const KxString& sCommand, const KxString& sFolder);
    bool HasEnded();
    // Ends the tree and waits a bounded time for the program and its streams to end.
    void EndTree();
    KxScDataHandle* NextLine(KxPipeReader::Stream stream);

    HANDLE hProcess = nullptr;
    HANDLE hInput = nullptr;
    DWORD dwProcessId = 0;
    bool bTimedOut = false;
    KxProcessTree tree;
    KxPipeReader streams;
};

KXTSH_DECLARE_STATICS(KxTshProcess);
