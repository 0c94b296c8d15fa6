// spawn_loop [COUNT]: COUNT (200) starts in a row of a program that exits at once (this one),
// with CreateProcessA alone and a wait for each, none of our code: counts the starts the
// system refused, by error. Run several at once, beside other load, to see whether the
// system refuses starts now and then: Wine's error 1359, an internal error, comes about once
// in 3,000 starts, after Wine's own "failed to map the shared user data" (seen with
// WINEDEBUG=err+virtual): the new process ends in Wine's set-up, before its program runs.
// spawn_loop batch [COUNT]: COUNT (1400) starts of a program that waits (this one), as the
// host starts programs: suspended, its three streams on named pipes (ours overlapped, each
// output read by a thread of its own), put in a job of its own that ends it when closed, then
// let run; after every 64 the 64 jobs are ended at once, and the next starts follow while
// they go (as a collection of dropped programs does). Counts the refusals likewise.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void Self(char* pszLine, size_t nSize, const char* pszVerb) {
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::snprintf(pszLine, nSize, "\"%s\" %s", szSelf, pszVerb);
}

// A reader of one stream, as a program's object has: overlapped reads until the pipe breaks.
DWORD WINAPI Reader(void* pv) {
    HANDLE hPipe = pv;
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char ach[4096];
    for (;;) {
        DWORD dw = 0;
        ResetEvent(ov.hEvent);
        if (!ReadFile(hPipe, ach, sizeof ach, &dw, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(hPipe, &ov, &dw, TRUE)) break;
        }
    }
    CloseHandle(ov.hEvent);
    return 0;
}

// Our end overlapped, the program's end plain and inheritable, as the host's pipes are.
void NamedPipe(bool bToChild, HANDLE* phOurs, HANDLE* phChild) {
    static LONG nNamed = 0;
    char szName[80];
    std::snprintf(szName, sizeof szName, "\\\\.\\pipe\\spawn_loop-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&nNamed));
    *phOurs = CreateNamedPipeA(szName, (bToChild ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    *phChild = CreateFileA(szName, bToChild ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0,
                           &sa, OPEN_EXISTING, 0, nullptr);
}

int Batch(int nCount) {
    const int kBatch = 64;
    struct Started {
        HANDLE hJob, hIn, ahOut[2], ahThreads[2];
    } aHeld[kBatch];
    int nHeld = 0, nFailed = 0;
    // Each job ended, then asked for its processes until it lists none, as the host ends a tree.
    auto endAll = [&] {
        for (int k = 0; k < nHeld; ++k) {
            for (;;) {
                TerminateJobObject(aHeld[k].hJob, 1);
                JOBOBJECT_BASIC_PROCESS_ID_LIST ids = {};
                if (!QueryInformationJobObject(aHeld[k].hJob, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr) &&
                    GetLastError() != ERROR_MORE_DATA)
                    break;
                if (ids.NumberOfAssignedProcesses == 0) break;
                Sleep(1);
            }
        }
        for (int k = 0; k < nHeld; ++k) {
            CloseHandle(aHeld[k].hJob);
            CloseHandle(aHeld[k].hIn);
            WaitForMultipleObjects(2, aHeld[k].ahThreads, TRUE, INFINITE);
            for (int j = 0; j < 2; ++j) {
                CloseHandle(aHeld[k].ahThreads[j]);
                CloseHandle(aHeld[k].ahOut[j]);
            }
        }
        nHeld = 0;
    };
    for (int i = 0; i < nCount; ++i) {
        Started& st = aHeld[nHeld];
        HANDLE ahChild[3];
        NamedPipe(true, &st.hIn, &ahChild[0]);
        NamedPipe(false, &st.ahOut[0], &ahChild[1]);
        NamedPipe(false, &st.ahOut[1], &ahChild[2]);
        char szLine[MAX_PATH + 16];
        Self(szLine, sizeof szLine, "wait");
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = ahChild[0];
        si.hStdOutput = ahChild[1];
        si.hStdError = ahChild[2];
        PROCESS_INFORMATION pi = {};
        BOOL bStarted = CreateProcessA(nullptr, szLine, nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
        DWORD dwError = GetLastError();
        for (HANDLE h : ahChild) CloseHandle(h);
        if (!bStarted) {
            std::printf("start %d of %d refused: error %lu\n", i + 1, nCount, dwError);
            ++nFailed;
            CloseHandle(st.hIn);
            CloseHandle(st.ahOut[0]);
            CloseHandle(st.ahOut[1]);
            continue;
        }
        st.hJob = CreateJobObjectA(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(st.hJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        AssignProcessToJobObject(st.hJob, pi.hProcess);
        for (int j = 0; j < 2; ++j) st.ahThreads[j] = CreateThread(nullptr, 65536, Reader, st.ahOut[j], STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        if (++nHeld == kBatch) endAll();
    }
    endAll();
    std::printf("%d of %d starts refused\n", nFailed, nCount);
    return nFailed ? 1 : 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "child") == 0) return 0;
    if (argc > 1 && std::strcmp(argv[1], "wait") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "batch") == 0) return Batch(argc > 2 ? std::atoi(argv[2]) : 1400);
    int nCount = argc > 1 ? std::atoi(argv[1]) : 200, nFailed = 0;
    for (int i = 0; i < nCount; ++i) {
        char szLine[MAX_PATH + 16];
        Self(szLine, sizeof szLine, "child");
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(nullptr, szLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            std::printf("start %d of %d refused: error %lu\n", i + 1, nCount, GetLastError());
            ++nFailed;
            continue;
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    std::printf("%d of %d starts refused\n", nFailed, nCount);
    return nFailed ? 1 : 0;
}
