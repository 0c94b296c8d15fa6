#include <windows.h>
#include "KxMemory.h"

#include <cstdarg>
#include <cstring>

#include "RtInternal.h"

// ---- globals

namespace {
class GlobalTable : public KxHashTable {  // name -> KxScGlobalSlot*, owned
protected:
    void OnRemove(const KxString&, void* pvValue) override {
        delete static_cast<KxScGlobalSlot*>(pvValue);
    }
};
GlobalTable gGlobals;
KxDblList gSlots;  // every slot, for dropping them all at shutdown

KxScGlobalSlot* FindSlot(const KxString& sName) {
    void* pv = nullptr;
    return gGlobals.Lookup(sName, &pv) ? static_cast<KxScGlobalSlot*>(pv) : nullptr;
}
}  // namespace

KxScGlobalSlot* RtGlobalSlot(const KxString& sName) {
    KxScGlobalSlot* pSlot = FindSlot(sName);
    if (!pSlot) {
        pSlot = new KxScGlobalSlot;
        pSlot->sName = sName;
        gGlobals.Insert(sName, pSlot);
        gSlots.Add(pSlot);
    }
    return pSlot;
}

KxScDataHandle* RtSlotHandle(KxScGlobalSlot* pSlot) {
    if (pSlot->nHeld != KxScGlobalSlot::BOXED) {
        pSlot->phValue = pSlot->nHeld == KxScGlobalSlot::INT ? RtCreateInteger(pSlot->nInt) : RtCreateFloat(pSlot->dFlt);
        pSlot->nHeld = KxScGlobalSlot::BOXED;
    }
    return pSlot->phValue;
}

void RtSlotClear(KxScGlobalSlot* pSlot, bool bRelease) {
    if (pSlot->phValue && bRelease) pSlot->phValue->Drop();
    pSlot->phValue = nullptr;
    pSlot->nHeld = KxScGlobalSlot::BOXED;
    pSlot->bSetByHost = false;
}

void RtDropAllGlobals() {
    for (KxDblList::Node* pn = gSlots.First(); pn; pn = KxDblList::Next(pn))
        RtSlotClear(static_cast<KxScGlobalSlot*>(pn->pvItem), true);
    gSlots.Clear();
    gGlobals.RemoveAll();
}

bool KxScVmEnv::SetGlobalVariable(const KxString& sName, KxScDataHandle* phValue, bool bHandOver,
                                  bool bOnlyIfNew) {
    if (!phValue || sName.IsNull()) return false;
    KxScGlobalSlot* pSlot = RtGlobalSlot(sName);
    if (pSlot->HasValue() && bOnlyIfNew) return false;
    if (!bHandOver) phValue->AddRef();
    RtSlotClear(pSlot, true);
    pSlot->phValue = phValue;
    pSlot->bSetByHost = true;
    return true;
}

bool KxScVmEnv::GetGlobalVariable(const KxString& sName, KxScDataHandle** pphValue) {
    KxScGlobalSlot* pSlot = sName.IsNull() ? nullptr : FindSlot(sName);
    if (!pSlot || !pSlot->HasValue() || !pphValue) return false;
    *pphValue = RtSlotHandle(pSlot);
    return true;
}

bool KxScVmEnv::ClearGlobalVariable(const KxString& sName, bool bRelease) {
    KxScGlobalSlot* pSlot = sName.IsNull() ? nullptr : FindSlot(sName);
    if (!pSlot || !pSlot->HasValue()) return false;
    RtSlotClear(pSlot, bRelease);
    return true;
}

// ---- exceptions

KxScVmEnv::KxScVmEnv() : bPending(false), nCode(0) {}

void KxScVmEnv::ThrowException(int nCode, const KxString& sText) {
    if (bPending) return;
    bPending = true;
    this->nCode = nCode;
    this->sText = sText.IsNull() ? KxString("") : sText;
    if (this->sText.Length() != sText.Length()) KxNoteMemoryShort();  // a text kept short
}

bool KxScVmEnv::TakeException(int* pnCode, KxString* psText) {
    if (!bPending) return false;
    bPending = false;
    if (pnCode) *pnCode = nCode;
    if (psText) {
        *psText = sText;
        if (psText->Length() != sText.Length()) KxNoteMemoryShort();
    }
    return true;
}

// ---- methods

struct KxScDataMethod::Signature {
    KxStringList lTypes;
    Signature* pNext = nullptr;
};

__TarvoTypeInfo KxScDataMethod::_ptiTypeInfo("KxScDataMethod", &KxScData::_ptiTypeInfo);

