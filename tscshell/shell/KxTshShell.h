#pragma once
#include <windows.h>

#include "KxTshClass.h"

class KxTshFile;

// Shell: runs programs and reaches the host process's current directory and environment.
// Exec(commandLine [, File | waitFlag]) waits for the program and captures what it writes to
// standard output and standard error, into the File or onto the console; with a wait flag
// other than SH_EXEC_WAIT it starts the program detached. The first Exec gives a host without
// a console one of its own, titled "Tarvo Hidden Console" and hidden at once.
class KxTshShell : public KxTshClass<KxTshShell> {
public:
    KxTshShell();
    explicit KxTshShell(ClassObjectTag);

    KxScDataHandle* Exec(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Chdir(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Setenv(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* Getenv(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);
    KxScDataHandle* GetCurrentDir(KxScDataHandle*, int, KxScDataHandle**);
    KxScDataHandle* Sleep(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs);

    // Drains the pipe until the program and everything that inherited its write end are done,
    // delivering the output as it comes; false when a part of it could not be delivered for
    // want of memory.
    bool PumpOutput(HANDLE hReadEnd, HANDLE hWriteEnd, KxTshFile* pFile);

    // The console goes before the class is withdrawn; it is freed on every shutdown call.
    static void ShutdownClass();

    static const KxTshClassDef kDef;
    static bool bConsoleAllocated;

private:
    static void AllocateHiddenConsole();
    KxScDataHandle* RunAndCapture(const KxString& sCommand, KxTshFile* pFile);
};

KXTSH_DECLARE_STATICS(KxTshShell);
