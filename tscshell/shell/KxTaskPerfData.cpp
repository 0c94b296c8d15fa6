// Processes from the registry's performance data: the "process" object's instances give the
// names, and its "id process" counter the ids.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KxTaskRecords.h"

namespace {

const DWORD PERF_INITIAL_SIZE = 51200, PERF_GROW_SIZE = 25600;
// A source that keeps answering "more data" is not followed past this.
const DWORD PERF_MAX_SIZE = 64u << 20;

HKEY hNamesKey = nullptr;

bool OpenNames() {
    char szKey[128];
    std::sprintf(szKey, "%s\\%03x", "software\\microsoft\\windows nt\\currentversion\\perflib", 9);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, &hNamesKey) == ERROR_SUCCESS;
}

LONG QueryCounters(BYTE* pbData, DWORD* pcbData) {
    return RegQueryValueExA(hNamesKey, "Counters", nullptr, nullptr, pbData, pcbData);
}

LONG QueryData(const char* pszObjectIndex, BYTE* pbData, DWORD* pcbData) {
    return RegQueryValueExA(HKEY_PERFORMANCE_DATA, pszObjectIndex, nullptr, nullptr, pbData, pcbData);
}

void CloseKeys() {
    if (hNamesKey) RegCloseKey(hNamesKey);
    hNamesKey = nullptr;
    RegCloseKey(HKEY_PERFORMANCE_DATA);
}


// The counter names: pairs of a decimal index and a name. The index of the "process" object
// is kept as text (it names the data to ask for), that of "id process" as a number. A later
// match replaces an earlier one.
bool FindIndexes(const KxPerfSource& source, char* pszObjectIndex, size_t cbIndex, long* pnIdIndex) {
    DWORD cb = 0;
    if (source.pfnQueryCounters(nullptr, &cb) != ERROR_SUCCESS || cb == 0) return false;
    // Two spare NULs end the list even when the value itself is not properly ended.
    char* pszNames = static_cast<char*>(std::calloc(cb + 2, 1));
    if (!pszNames) return false;
    bool bRead = source.pfnQueryCounters(reinterpret_cast<BYTE*>(pszNames), &cb) == ERROR_SUCCESS;
    pszObjectIndex[0] = 0;
    *pnIdIndex = -1;
    const char* pszPrevious = "";
    for (const char* p = pszNames; bRead && *p; p += std::strlen(p) + 1) {
        if (_stricmp(p, "process") == 0 && std::strlen(pszPrevious) < cbIndex) std::strcpy(pszObjectIndex, pszPrevious);
        if (_stricmp(p, "id process") == 0) *pnIdIndex = std::atol(pszPrevious);
        pszPrevious = p;
    }
    std::free(pszNames);
    return bRead && pszObjectIndex[0] && *pnIdIndex >= 0;
}

// Reads of the data block, each checked against its size: a block that ends too soon, or
// points outside itself, is refused as a whole.
struct Block {
    const BYTE* pb;
    unsigned long long cb;
    bool bBad;
    DWORD Dword(unsigned long long at) {
        if (at + 4 > cb) {
            bBad = true;
            return 0;
        }
        DWORD dw;
        std::memcpy(&dw, pb + at, 4);
        return dw;
    }
    // The UTF-16 text at an offset, when it ends inside the block.
    const wchar_t* Text(unsigned long long at) {
        for (unsigned long long i = at; i + 2 <= cb; i += 2)
            if (pb[i] == 0 && pb[i + 1] == 0) return reinterpret_cast<const wchar_t*>(pb + at);
        bBad = true;
        return nullptr;
    }
};

