// Task: the performance-data walk on synthetic blocks in the registry's layout, then the
// task list, windows and Kill through scripts, on child programs the test starts.
#include <windows.h>

#include <winperf.h>

#include <cstdlib>
#include <cstring>
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

// A performance-data block as the registry gives it.
std::vector<BYTE> Build(const std::vector<Object>& objects) {
    std::vector<BYTE> v(sizeof(PERF_DATA_BLOCK));
    PERF_DATA_BLOCK head = {};
    std::memcpy(head.Signature, L"PERF", 8);
    head.HeaderLength = sizeof head;
    head.NumObjectTypes = static_cast<DWORD>(objects.size());
    for (const Object& o : objects) {
        size_t at = v.size();
        size_t nCounters = o.counterIndexes.size();
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
            std::memcpy(&v[at + sizeof type + 40 * i], &def, 40);
        }
        for (const Instance& inst : o.instances) {
            size_t nNameBytes = (inst.sName.size() + 1) * 2, nNameRoom = (nNameBytes + 7) / 8 * 8;
            PERF_INSTANCE_DEFINITION def = {};
            def.NameOffset = sizeof def;
            def.NameLength = static_cast<DWORD>(nNameBytes);
            def.ByteLength = static_cast<DWORD>(sizeof def + nNameRoom);
            size_t iAt = v.size();
            v.resize(iAt + def.ByteLength + 4 + 4 * nCounters);
            std::memcpy(&v[iAt], &def, sizeof def);
            std::memcpy(&v[iAt + sizeof def], inst.sName.c_str(), nNameBytes);
            DWORD dwBlockLength = static_cast<DWORD>(4 + 4 * nCounters);
            std::memcpy(&v[iAt + def.ByteLength], &dwBlockLength, 4);
            for (size_t i = 0; i < nCounters; ++i) {
                DWORD dwValue = o.counterIndexes[i] == kIdIndex ? inst.dwId : 0xAAAA0000u + DWORD(i);
                std::memcpy(&v[iAt + def.ByteLength + 4 + 4 * i], &dwValue, 4);
            }
        }
        type.TotalByteLength = static_cast<DWORD>(v.size() - at);
        std::memcpy(&v[at], &type, sizeof type);
    }
    head.TotalByteLength = static_cast<DWORD>(v.size());
    std::memcpy(&v[0], &head, sizeof head);
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
    if (!pb) {
        *pcb = cbFrom;
        return ERROR_SUCCESS;
    }
    if (*pcb < cbFrom) return ERROR_MORE_DATA;  // the size is left as it was
    std::memcpy(pb, pbFrom, cbFrom);
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
    bool AllZero() {
        for (const BYTE* p = reinterpret_cast<const BYTE*>(aRecords); p < reinterpret_cast<const BYTE*>(aRecords + TASK_LIST_CAPACITY); ++p)
            if (*p) return false;
        return true;
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
    const char* apszNames[] = {"notepad.exe", "explorer.exe", "ninechars", "Idle.exe", ".exe"};
    DWORD adwIds[] = {40, 44, 48, 0xFFFFFFFE, 52};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(aRecords[i].szExeName, apszNames[i]) << i;
        EXPECT_EQ(aRecords[i].dwProcessId, adwIds[i]) << i;
        EXPECT_EQ(aRecords[i].dwFlags, 0u);
        EXPECT_EQ(aRecords[i].hWindow, nullptr);
    }
    EXPECT_EQ(aRecords[5].dwProcessId, 0u);  // the rest stays zero-filled
}

TEST_F(PerfData, BufferGrowsAndTheLimitIsOneBelowTheCapacity) {
    Object process{{kIdIndex}, {}, 120000};
    for (DWORD i = 0; i < 300; ++i) process.instances.push_back({L"proc" + std::to_wstring(i), 1000 + i});
    vData = Build({process});
    ASSERT_EQ(Enum(), 255u);
    EXPECT_EQ(vAskedSizes, std::vector<DWORD>({51200, 76800, 102400, 128000, 153600}));
    EXPECT_STREQ(aRecords[254].szExeName, "proc254.exe");
    EXPECT_EQ(aRecords[254].dwProcessId, 1254u);
    EXPECT_EQ(aRecords[255].dwProcessId, 0u);
}

