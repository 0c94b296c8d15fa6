// Task: the performance-data walk on synthetic blocks in the registry's layout, the tool-help
// walk on a synthetic list, then the task list, windows and Kill through scripts, on child
// programs the test starts.
#include <windows.h>

#include <winperf.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KxTaskRecords.h"
#include "KxTshTask.h"
#include "child_program.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshTask, "Task");

namespace {

struct Instance {
    std::wstring sName;
    DWORD dwId;
};
struct Object {
    std::vector<DWORD> counterIndexes;  // the id counter is the one with index 784
    std::vector<Instance> instances;
    size_t nPadding = 0;                // bytes between the definitions and the first instance
};
const DWORD kIdIndex = 784;

template <class T>
void Put(std::vector<BYTE>& v, size_t at, const T& value, size_t n = sizeof(T)) {
    std::memcpy(&v[at], &value, n);
}

// A performance-data block as the registry gives it.
std::vector<BYTE> Build(const std::vector<Object>& objects) {
    std::vector<BYTE> v(sizeof(PERF_DATA_BLOCK));
    PERF_DATA_BLOCK head = {};
    std::memcpy(head.Signature, L"PERF", 8);
    head.HeaderLength = sizeof head;
    head.NumObjectTypes = static_cast<DWORD>(objects.size());
    for (const Object& o : objects) {
        size_t at = v.size(), nCounters = o.counterIndexes.size();
        PERF_OBJECT_TYPE type = {};
        type.HeaderLength = sizeof type;
        type.DefinitionLength = static_cast<DWORD>(sizeof type + 40 * nCounters + o.nPadding);
        type.NumCounters = static_cast<DWORD>(nCounters);
        type.NumInstances = static_cast<LONG>(o.instances.size());
        v.resize(at + type.DefinitionLength);
        for (size_t i = 0; i < nCounters; ++i) {
            PERF_COUNTER_DEFINITION def = {};
            def.ByteLength = 40;
            def.CounterNameTitleIndex = o.counterIndexes[i];
            def.CounterOffset = static_cast<DWORD>(4 + 4 * i);
            Put(v, at + sizeof type + 40 * i, def, 40);
        }
        for (const Instance& inst : o.instances) {
            size_t nNameBytes = (inst.sName.size() + 1) * 2, iAt = v.size();
            PERF_INSTANCE_DEFINITION def = {};
            def.NameOffset = sizeof def;
            def.NameLength = static_cast<DWORD>(nNameBytes);
            def.ByteLength = static_cast<DWORD>(sizeof def + (nNameBytes + 7) / 8 * 8);
            v.resize(iAt + def.ByteLength + 4 + 4 * nCounters);
            Put(v, iAt, def);
            std::memcpy(&v[iAt + sizeof def], inst.sName.c_str(), nNameBytes);
            Put(v, iAt + def.ByteLength, DWORD(4 + 4 * nCounters));
            for (size_t i = 0; i < nCounters; ++i)
                Put(v, iAt + def.ByteLength + 4 + 4 * i, o.counterIndexes[i] == kIdIndex ? inst.dwId : 0xAAAA0000u + DWORD(i));
        }
        type.TotalByteLength = static_cast<DWORD>(v.size() - at);
        Put(v, at, type);
    }
    head.TotalByteLength = static_cast<DWORD>(v.size());
    Put(v, 0, head);
    return v;
}

// The synthetic registry behind the strategy.
std::string sCounters;
std::vector<BYTE> vData;
DWORD cbReported = 0;  // the size a successful query reports (0: the data's own)
std::vector<DWORD> vAskedSizes;
std::string sAskedIndex;
bool bOpened = false, bClosed = false;

LONG Answer(const BYTE* pbFrom, DWORD cbFrom, BYTE* pb, DWORD* pcb) {
    if (pb && *pcb < cbFrom) return ERROR_MORE_DATA;  // the size is left as it was
    if (pb) std::memcpy(pb, pbFrom, cbFrom);
    *pcb = cbFrom;
    return ERROR_SUCCESS;
}
const KxPerfSource kSynthetic = {
    [] { return bOpened = true; },
    [](BYTE* pb, DWORD* pcb) { return Answer(reinterpret_cast<const BYTE*>(sCounters.data()), DWORD(sCounters.size()), pb, pcb); },
    [](const char* pszIndex, BYTE* pb, DWORD* pcb) {
        sAskedIndex = pszIndex;
        vAskedSizes.push_back(*pcb);
        LONG l = Answer(vData.data(), DWORD(vData.size()), pb, pcb);
        if (l == ERROR_SUCCESS && cbReported) *pcb = cbReported;
        return l;
    },
    [] { bClosed = true; },
};

// The "Counters" value: index and name strings, each NUL-ended, then an empty string.
std::string Names(std::initializer_list<const char*> items) {
    std::string s;
    for (const char* psz : items) s += std::string(psz) + '\0';
    return s + '\0';
}

// The synthetic tool-help list.
std::vector<PROCESSENTRY32> vEntries;
size_t nNextEntry = 0;
bool bSnapshotFails = false;
DWORD dwSnapshotFlags = 0, dwSnapshotProcess = 1;

BOOL WINAPI FakeNext(HANDLE, PROCESSENTRY32* pEntry) {
    if (pEntry->dwSize != sizeof *pEntry || nNextEntry >= vEntries.size()) return FALSE;
    *pEntry = vEntries[nNextEntry++];
    return TRUE;
}
HANDLE WINAPI FakeSnapshot(DWORD dwFlags, DWORD dwProcessId) {
    dwSnapshotFlags = dwFlags;
    dwSnapshotProcess = dwProcessId;
    return bSnapshotFails ? INVALID_HANDLE_VALUE : CreateEventA(nullptr, FALSE, FALSE, nullptr);
}
BOOL WINAPI FakeFirst(HANDLE hList, PROCESSENTRY32* pEntry) {
    nNextEntry = 0;
    return FakeNext(hList, pEntry);
}
const KxToolhelpSource kFakeToolhelp = {FakeSnapshot, FakeFirst, FakeNext};

void AddEntry(const std::string& sExeFile, DWORD dwProcessId) {
    PROCESSENTRY32 e = {};
    e.dwSize = sizeof e;
    e.th32ProcessID = dwProcessId;
    std::strcpy(e.szExeFile, sExeFile.c_str());
    vEntries.push_back(e);
}

class PerfData : public ::testing::Test {
protected:
    void SetUp() override {
        // Earlier matches that later ones replace.
        sCounters = Names({"1", "1847", "100", "process", "102", "id process", "2", "System", "230", "Process",
                           "232", "Thread", "784", "ID Process"});
        vAskedSizes.clear();
        cbReported = 0;
        bOpened = bClosed = false;
        std::memset(aRecords, 0x5A, sizeof aRecords);
    }
    unsigned Enum() { return EnumTasksPerfDataFrom(kSynthetic, aRecords, TASK_LIST_CAPACITY); }
    unsigned Toolhelp(unsigned nCapacity = TASK_LIST_CAPACITY) { return EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, nCapacity); }
    bool AllZero() {
        for (const BYTE* p = reinterpret_cast<const BYTE*>(aRecords); p < reinterpret_cast<const BYTE*>(aRecords + TASK_LIST_CAPACITY); ++p)
            if (*p) return false;
        return true;
    }
    // The records' names and ids from the first on, as "name id" each.
    std::vector<std::string> Listed(unsigned nCount) {
        std::vector<std::string> v;
        for (unsigned i = 0; i < nCount; ++i) {
            EXPECT_EQ(aRecords[i].dwFlags, 0u) << i;
            v.push_back(aRecords[i].szExeName + (" " + std::to_string(aRecords[i].dwProcessId)));
        }
        return v;
    }
    TaskRecord aRecords[TASK_LIST_CAPACITY];
};