KxScDataMethod::KxScDataMethod(KxScMethodFunc pfnMethod, const KxString& sQualifiedName,
                               int nParams)
    : pfnMethod(pfnMethod), sQualifiedName(sQualifiedName), nParams(nParams),
      pSignatures(nullptr), ptiClass(nullptr) {}

KxScDataMethod::~KxScDataMethod() {
    while (pSignatures) {
        Signature* pNext = pSignatures->pNext;
        delete pSignatures;
        pSignatures = pNext;
    }
}

__TarvoTypeInfo* KxScDataMethod::TarvoTypeInfo() { return &_ptiTypeInfo; }
KxString KxScDataMethod::GetClassNameA() { return KxString("Method ") + sQualifiedName; }

bool KxScDataMethod::AddTarvoMethodSignature(KxScDataObject* poClass, const char* pszMethod, int,
                                             const char* pszResultType, ...) {
    if (!poClass || !pszMethod) return false;
    KxScDataHandle* ph = nullptr;
    if (poClass->GetProperty(pszMethod, &ph) != KX_PROP_OK || !ph) return false;
    KxScDataObject* po = (ph->wFlags & HF_METHOD) ? ph->Object() : nullptr;
    ph->Drop();
    if (!po) return false;
    KxScDataMethod* pm = static_cast<KxScDataMethod*>(po);

    Signature* pSig = new Signature;
    va_list ap;
    va_start(ap, pszResultType);
    for (const char* psz; (psz = va_arg(ap, const char*)) != nullptr;) pSig->lTypes.Add(psz);
    va_end(ap);
    Signature** ppTail = &pm->pSignatures;
    while (*ppTail) ppTail = &(*ppTail)->pNext;
    *ppTail = pSig;
    return true;
}

void KxScDataMethod::BindToClass(const __TarvoTypeInfo* ptiOwner) {
    if (!ptiClass) ptiClass = ptiOwner;
}

bool KxScDataMethod::BelongsTo(KxScDataObject* poSelf) const {
    const __TarvoTypeInfo* pti = poSelf ? poSelf->TarvoTypeInfo() : nullptr;
    return ptiClass && pti && pti->IsA(ptiClass);
}

int KxScDataMethod::GetIntParam(int nIndex, int nArgs, KxScDataHandle** pphArgs) {
    if (!pphArgs || nIndex < 0 || nIndex >= nArgs || !pphArgs[nIndex]) return 0;
    KxScDataHandle* ph = pphArgs[nIndex];
    return (ph->wFlags & HF_INTEGER) ? static_cast<int>(ph->dwValue) : 0;
}

namespace {
bool IsVoid(const KxStringList& lTypes) { return lTypes.Count() == 1 && *lTypes.Get(0) == "void"; }
int TypeCount(const KxStringList& lTypes) { return IsVoid(lTypes) ? 0 : lTypes.Count(); }

// A signature's type name as scripts name the kind ("a string"), with its article.
const char* TypeWord(const KxString& sType) {
    if (sType == "String") return "a string";
    if (sType == "int" || sType == "_Integer_") return "an integer";
    return nullptr;  // a type the runtime does not check: anything fits
}

bool TypeFits(const KxString& sType, const KxScDataHandle* ph) {
    if (sType == "String") return ph && (ph->wFlags & HF_STRING) && ph->dwValue;
    if (sType == "int" || sType == "_Integer_") return ph && (ph->wFlags & HF_INTEGER);
    return true;
}
}  // namespace

bool KxScDataMethod::Accepts(int nArgs, KxScDataHandle** pphArgs) const {
    if (nParams >= 0 && nArgs != nParams) return false;
    if (!pSignatures) return true;
    for (const Signature* pSig = pSignatures; pSig; pSig = pSig->pNext) {
        if (TypeCount(pSig->lTypes) != nArgs) continue;
        bool bFits = true;
        for (int i = 0; i < nArgs && bFits; ++i) bFits = TypeFits(*pSig->lTypes.Get(i), pphArgs[i]);
        if (bFits) return true;
    }
    return false;
}

int KxScDataMethod::Misfit(int nArgs, KxScDataHandle** pphArgs, const char** ppszWanted) const {
    const Signature* pOnly = nullptr;
    for (const Signature* pSig = pSignatures; pSig; pSig = pSig->pNext) {
        if (TypeCount(pSig->lTypes) != nArgs) continue;
        if (pOnly) return -1;
        pOnly = pSig;
    }
    if (!pOnly || (nParams >= 0 && nArgs != nParams)) return -1;
    for (int i = 0; i < nArgs; ++i) {
        const KxString& sType = *pOnly->lTypes.Get(i);
        if (!TypeFits(sType, pphArgs[i])) {
            *ppszWanted = TypeWord(sType);
            return i;
        }
    }
    return -1;
}