TEST_F(PerfData, EveryFailureGivesNoRecordsAndZeroFill) {
    Object process{{kIdIndex}, {{L"first", 10}, {L"second", 20}, {L"third", 30}}};
    vData = Build({process});
    // Cut in the middle of the last instance, or short of the object header.
    for (DWORD cb : {DWORD(vData.size() - 6), DWORD(sizeof(PERF_DATA_BLOCK) + 20), DWORD(30), DWORD(4)}) {
        cbReported = cb;
        EXPECT_EQ(Enum(), 0u) << cb;
        EXPECT_TRUE(AllZero()) << cb;
    }
    cbReported = 0;
    // An instance name that runs to the block's end, and offsets far outside it.
    std::vector<BYTE> vGood = vData;
    std::memset(&vData[vData.size() - 40], 'x', 40);
    EXPECT_EQ(Enum(), 0u);
    vData = vGood;
    DWORD dwFar = 0x7FFFFFF0;
    std::memcpy(&vData[sizeof(PERF_DATA_BLOCK) + 4], &dwFar, 4);
    EXPECT_EQ(Enum(), 0u);
    EXPECT_TRUE(AllZero());
    // A wrong signature; no id counter in the object; no "process" among the names.
    vData = vGood;
    vData[0] = 'Q';
    EXPECT_EQ(Enum(), 0u);
    vData = Build({Object{{6, 12}, {{L"first", 10}}}});
    EXPECT_EQ(Enum(), 0u);
    vData = vGood;
    sCounters = Names({"230", "Processor", "784", "ID Process"});
    vAskedSizes.clear();
    EXPECT_EQ(Enum(), 0u);
    EXPECT_TRUE(vAskedSizes.empty());
    EXPECT_TRUE(AllZero());
    EXPECT_TRUE(bClosed);
}

// The synthetic tool-help list.
std::vector<PROCESSENTRY32> vEntries;
size_t nNextEntry = 0;
bool bSnapshotFails = false;
DWORD dwSnapshotFlags = 0, dwSnapshotProcess = 1;

HANDLE WINAPI FakeSnapshot(DWORD dwFlags, DWORD dwProcessId) {
    dwSnapshotFlags = dwFlags;
    dwSnapshotProcess = dwProcessId;
    return bSnapshotFails ? INVALID_HANDLE_VALUE : CreateEventA(nullptr, FALSE, FALSE, nullptr);
}
BOOL WINAPI FakeNext(HANDLE, PROCESSENTRY32* pEntry) {
    if (pEntry->dwSize != sizeof *pEntry || nNextEntry >= vEntries.size()) return FALSE;
    *pEntry = vEntries[nNextEntry++];
    return TRUE;
}
BOOL WINAPI FakeFirst(HANDLE hList, PROCESSENTRY32* pEntry) {
    nNextEntry = 0;
    return FakeNext(hList, pEntry);
}
const KxToolhelpSource kFakeToolhelp = {FakeSnapshot, FakeFirst, FakeNext};

void AddEntry(const char* pszExeFile, DWORD dwProcessId) {
    PROCESSENTRY32 e = {};
    e.dwSize = sizeof e;
    e.th32ProcessID = dwProcessId;
    std::strcpy(e.szExeFile, pszExeFile);
    vEntries.push_back(e);
}

TEST(Toolhelp, NamesAfterTheLastBackslashAndTheCapacity) {
    TaskRecord aRecords[TASK_LIST_CAPACITY];
    std::memset(aRecords, 0x5A, sizeof aRecords);
    vEntries.clear();
    AddEntry("C:\\WINDOWS\\NOTEPAD.EXE", 40);
    AddEntry("plain.exe", 44);
    AddEntry("\\\\server\\share\\deep.exe", 48);
    AddEntry("folder\\", 52);
    ASSERT_EQ(EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, TASK_LIST_CAPACITY), 4u);
    EXPECT_EQ(dwSnapshotFlags, DWORD(TH32CS_SNAPPROCESS));
    EXPECT_EQ(dwSnapshotProcess, 0u);
    const char* apszNames[] = {"NOTEPAD.EXE", "plain.exe", "deep.exe", ""};
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(aRecords[i].szExeName, apszNames[i]) << i;
        EXPECT_EQ(aRecords[i].dwProcessId, 40u + 4 * i) << i;
        EXPECT_EQ(aRecords[i].dwFlags, 0u) << i;
    }
    EXPECT_EQ(aRecords[4].dwProcessId, 0x5A5A5A5Au);
    vEntries.clear();
    for (DWORD i = 0; i < 300; ++i) AddEntry(("p" + std::to_string(i) + ".exe").c_str(), 1000 + i);
    EXPECT_EQ(EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, TASK_LIST_CAPACITY), 256u);
    EXPECT_STREQ(aRecords[255].szExeName, "p255.exe");
    EXPECT_EQ(EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, 1), 1u);
    EXPECT_EQ(EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, 0), 0u);
    bSnapshotFails = true;
    EXPECT_EQ(EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, TASK_LIST_CAPACITY), 0u);
    bSnapshotFails = false;
    vEntries.clear();
    EXPECT_EQ(EnumTasksToolhelpFrom(kFakeToolhelp, aRecords, TASK_LIST_CAPACITY), 0u);
}