unsigned ReadProcesses(const BYTE* pbData, DWORD cbData, long nIdIndex, TaskRecord* pRecords, unsigned nLimit) {
    static const BYTE kSignature[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
    if (cbData < 8 || std::memcmp(pbData, kSignature, 8) != 0) return 0;
    Block b = {pbData, cbData, false};
    // The first object is taken to be the process object: it is the one asked for.
    unsigned long long obj = b.Dword(24);
    unsigned long long firstCounter = obj + b.Dword(obj + 8);
    DWORD nCounters = b.Dword(obj + 32);
    long nInstances = static_cast<long>(b.Dword(obj + 40));
    unsigned long long inst = obj + b.Dword(obj + 4);
    unsigned long long idOffset = 0;
    bool bFound = false;
    for (DWORD i = 0; i < nCounters && !b.bBad && !bFound; ++i) {
        unsigned long long def = firstCounter + 40ull * i;
        if (static_cast<long>(b.Dword(def + 4)) == nIdIndex) {
            idOffset = b.Dword(def + 36);
            bFound = true;
        }
    }
    if (b.bBad || !bFound || nInstances <= 0) return 0;
    unsigned nCount = static_cast<unsigned>(nInstances) < nLimit ? static_cast<unsigned>(nInstances) : nLimit;
    for (unsigned n = 0; n < nCount; ++n) {
        TaskRecord& r = pRecords[n];
        const wchar_t* pszName = b.Text(inst + b.Dword(inst + 16));
        unsigned long long counters = inst + b.Dword(inst);
        DWORD dwId = b.Dword(counters + idOffset);
        unsigned long long next = counters + b.Dword(counters);
        if (b.bBad) return 0;
        char szName[260];
        if (!WideCharToMultiByte(CP_ACP, 0, pszName, -1, szName, sizeof szName, nullptr, nullptr)) {
            std::strcpy(r.szExeName, "unknown");
        } else if (std::strlen(szName) <= 8) {
            std::sprintf(r.szExeName, "%s.exe", szName);
        } else {
            std::strcpy(r.szExeName, szName);
        }
        r.dwFlags = 0;
        r.dwProcessId = dwId ? dwId : 0xFFFFFFFEu;
        inst = next;
    }
    return nCount;
}

}  // namespace

const KxPerfSource kPerfRegistry = {OpenNames, QueryCounters, QueryData, CloseKeys};

unsigned EnumTasksPerfData(TaskRecord* pRecords, unsigned nCapacity) {
    return EnumTasksPerfDataFrom(kPerfRegistry, pRecords, nCapacity);
}

unsigned EnumTasksPerfDataFrom(const KxPerfSource& source, TaskRecord* pRecords, unsigned nCapacity) {
    if (nCapacity == 0) return 0;
    std::memset(pRecords, 0, sizeof(TaskRecord) * nCapacity);
    unsigned nCount = 0;
    char szObjectIndex[16];
    long nIdIndex = -1;
    BYTE* pbData = nullptr;
    if (source.pfnOpenNames() && FindIndexes(source, szObjectIndex, sizeof szObjectIndex, &nIdIndex)) {
        DWORD cbSize = PERF_INITIAL_SIZE, cbBuffer = cbSize;
        pbData = static_cast<BYTE*>(std::malloc(cbBuffer));
        LONG lResult = pbData ? ERROR_MORE_DATA : ERROR_OUTOFMEMORY;
        while (pbData) {
            std::memset(pbData, 0, cbBuffer);
            lResult = source.pfnQueryData(szObjectIndex, pbData, &cbSize);
            if (lResult != ERROR_MORE_DATA) break;
            cbSize += PERF_GROW_SIZE;
            BYTE* pbMore = cbSize <= PERF_MAX_SIZE ? static_cast<BYTE*>(std::realloc(pbData, cbSize)) : nullptr;
            if (!pbMore) {
                lResult = ERROR_OUTOFMEMORY;
                break;
            }
            pbData = pbMore;
            cbBuffer = cbSize;
        }
        // A size reported beyond the buffer is not believed.
        if (lResult == ERROR_SUCCESS && cbSize > 0) {
            nCount = ReadProcesses(pbData, cbSize < cbBuffer ? cbSize : cbBuffer, nIdIndex, pRecords, nCapacity - 1);
            if (nCount == 0) std::memset(pRecords, 0, sizeof(TaskRecord) * nCapacity);
        }
    }
    std::free(pbData);
    source.pfnClose();
    return nCount;
}