KxString KxScDataMethod::Forms() const {
    KxString s;
    if (!pSignatures || !pSignatures->pNext) {
        int n = pSignatures ? TypeCount(pSignatures->lTypes) : nParams;
        if (n < 0) return "any number of arguments";
        s << n << (n == 1 ? " argument" : " arguments");
        if (!pSignatures || n == 0) return s;
        s << " ";
    }
    for (const Signature* pSig = pSignatures; pSig; pSig = pSig->pNext) {
        s << (pSig == pSignatures ? "(" : " or (");
        for (int i = 0; i < TypeCount(pSig->lTypes); ++i) {
            const char* pszWord = TypeWord(*pSig->lTypes.Get(i));
            s << (i ? ", " : "") << (pszWord ? strchr(pszWord, ' ') + 1 : "any value");
        }
        s << ")";
    }
    return s;
}

// ---- console

// The host's standard handles as they were when the runtime started (or first wrote, for a
// host that reports a usage error before it starts the runtime). A plug-in may point the
// process's standard handles elsewhere later: a console it allocates takes them over, and
// under a host without a console of its own that console is hidden. The user's output
// still goes where the host's went.
namespace {
HANDLE HostStdHandle(unsigned long dwStdHandle) {
    static const HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE), hOut = GetStdHandle(STD_OUTPUT_HANDLE),
                        hErr = GetStdHandle(STD_ERROR_HANDLE);
    return dwStdHandle == STD_INPUT_HANDLE ? hIn : dwStdHandle == STD_OUTPUT_HANDLE ? hOut : hErr;
}

// What was read of standard input beyond the lines handed out. The reads are made by a
// thread of their own, one at a time when asked (hAsk), so that the script's thread can stop
// waiting for one the moment the run is interrupted (hInterrupted): a read that waits in the
// system, on a pipe or a console, cannot be called off on every system. A read given up
// stays pending, and its bytes come first in the next line. The thread lives to the end of
// the process, waiting, and keeps the runtime loaded for itself.
struct StdInput {
    char ach[4096];
    unsigned nPos = 0, nHave = 0;
    bool bEnded = false;
    HANDLE hInterrupted = nullptr;  // manual-reset
    HANDLE hAsk = nullptr, hDone = nullptr, hThread = nullptr;  // auto-reset
    bool bPending = false;
    DWORD dwGot = 0;
    BOOL bRead = FALSE;
} gIn;

DWORD WINAPI ReadStdInput(void*) {
    for (;;) {
        WaitForSingleObject(gIn.hAsk, INFINITE);
        gIn.bRead = ReadFile(HostStdHandle(STD_INPUT_HANDLE), gIn.ach, sizeof gIn.ach, &gIn.dwGot, nullptr);
        SetEvent(gIn.hDone);
    }
}

// Starts the reading thread; false when the system gives none (the read is then made here).
bool StartStdReader() {
    if (gIn.hThread) return true;
    if (!gIn.hAsk) gIn.hAsk = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!gIn.hDone) gIn.hDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!gIn.hAsk || !gIn.hDone || !gIn.hInterrupted) return false;
    MEMORY_BASIC_INFORMATION mbi = {};
    char szSelf[MAX_PATH];
    if (!VirtualQuery(reinterpret_cast<const void*>(&ReadStdInput), &mbi, sizeof mbi) ||
        !GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), szSelf, sizeof szSelf) || !LoadLibraryA(szSelf))
        return false;
    DWORD dwId = 0;
    gIn.hThread = CreateThread(nullptr, 65536, ReadStdInput, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, &dwId);
    return gIn.hThread != nullptr;
}

// The next read of standard input into gIn.ach: RT_LINE when it gave bytes (gIn.dwGot).
RtStdRead ReadMore(HANDLE h) {
    if (!StartStdReader()) {
        gIn.bRead = ReadFile(h, gIn.ach, sizeof gIn.ach, &gIn.dwGot, nullptr);
    } else {
        if (!gIn.bPending) SetEvent(gIn.hAsk);
        gIn.bPending = true;
        HANDLE ah[2] = {gIn.hDone, gIn.hInterrupted};
        if (WaitForMultipleObjects(2, ah, FALSE, INFINITE) != WAIT_OBJECT_0) return RT_INTERRUPTED;
        gIn.bPending = false;
    }
    return gIn.bRead && gIn.dwGot > 0 ? RT_LINE : RT_ENDED;
}

