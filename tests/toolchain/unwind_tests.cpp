// The compiler's unwind data, with none of our code: an exception must give every caller back
// the registers it saved. This went wrong once on x86_64: a function that read its frame
// address got a frame pointer set before its stack was allocated, and the compiler recorded
// where it saved xmm6/xmm7 from the allocated stack, while the unwinder reads those offsets
// from the frame pointer's base (as the x64 unwind format defines them). The interpreter kept
// a caller's locals in those registers (the fuzz in plugin_tests checks that every caller
// finds its locals after errors caught deeper down).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The x64 unwind data of one image file: for each function whose frame pointer is set before
// the last stack allocation of its prologue and that saves registers by offset, its start.
// Such offsets are read from the frame pointer's base, which lies above that allocation, so
// they cannot be right (an offset is unsigned).
std::vector<unsigned> MisplacedSaves(const std::string& sPath, int* pnFramed) {
    std::vector<unsigned> vBad;
    HANDLE h = CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return vBad;
    std::vector<unsigned char> v(GetFileSize(h, nullptr));
    DWORD dwRead = 0;
    ReadFile(h, v.data(), static_cast<DWORD>(v.size()), &dwRead, nullptr);
    CloseHandle(h);
    auto pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(v.data());
    auto pNt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(v.data() + pDos->e_lfanew);
    auto pSections = IMAGE_FIRST_SECTION(pNt);
    auto At = [&](DWORD dwRva) -> const unsigned char* {
        for (int i = 0; i < pNt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = pSections[i];
            if (dwRva >= s.VirtualAddress && dwRva < s.VirtualAddress + s.SizeOfRawData)
                return v.data() + s.PointerToRawData + (dwRva - s.VirtualAddress);
        }
        return nullptr;
    };
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
    auto pFunctions = reinterpret_cast<const RUNTIME_FUNCTION*>(At(dir.VirtualAddress));
    for (DWORD i = 0; pFunctions && i < dir.Size / sizeof(RUNTIME_FUNCTION); ++i) {
        const unsigned char* pInfo = At(pFunctions[i].UnwindData);
        if (!pInfo || (pInfo[3] & 0x0F) == 0) continue;  // no frame register
        ++*pnFramed;
        // Codes come last first: an allocation seen before the frame is set came after it.
        bool bAllocatedAfterFrame = false, bFrameSeen = false, bSavesByOffset = false;
        for (int c = 0; c < pInfo[2];) {
            int nOp = pInfo[4 + 2 * c + 1] & 0x0F, nInfo = pInfo[4 + 2 * c + 1] >> 4;
            int nSlots = 1;
            switch (nOp) {
            case 1: nSlots = nInfo == 0 ? 2 : 3; [[fallthrough]];  // large allocation
            case 2: bAllocatedAfterFrame |= !bFrameSeen; break;     // small allocation
            case 3: bFrameSeen = true; break;                        // frame pointer set
            case 4: case 8: nSlots = 2; bSavesByOffset = true; break;   // saves by offset
            case 5: case 9: nSlots = 3; bSavesByOffset = true; break;   // ... far
            }
            c += nSlots;
        }
        if (bAllocatedAfterFrame && bSavesByOffset) vBad.push_back(pFunctions[i].BeginAddress);
    }
    return vBad;
}

TEST(Toolchain, EveryFunctionOfOurProgramsSavesRegistersWhereItsUnwindDataSays) {
    char szSelf[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::string sFolder(szSelf, std::strrchr(szSelf, '\\') + 1);
    int nFiles = 0, nFramed = 0;
    for (const char* pszPattern : {"*.dll", "*.exe"}) {
        WIN32_FIND_DATAA fd;
        HANDLE hFind = FindFirstFileA((sFolder + pszPattern).c_str(), &fd);
        if (hFind == INVALID_HANDLE_VALUE) continue;
        do {
            ++nFiles;
            for (unsigned dwStart : MisplacedSaves(sFolder + fd.cFileName, &nFramed))
                ADD_FAILURE() << fd.cFileName << ": the function at RVA 0x" << std::hex << dwStart
                              << " records its saved registers from the wrong base";
        } while (FindNextFileA(hFind, &fd));
        FindClose(hFind);
    }
    EXPECT_GT(nFiles, 5);
    EXPECT_GT(nFramed, 0);  // the scan did see functions with a frame pointer
}

}  // namespace
