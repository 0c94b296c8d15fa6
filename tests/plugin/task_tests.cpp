// Task: the performance-data walk on synthetic blocks in the registry's layout, then the
// task list, windows and Kill through scripts, on child programs the test starts.
#include <windows.h>

#include <winperf.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "KxTaskRecords.h"
#include "KxTshTask.h"
#include "child_program.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshTask, "Task");

namespace {

// The offsets the walk reads, as the platform's headers lay the structures out.
static_assert(offsetof(PERF_DATA_BLOCK, HeaderLength) == 24, "");
static_assert(offsetof(PERF_OBJECT_TYPE, DefinitionLength) == 4 && offsetof(PERF_OBJECT_TYPE, HeaderLength) == 8 &&
                  offsetof(PERF_OBJECT_TYPE, NumCounters) == 32 && offsetof(PERF_OBJECT_TYPE, NumInstances) == 40, "");
static_assert(sizeof(PERF_COUNTER_DEFINITION) == 40 && offsetof(PERF_COUNTER_DEFINITION, CounterOffset) == 36, "");
static_assert(offsetof(PERF_INSTANCE_DEFINITION, NameOffset) == 16, "");

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
        sCounters = Names({"1", "1847", "2", "System", "230", "Process", "232", "Thread", "784", "ID Process"});
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

class TaskTest : public ScriptTest {
protected:
    static void SetUpTestSuite() {
        ScriptTest::SetUpTestSuite();
        KxTshTask::SetupClass();
    }
    static void TearDownTestSuite() {
        KxTshTask::ShutdownClass();
        ScriptTest::TearDownTestSuite();
    }
    // Starts the child with the arguments; its id goes to the script global PID.
    PROCESS_INFORMATION Start(const std::string& sArgs) {
        std::string sLine = ChildProgram() + " " + sArgs;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        EXPECT_TRUE(CreateProcessA(nullptr, &sLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        WaitForInputIdle(pi.hProcess, 5000);
        KxScVmEnv::SetGlobalVariable("PID", KxScDataHandle::CreateData(static_cast<int>(pi.dwProcessId)), true, false);
        return pi;
    }
    // Finds PID in a fresh task list (global t, or nil); the window may take a moment.
    void Find(bool bWithWindow) {
        for (int i = 0; i < 50; ++i) {
            Run("t = nil; for (x in Task.TaskList()) { if (x.id == PID) { t = x; } }"
                "found = t != nil; if (found) { name = t.name; window = t.window; flags = t.flags; }");
            if (Int("found") && (!bWithWindow || Text("window") != "")) return;
            Sleep(100);
        }
    }
    static DWORD ExitCodeAfter(HANDLE hProcess) {
        DWORD dw = 999;
        if (WaitForSingleObject(hProcess, 5000) == WAIT_OBJECT_0) GetExitCodeProcess(hProcess, &dw);
        CloseHandle(hProcess);
        return dw;
    }
};

// These tests run under Wine: the NT family, with the tool-help list in place of the
// performance data, and the NT privilege step.
TEST_F(TaskTest, StrategyForThisPlatform) {
    ASSERT_NE(GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"), nullptr);
    EXPECT_EQ(pfnEnumTasks, &EnumTasksToolhelp);
    EXPECT_EQ(pfnPrivilegeStep, &EnableDebugPrivilege);
    EXPECT_EQ(EnableDebugPrivilege(), 1);
    // The performance data Wine has gives no processes: why the tool-help list is chosen.
    TaskRecord aRecords[TASK_LIST_CAPACITY];
    EXPECT_EQ(EnumTasksPerfData(aRecords, TASK_LIST_CAPACITY), 0u);
    EXPECT_EQ(EnumTasksPerfData(aRecords, 0), 0u);
    EXPECT_GT(EnumTasksToolhelp(aRecords, TASK_LIST_CAPACITY), 1u);
    EXPECT_EQ(EnumTasksToolhelp(aRecords, 1), 1u);
    EXPECT_EQ(EnumTasksToolhelp(aRecords, 0), 0u);
}

TEST_F(TaskTest, ListsTheChildWithItsWindowAndClosesItPolitely) {
    PROCESS_INFORMATION pi = Start("window \"tsh child window\" idle 20000");
    Find(true);
    ASSERT_EQ(Int("found"), 1);
    EXPECT_EQ(Text("name"), "tsh_child.exe");
    EXPECT_EQ(Text("window"), "tsh child window");
    EXPECT_EQ(Int("flags"), 0);
    Run("r = t.Kill(); again = t.Kill(0);");
    EXPECT_EQ(Int("r"), 1);
    EXPECT_EQ(ExitCodeAfter(pi.hProcess), 3u);  // it left its message loop on WM_CLOSE
    CloseHandle(pi.hThread);
    // The record is a copy: the finished process still has its window, and a close request to
    // it harms nothing.
    Run("late = t.Kill(); name2 = t.name;");
    EXPECT_EQ(Int("late"), 1);
    EXPECT_EQ(Text("name2"), "tsh_child.exe");
    Run("t = nil;");
}

TEST_F(TaskTest, KillTerminatesWithoutAWindowOrWhenForced) {
    PROCESS_INFORMATION pi = Start("pause 20000");
    Find(false);
    ASSERT_EQ(Int("found"), 1);
    EXPECT_EQ(Text("window"), "");
    Run("r = t.Kill();");
    EXPECT_EQ(Int("r"), 1);
    EXPECT_EQ(ExitCodeAfter(pi.hProcess), 1u);
    CloseHandle(pi.hThread);
    // Gone: an id that no process has any more cannot be opened, and counts as killed.
    Run("r = t.Kill(1); t = nil;");
    EXPECT_EQ(Int("r"), 1);
    pi = Start("window forced idle 20000");
    Find(true);
    Run("r = t.Kill(7); t = nil;");
    EXPECT_EQ(Int("r"), 1);
    EXPECT_EQ(ExitCodeAfter(pi.hProcess), 1u);
    CloseHandle(pi.hThread);
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
    // Called directly with what the runtime would refuse: a string is no force flag, and a
    // task of no process (id 0 cannot be opened) is asked to close instead.
    TaskRecord none = {};
    KxTshTask task(none);
    KxScDataHandle* phText = KxScDataHandle::CreateData("1", false);
    KxScDataHandle* ph = task.Kill(nullptr, 1, &phText);
    EXPECT_EQ(ph->dwValue, 1u);
    ph->Drop();
    phText->Drop();
    EXPECT_EQ(KxTshTask::poClassObject->Kill(nullptr, 1, nullptr), nullptr);
}

}  // namespace