LARGE_INTEGER gliStart, gliFrequency;
}  // namespace

void RtKeepStdHandles() {
    HostStdHandle(STD_OUTPUT_HANDLE);
    if (!gIn.hInterrupted) gIn.hInterrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    QueryPerformanceFrequency(&gliFrequency);
    QueryPerformanceCounter(&gliStart);
}

unsigned long long RtMillisecondsSinceStart() {
    LARGE_INTEGER li;
    if (!QueryPerformanceCounter(&li) || gliFrequency.QuadPart == 0) return 0;
    unsigned long long qwTicks = static_cast<unsigned long long>(li.QuadPart - gliStart.QuadPart);
    unsigned long long qwFrequency = static_cast<unsigned long long>(gliFrequency.QuadPart);
    return qwTicks / qwFrequency * 1000 + qwTicks % qwFrequency * 1000 / qwFrequency;
}

// Reads on until a line end: a console, a pipe and a file alike. A read that fails is the end
// of the input, as it is for a pipe whose writer has gone.
void RtInterruptStdRead() {
    if (gIn.hInterrupted) SetEvent(gIn.hInterrupted);
}

void RtClearStdRead() {
    if (gIn.hInterrupted) ResetEvent(gIn.hInterrupted);
}

RtStdRead RtReadStdLine(KxString* psLine) {
    *psLine = "";
    bool bAny = false;
    for (;;) {
        if (gIn.nPos == gIn.nHave) {
            HANDLE h = HostStdHandle(STD_INPUT_HANDLE);
            RtStdRead read = gIn.bEnded || h == nullptr || h == INVALID_HANDLE_VALUE ? RT_ENDED : ReadMore(h);
            // What this line had taken is lost with the run it was read for.
            if (read == RT_INTERRUPTED) return RT_INTERRUPTED;
            if (read == RT_ENDED) {
                gIn.bEnded = true;
                return bAny ? RT_LINE : RT_ENDED;
            }
            gIn.nPos = 0;
            gIn.nHave = gIn.dwGot;
        }
        bAny = true;
        const char* p = gIn.ach + gIn.nPos;
        const char* pLf = RtFindByte(p, p + (gIn.nHave - gIn.nPos), '\n');
        unsigned n = pLf ? unsigned(pLf - p) : gIn.nHave - gIn.nPos;
        unsigned nBefore = psLine->Length();
        psLine->Append(p, n);
        if (psLine->Length() != nBefore + n) KxNoteMemoryShort();
        gIn.nPos += n + (pLf ? 1 : 0);
        if (pLf) break;
    }
    if (psLine->Length() > 0 && (*psLine)[psLine->Length() - 1] == '\r')
        *psLine = KxString(*psLine, psLine->Length() - 1);
    return RT_LINE;
}

void RtWriteStd(unsigned long dwStdHandle, const char* pText, unsigned nLength) {
    HANDLE h = HostStdHandle(dwStdHandle);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    while (nLength > 0) {
        DWORD dwWritten = 0;
        if (!WriteFile(h, pText, nLength, &dwWritten, nullptr) || dwWritten == 0) return;
        pText += dwWritten;
        nLength -= dwWritten;
    }
}

void KxScConsoleManager::PrintString(const KxString& sText) {
    if (!sText.IsNull()) RtWriteStd(STD_OUTPUT_HANDLE, sText, sText.Length());
}

void KxScConsoleManager::PrintStringNl(const KxString& sText) {
    KxString sLine(sText.IsNull() ? KxString("") : sText);
    sLine << "\r\n";
    // Without the memory for the line and its end together they go in two writes.
    if (sLine.Length() != sText.Length() + 2) {
        PrintString(sText);
        sLine = "\r\n";
    }
    RtWriteStd(STD_OUTPUT_HANDLE, sLine, sLine.Length());
}

KxScConsoleManager* KxScConsoleManager::pcmManager = nullptr;

KxString RtSystemReason(unsigned long dwError) {
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND: return "file not found";
    case ERROR_PATH_NOT_FOUND: return "folder not found";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_SHARING_VIOLATION: return "in use by another program";
    default: {
        KxString s("system error ");
        s << static_cast<int>(dwError);
        return s;
    }
    }
}