TEST_F(PerfData, NamesIdsAndTheFirstObject) {
    Object process{{6, 12, kIdIndex}, {{L"notepad", 40}, {L"explorer", 44}, {L"ninechars", 48}, {L"Idle", 0}, {L"", 52}}};
    Object thread{{kIdIndex}, {{L"not-a-process", 99}}};
    vData = Build({process, thread});
    ASSERT_EQ(Enum(), 5u);
    EXPECT_EQ(sAskedIndex, "230");
    EXPECT_TRUE(bOpened && bClosed);
    EXPECT_EQ(Listed(5), std::vector<std::string>({"notepad.exe 40", "explorer.exe 44", "ninechars 48",
                                                   "Idle.exe 4294967294", ".exe 52"}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(aRecords[i].hWindow, nullptr);
    EXPECT_EQ(aRecords[5].dwProcessId, 0u);  // the rest stays zero-filled
}

TEST_F(PerfData, BufferGrowsAndTheLimitIsOneBelowTheCapacity) {
    Object process{{kIdIndex}, {}, 120000};
    for (DWORD i = 0; i < 300; ++i) process.instances.push_back({L"proc" + std::to_wstring(i), 1000 + i});
    vData = Build({process});
    ASSERT_EQ(Enum(), 255u);
    EXPECT_EQ(vAskedSizes, std::vector<DWORD>({51200, 76800, 102400, 128000, 153600}));
    EXPECT_EQ(Listed(255)[254], "proc254.exe 1254");
    EXPECT_EQ(aRecords[255].dwProcessId, 0u);
}

// Each way of spoiling good data gives no records and all of them zero-filled.
TEST_F(PerfData, EveryFailureGivesNoRecordsAndZeroFill) {
    const std::vector<BYTE> vGood = Build({Object{{kIdIndex}, {{L"first", 10}, {L"second", 20}, {L"third", 30}}}});
    const std::function<void()> spoilers[] = {
        // Cut in the middle of the last instance, or short of the object header.
        [&] { cbReported = DWORD(vGood.size() - 6); }, [] { cbReported = sizeof(PERF_DATA_BLOCK) + 20; },
        [] { cbReported = 30; }, [] { cbReported = 4; },
        // An instance name that runs to the block's end, and offsets far outside it.
        [] { std::memset(&vData[vData.size() - 40], 'x', 40); },
        [] { Put(vData, sizeof(PERF_DATA_BLOCK) + 4, DWORD(0x7FFFFFF0)); },
        // A wrong signature; no id counter in the object; no "process" among the names.
        [] { vData[0] = 'Q'; }, [] { vData = Build({Object{{6, 12}, {{L"first", 10}}}}); },
        [] { sCounters = Names({"230", "Processor", "784", "ID Process"}); },
    };
    for (const auto& spoil : spoilers) {
        SetUp();
        vData = vGood;
        spoil();
        EXPECT_EQ(Enum(), 0u) << &spoil - spoilers;
        EXPECT_TRUE(AllZero()) << &spoil - spoilers;
        EXPECT_TRUE(bClosed);
    }
    EXPECT_TRUE(vAskedSizes.empty());  // the last: no data asked for
}

TEST_F(PerfData, ToolhelpNamesAfterTheLastBackslashAndTheCapacity) {
    vEntries.clear();
    for (const char* psz : {"C:\\WINDOWS\\NOTEPAD.EXE", "plain.exe", "\\\\server\\share\\deep.exe", "folder\\"})
        AddEntry(psz, 40 + 4 * DWORD(vEntries.size()));
    ASSERT_EQ(Toolhelp(), 4u);
    EXPECT_EQ(dwSnapshotFlags, DWORD(TH32CS_SNAPPROCESS));
    EXPECT_EQ(dwSnapshotProcess, 0u);
    EXPECT_EQ(Listed(4), std::vector<std::string>({"NOTEPAD.EXE 40", "plain.exe 44", "deep.exe 48", " 52"}));
    EXPECT_EQ(aRecords[4].dwProcessId, 0x5A5A5A5Au);
    vEntries.clear();
    for (DWORD i = 0; i < 300; ++i) AddEntry("p" + std::to_string(i) + ".exe", 1000 + i);
    EXPECT_EQ(Toolhelp(), 256u);
    EXPECT_STREQ(aRecords[255].szExeName, "p255.exe");
    EXPECT_EQ(Toolhelp(1), 1u);
    EXPECT_EQ(Toolhelp(0), 0u);
    bSnapshotFails = true;
    EXPECT_EQ(Toolhelp(), 0u);
    bSnapshotFails = false;
    vEntries.clear();
    EXPECT_EQ(Toolhelp(), 0u);
}

// Windows of this program, each pushed below all others as it is made, so that the scan sees
// them last and in order: each record takes the last window of its process and the title of
// the last one with a title, cut to 63 characters; only the first record of a process among
// the count is touched.
TEST(TaskWindows, LastWindowAndLastTitleOfTheFirstMatchingRecord) {
    TSH_SKIP_WITHOUT_WINDOWS();
    std::vector<HWND> vMine;
    for (std::string sTitle : {std::string("first"), std::string(100, 'L'), std::string()}) {
        vMine.push_back(CreateWindowA("STATIC", sTitle.c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr));
        ASSERT_NE(vMine.back(), nullptr);
        SetWindowPos(vMine.back(), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    TaskRecord aRecords[4] = {};
    aRecords[0].dwProcessId = 0xFFFFFFFE;
    aRecords[1].dwProcessId = aRecords[2].dwProcessId = aRecords[3].dwProcessId = GetCurrentProcessId();
    FindTaskWindows(aRecords, 3);
    EXPECT_EQ(aRecords[1].hWindow, vMine[2]);
    EXPECT_EQ(aRecords[1].szWindowTitle, std::string(63, 'L'));
    for (int i : {0, 2, 3}) {
        EXPECT_EQ(aRecords[i].hWindow, nullptr) << i;
        EXPECT_STREQ(aRecords[i].szWindowTitle, "") << i;
    }
    for (HWND h : vMine) DestroyWindow(h);
}

class TaskTest : public ClassTest<KxTshTask> {
protected:
    // Starts the child with the arguments; its id goes to the script global PID.
    HANDLE Start(const std::string& sArgs) {
        PROCESS_INFORMATION pi = StartProgram(ChildProgram() + " " + sArgs);
        WaitForInputIdle(pi.hProcess, 60000);
        KxScVmEnv::SetGlobalVariable("PID", KxScDataHandle::CreateData(static_cast<int>(pi.dwProcessId)), true, false);
        return pi.hProcess;
    }
    // Waits until the child is listed (global t), with the given window title when there is
    // one. Wine makes a thread's hidden "Default IME" window along with its first window, so a
    // child seen while that is under way can show the IME window's title for a moment.
    void Find(const char* pszWindow) {
        for (int i = 0; i < 300; ++i) {
            Run("t = nil; for (x in Task.TaskList()) { if (x.id == PID) { t = x; } }"
                "found = t != nil; if (found) { name = t.name; window = t.window; flags = t.flags; }");
            if (Int("found") && Text("window") == pszWindow) return;
            Sleep(100);
        }
    }
};

// These tests run under Wine, in prefixes that report the Windows version the runner asks for
// (TSH_WINVER; Wine's default is of the NT family). Both families take the tool-help list there:
// the 95 family always does, and Wine's performance data lists no processes. Only the NT
// family enables the debug privilege.
TEST_F(TaskTest, StrategyForThisPlatform) {
    ASSERT_NE(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"), nullptr);
    const std::string sVersion = std::getenv("TSH_WINVER") ? std::getenv("TSH_WINVER") : "";
    bool b95Family = sVersion == "win95" || sVersion == "win98" || sVersion == "winme";
    OSVERSIONINFOA vi = {};
    vi.dwOSVersionInfoSize = sizeof vi;
    ASSERT_TRUE(GetVersionExA(&vi));
    ASSERT_EQ(vi.dwPlatformId, DWORD(b95Family ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(pfnEnumTasks, &EnumTasksToolhelp);
    EXPECT_EQ(pfnPrivilegeStep, b95Family ? &SkipDebugPrivilege : &EnableDebugPrivilege);
    EXPECT_EQ(EnableDebugPrivilege(), 1);
    TaskRecord aRecords[TASK_LIST_CAPACITY];
    EXPECT_EQ(EnumTasksPerfData(aRecords, TASK_LIST_CAPACITY), 0u);
    EXPECT_GT(EnumTasksToolhelp(aRecords, TASK_LIST_CAPACITY), 1u);
}

// Kill(), Kill(0) and, from a host calling the method itself, Kill with a text all ask the
// window to close: the child then leaves its message loop with exit code 3. Without a window,
// or forced, the child is terminated: exit code 1.
TEST_F(TaskTest, KillClosesTheWindowPolitelyOrTerminates) {
    const struct {
        const char *pszChild, *pszWindow, *pszKill;
        DWORD dwExit;
    } cases[] = {
        {"window \"tsh child window\" idle 60000", "tsh child window", "t.Kill()", 3},
        {"window \"tsh child window\" idle 60000", "tsh child window", "t.Kill(0)", 3},
        {"window \"tsh child window\" idle 60000", "tsh child window", nullptr, 3},
        {"window forced idle 60000", "forced", "t.Kill(7)", 1},
        {"pause 60000", "", "t.Kill()", 1},
    };
    for (const auto& c : cases) {
        if (*c.pszWindow && std::getenv("TSH_NO_WINDOWS")) continue;
        HANDLE hChild = Start(c.pszChild);
        Find(c.pszWindow);
        ASSERT_EQ(Int("found"), 1) << c.pszChild;
        EXPECT_EQ(Text("name"), "tsh_child.exe");
        EXPECT_EQ(Text("window"), c.pszWindow);
        EXPECT_EQ(Int("flags"), 0);
        if (c.pszKill) {
            Run((std::string("r = ") + c.pszKill + ";").c_str());
        } else {
            KxScDataHandle* phText = KxScDataHandle::CreateData("1", false);
            KxScVmEnv::SetGlobalVariable("r", Object<KxTshTask>("t")->Kill(nullptr, 1, &phText), true, false);
            phText->Drop();
        }
        EXPECT_EQ(Int("r"), 1) << c.pszChild;
        EXPECT_EQ(ExitCodeAfter(hChild), c.dwExit) << c.pszChild << " " << (c.pszKill ? c.pszKill : "a text");
    }
    // The record is a copy: an id that no process has any more cannot be opened, and counts as
    // killed.
    Run("r = t.Kill(1); name2 = t.name; t = nil;");
    EXPECT_EQ(Int("r"), 1);
    EXPECT_EQ(Text("name2"), "tsh_child.exe");
}

TEST_F(TaskTest, ClassObjectAndBadArguments) {
    Run("r = Task.Kill(); r1 = Task.Kill(1); l = Task.TaskList(); n = len(l); m = len(l[0].TaskList());"
        "own = 0; for (x in l) { if (x.name == \"task_tests.exe\") { own = own + 1; } } x = l[0]; l = nil;");
    EXPECT_EQ(Int("r"), -999);  // nil
    EXPECT_EQ(Int("r1"), -999);
    EXPECT_GT(Int("n"), 0);
    EXPECT_GT(Int("m"), 0);
    EXPECT_EQ(Int("own"), 1);
    ExpectErrors({{"x.Kill(\"now\");", "104 Task::Kill(): argument 1 must be an integer, not \"now\""},
                  {"x.Kill(1, 2);", "104 Task::Kill takes () or (integer), 2 given"},
                  {"x.id = 5;", "2 property 'id' of <Task> cannot be set"}});
    Run("x = nil;");
    // A task of no process (id 0 cannot be opened) is asked to close instead, and counts as
    // killed.
    KxTshTask task(TaskRecord{});
    KxScDataHandle* ph = task.Kill(nullptr, 1, nullptr);
    EXPECT_EQ(ph->dwValue, 1u);
    ph->Drop();
    EXPECT_EQ(KxTshTask::poClassObject->Kill(nullptr, 1, nullptr), nullptr);
}

}  // namespace