// What the window scan should find for this process: its last window and last title.
struct WindowScan {
    HWND hLast = nullptr;
    std::string sTitle;
};
BOOL CALLBACK ScanOwnWindows(HWND h, LPARAM lParam) {
    DWORD dwPid = 0;
    GetWindowThreadProcessId(h, &dwPid);
    if (dwPid != GetCurrentProcessId()) return TRUE;
    WindowScan* p = reinterpret_cast<WindowScan*>(lParam);
    p->hLast = h;
    char sz[256] = "";
    if (GetWindowTextA(h, sz, sizeof sz) > 0) p->sTitle = std::string(sz).substr(0, 63);
    return TRUE;
}

// Windows of this program: each record takes the last window of its process and the title of
// the last one with a title, cut to 63 characters; only the first record of a process among the
// count is touched.
TEST(TaskWindows, LastWindowAndLastTitleOfTheFirstMatchingRecord) {
    TSH_SKIP_WITHOUT_WINDOWS();
    std::vector<HWND> vMine;
    for (std::string sTitle : {std::string("first"), std::string(100, 'L'), std::string()}) {
        HWND h = CreateWindowA("STATIC", sTitle.c_str(), WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(h, nullptr);
        SetWindowPos(h, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        vMine.push_back(h);
    }
    WindowScan expected;
    EnumWindows(ScanOwnWindows, reinterpret_cast<LPARAM>(&expected));
    EXPECT_EQ(expected.hLast, vMine[2]);  // the case meant: the last window has no title
    TaskRecord aRecords[4] = {};
    aRecords[0].dwProcessId = 0xFFFFFFFE;
    aRecords[1].dwProcessId = aRecords[2].dwProcessId = aRecords[3].dwProcessId = GetCurrentProcessId();
    FindTaskWindows(aRecords, 3);
    EXPECT_EQ(aRecords[1].hWindow, expected.hLast);
    EXPECT_EQ(aRecords[1].szWindowTitle, expected.sTitle);
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
    // Finds PID in a fresh task list (global t, or nil); the window may take a moment.
    // Waits until the child is listed, with the given window title when there is one. Wine
    // makes a thread's hidden "Default IME" window along with its first window, so a child
    // seen while that is under way can show the IME window's title for a moment.
    void Find(const char* pszWindow = nullptr) {
        for (int i = 0; i < 300; ++i) {
            Run("t = nil; for (x in Task.TaskList()) { if (x.id == PID) { t = x; } }"
                "found = t != nil; if (found) { name = t.name; window = t.window; flags = t.flags; }");
            if (Int("found") && (!pszWindow || Text("window") == pszWindow)) return;
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
    const char* pszVersion = std::getenv("TSH_WINVER");
    bool b95Family = pszVersion && (std::strcmp(pszVersion, "win95") == 0 || std::strcmp(pszVersion, "win98") == 0 ||
                                    std::strcmp(pszVersion, "winme") == 0);
    OSVERSIONINFOA vi = {};
    vi.dwOSVersionInfoSize = sizeof vi;
    ASSERT_TRUE(GetVersionExA(&vi));
    ASSERT_EQ(vi.dwPlatformId, DWORD(b95Family ? VER_PLATFORM_WIN32_WINDOWS : VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(pfnEnumTasks, &EnumTasksToolhelp);
    EXPECT_EQ(pfnPrivilegeStep, b95Family ? &SkipDebugPrivilege : &EnableDebugPrivilege);
    EXPECT_EQ(EnableDebugPrivilege(), 1);
    // The performance data Wine has gives no processes: why the tool-help list is chosen.
    TaskRecord aRecords[TASK_LIST_CAPACITY];
    EXPECT_EQ(EnumTasksPerfData(aRecords, TASK_LIST_CAPACITY), 0u);
    // Its counter names are there, under the English names key.
    ASSERT_TRUE(kPerfRegistry.pfnOpenNames());
    DWORD cbNames = 0;
    EXPECT_EQ(kPerfRegistry.pfnQueryCounters(nullptr, &cbNames), ERROR_SUCCESS);
    EXPECT_GT(cbNames, 2u);
    kPerfRegistry.pfnClose();
    EXPECT_EQ(EnumTasksPerfData(aRecords, 0), 0u);
    EXPECT_GT(EnumTasksToolhelp(aRecords, TASK_LIST_CAPACITY), 1u);
    EXPECT_EQ(EnumTasksToolhelp(aRecords, 1), 1u);
    EXPECT_EQ(EnumTasksToolhelp(aRecords, 0), 0u);
}

// Kill(), Kill(0) and, from a host calling the method itself, Kill with a text all ask the
// window to close: the child then leaves its message loop with exit code 3, not the 1 of a
// termination.
TEST_F(TaskTest, ListsTheChildWithItsWindowAndClosesItPolitely) {
    TSH_SKIP_WITHOUT_WINDOWS();
    for (const char* pszKill : {"t.Kill()", "t.Kill(0)", "a text"}) {
        HANDLE hChild = Start("window \"tsh child window\" idle 60000");
        Find("tsh child window");
        ASSERT_EQ(Int("found"), 1);
        EXPECT_EQ(Text("name"), "tsh_child.exe");
        EXPECT_EQ(Text("window"), "tsh child window");
        EXPECT_EQ(Int("flags"), 0);
        if (std::string(pszKill) == "a text") {
            KxScDataHandle* phText = KxScDataHandle::CreateData("1", false);
            KxScDataHandle* ph = Object<KxTshTask>("t")->Kill(nullptr, 1, &phText);
            KxScVmEnv::SetGlobalVariable("r", ph, true, false);
            phText->Drop();
        } else {
            Run((std::string("r = ") + pszKill + ";").c_str());
        }
        EXPECT_EQ(Int("r"), 1) << pszKill;
        EXPECT_EQ(ExitCodeAfter(hChild), 3u) << pszKill;
    }
    // The record is a copy: the finished process still has its window, and a close request to
    // it harms nothing.
    Run("late = t.Kill(); name2 = t.name;");
    EXPECT_EQ(Int("late"), 1);
    EXPECT_EQ(Text("name2"), "tsh_child.exe");
    Run("t = nil;");
}

TEST_F(TaskTest, KillTerminatesWithoutAWindowOrWhenForced) {
    HANDLE hChild = Start("pause 60000");
    Find();
    ASSERT_EQ(Int("found"), 1);
    EXPECT_EQ(Text("window"), "");
    Run("r = t.Kill();");
    EXPECT_EQ(Int("r"), 1);
    EXPECT_EQ(ExitCodeAfter(hChild), 1u);
    // Gone: an id that no process has any more cannot be opened, and counts as killed.
    Run("r = t.Kill(1); t = nil;");
    EXPECT_EQ(Int("r"), 1);
    hChild = Start("window forced idle 60000");
    Find("forced");
    Run("r = t.Kill(7); t = nil;");
    EXPECT_EQ(Int("r"), 1);
    EXPECT_EQ(ExitCodeAfter(hChild), 1u);
}

TEST_F(TaskTest, ClassObjectAndBadArguments) {
    Run("r = Task.Kill(); r1 = Task.Kill(1); l = Task.TaskList(); n = len(l); m = len(l[0].TaskList());"
        "own = 0; for (x in l) { if (x.name == \"task_tests.exe\") { own = own + 1; } }");
    EXPECT_EQ(Int("r"), -999);  // nil
    EXPECT_EQ(Int("r1"), -999);
    EXPECT_GT(Int("n"), 0);
    EXPECT_GT(Int("m"), 0);
    EXPECT_EQ(Int("own"), 1);
    Run("m = \"\"; x = l[0]; try { x.Kill(\"now\"); } catch (e) { m = m + e.code + \";\"; }"
        "try { x.Kill(1, 2); } catch (e) { m = m + e.code + \";\"; }"
        "try { x.id = 5; } catch (e) { m = m + e.code + \";\"; } l = nil; x = nil;");
    EXPECT_EQ(Text("m"), "104;104;2;");
    // A task of no process (id 0 cannot be opened) is asked to close instead, and counts as
    // killed.
    TaskRecord none = {};
    KxTshTask task(none);
    KxScDataHandle* ph = task.Kill(nullptr, 1, nullptr);
    EXPECT_EQ(ph->dwValue, 1u);
    ph->Drop();
    EXPECT_EQ(KxTshTask::poClassObject->Kill(nullptr, 1, nullptr), nullptr);
}

}  // namespace
