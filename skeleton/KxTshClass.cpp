#include "KxTshClass.h"

#include "KxThread.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

// The value handle as the 32-bit runtime lays it out, which the plug-in reads and writes.
static_assert(sizeof(void*) != 4 || sizeof(KxScDataHandle) == 8, "KxScDataHandle");
static_assert(offsetof(KxScDataHandle, wRefCount) == 0 && offsetof(KxScDataHandle, wFlags) == 2 &&
                  (sizeof(void*) != 4 || offsetof(KxScDataHandle, dwValue) == 4),
              "KxScDataHandle fields");

namespace KxTsh {

// The string's length after the append tells whether the whole part went in: the utility
// library's string leaves itself as it was when it cannot grow.
void Append(KxString& sText, const char* pText, unsigned nLength) {
    unsigned nBefore = sText.Length();
    if ((!pText && nLength) || nLength > KxString::MAX_LENGTH - nBefore) throw std::bad_alloc();
    sText.Append(pText, nLength);
    if (sText.IsNull() || sText.Length() != nBefore + nLength) throw std::bad_alloc();
}

void Append(KxString& sText, const KxString& sPart) { Append(sText, sPart, sPart.Length()); }

void Append(KxString& sText, const char* pszPart) {
    Append(sText, pszPart, pszPart ? static_cast<unsigned>(std::strlen(pszPart)) : 0);
}

void Append(KxString& sText, int nValue) {
    char szDigits[16];
    int n = std::snprintf(szDigits, sizeof szDigits, "%d", nValue);
    Append(sText, szDigits, static_cast<unsigned>(n));
}

bool SystemTakes(const KxString& sText, unsigned nAdded) {
    const char* pText = sText;
    unsigned nLength = sText.Length();
    if (!pText || std::memchr(pText, 0, nLength)) return false;
    if (nLength <= kMaxSystemText - nAdded) return true;
    // Longer in bytes: in a double-byte code page it may still be short enough in characters.
    int nChars = MultiByteToWideChar(CP_ACP, 0, pText, static_cast<int>(nLength), nullptr, 0);
    return nChars > 0 && static_cast<unsigned>(nChars) <= kMaxSystemText - nAdded;
}

bool CommandLineTakes(const KxString& sLine) {
    const char* pLine = sLine;
    if (!pLine || pLine[0] == '"' || !std::strpbrk(pLine, " \t")) return SystemTakes(sLine, 0);
    // The line's first word as the program: when it names one, the system takes that and
    // adds nothing; otherwise it may take spaces into the program's path, and quote it.
    size_t nFirst = std::strcspn(pLine, " \t");
    char szFound[MAX_PATH];
    KxString sFirst(pLine, static_cast<unsigned>(nFirst));
    bool bNamesProgram = nFirst < MAX_PATH && sFirst.Length() == nFirst &&
                         SearchPathA(nullptr, sFirst, ".exe", MAX_PATH, szFound, nullptr) != 0;
    return SystemTakes(sLine, bNamesProgram ? 0 : 2);
}

bool PathTakes(const KxString& sPath) {
    if (!SystemTakes(sPath)) return false;
    const char* p = sPath;
    if (std::strncmp(p, "\\\\?\\", 4) == 0) p += 4;
    return !std::strpbrk(p, "?*");
}

unsigned FilePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

std::unique_ptr<wchar_t[]> ToWide(unsigned nPage, const KxString& sText) {
    // With its NUL: the empty text converts too.
    int nBytes = static_cast<int>(sText.Length()) + 1;
    int nChars = sText.IsNull() ? 0 : MultiByteToWideChar(nPage, 0, sText, nBytes, nullptr, 0);
    if (nChars <= 0) return nullptr;
    std::unique_ptr<wchar_t[]> pw(new wchar_t[nChars]);
    if (MultiByteToWideChar(nPage, 0, sText, nBytes, pw.get(), nChars) != nChars) return nullptr;
    return pw;
}

namespace {
// Room for n items: the small array when it is enough, else a new one that big keeps.
template <class C, size_t N>
C* Room(C (&aSmall)[N], std::unique_ptr<C[]>& pBig, size_t n) {
    if (n <= N) return aSmall;
    pBig.reset(new C[n]);
    return pBig.get();
}

// The characters in the code page, written to pBytes (room for three bytes each: UTF-8 takes
// that many for a UTF-16 unit, the double-byte code pages two); with bExact only when the page
// holds them exactly, their bytes converting back to them. The number of bytes, or -1.
// Characters below 128 are the same bytes in every code page the system's ANSI functions use.
int Converted(unsigned nPage, const wchar_t* pw, int nChars, bool bExact, char* pBytes) {
    bool bAscii = true;
    for (int i = 0; i < nChars; ++i) {
        pBytes[i] = static_cast<char>(pw[i]);
        bAscii = bAscii && pw[i] < 0x80;
    }
    if (bAscii) return nChars;
    int nBytes = WideCharToMultiByte(nPage, 0, pw, nChars, pBytes, 3 * nChars, nullptr, nullptr);
    if (nBytes <= 0) return -1;
    if (!bExact) return nBytes;
    wchar_t awSmall[MAX_PATH];
    std::unique_ptr<wchar_t[]> pwBig;
    wchar_t* pwBack = Room(awSmall, pwBig, nChars);
    bool bSame = MultiByteToWideChar(nPage, 0, pBytes, nBytes, pwBack, nChars) == nChars &&
                 std::memcmp(pwBack, pw, nChars * sizeof *pw) == 0;
    return bSame ? nBytes : -1;
}
}  // namespace

bool FromSystem(unsigned nPage, const wchar_t* pwText, int nChars, KxString& sText) {
    char achSmall[3 * MAX_PATH];
    std::unique_ptr<char[]> pBig;
    char* pBytes = Room(achSmall, pBig, 3 * static_cast<size_t>(nChars));
    int nBytes = Converted(nPage, pwText, nChars, true, pBytes);
    bool bExact = nBytes >= 0;
    if (!bExact) {
        // Character by character (a surrogate pair is one), each exactly or as '?'.
        nBytes = 0;
        for (int i = 0, n = 1; i < nChars; i += n) {
            n = IS_HIGH_SURROGATE(pwText[i]) && i + 1 < nChars && IS_LOW_SURROGATE(pwText[i + 1]) ? 2 : 1;
            int nOne = Converted(nPage, pwText + i, n, true, pBytes + nBytes);
            if (nOne < 0) pBytes[nBytes] = '?';
            nBytes += nOne < 0 ? 1 : nOne;
        }
    }
    sText = Join("");
    Append(sText, pBytes, static_cast<unsigned>(nBytes));
    return bExact;
}

KxString AsSystemGives(unsigned nPage, const wchar_t* pwText, int nChars) {
    char achSmall[3 * MAX_PATH];
    std::unique_ptr<char[]> pBig;
    char* pBytes = Room(achSmall, pBig, 3 * static_cast<size_t>(nChars));
    int nBytes = Converted(nPage, pwText, nChars, false, pBytes);
    if (nBytes < 0) return NULL_STRING;
    KxString sText = Join("");
    Append(sText, pBytes, static_cast<unsigned>(nBytes));
    return sText;
}

void (*LookUpFunction(void* hModule, const char* pszName))() {
    return hModule ? reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(hModule), pszName)) : nullptr;
}

bool NoUnicode() { return GetLastError() == ERROR_CALL_NOT_IMPLEMENTED; }

void Raise(int nCode, const KxString& sText) {
    KxThread* pThread = KxThread::GetThread();
    if (KxScVmEnv* pEnv = pThread ? pThread->GetVmEnv() : nullptr) pEnv->ThrowException(nCode, sText);
}

void Raise(int nCode, const char* pszText) { Raise(nCode, Join(pszText)); }

void RaiseNoMemory(const KxString& sClassName, int nCode, const char* pszName, const char* pszAfter) {
    KxString sText(sClassName);
    sText << "::" << pszName << pszAfter << ": Not enough memory.";
    Raise(nCode, sText);
}

const char* MethodName(const KxTshClassDef& def, KxScMethodFunc pfnEntry) {
    for (const KxTshMethodDef& m : def.methods)
        if (m.pfnMethod == pfnEntry) return m.pszName;
    return "";
}

// Only a string object's text is read: any other object in a string's place gives no text,
// whatever host passed it.
KxScDataHandle* Arg(int nArgs, KxScDataHandle** pphArgs, int i) {
    return pphArgs && i < nArgs ? pphArgs[i] : nullptr;
}

// A string whose text is the null string (the name of a closed folder reader, say) is the
// empty text: every system call the classes make with a text then gets a real one, and fails
// or succeeds on it as on any other empty name.
const KxString* TextArg(int nArgs, KxScDataHandle** pphArgs, int i) {
    static const KxString sEmpty("");
    KxScDataHandle* phArg = Arg(nArgs, pphArgs, i);
    if (!phArg || !(phArg->wFlags & HF_STRING) || !phArg->dwValue) return nullptr;
    const KxString& sText = static_cast<KxScStringObject*>(phArg->Object())->sText;
    return sText.IsNull() ? &sEmpty : &sText;
}

KxString TextArg(int nArgs, KxScDataHandle** pphArgs, int i, const KxString& sAbsent) {
    const KxString* ps = TextArg(nArgs, pphArgs, i);
    return Join(ps ? *ps : sAbsent);
}

bool IntArg(int nArgs, KxScDataHandle** pphArgs, int i, int* pnValue) {
    KxScDataHandle* phArg = Arg(nArgs, pphArgs, i);
    if (!phArg || !(phArg->wFlags & HF_INTEGER)) return false;
    *pnValue = static_cast<int>(phArg->dwValue);
    return true;
}

KxScDataHandle* Bool(bool bValue) {
    KxScDataHandle* ph = KxScDataHandle::CreateData(0);
    ph->dwValue = bValue ? 1 : 0;
    return ph;
}

KxScDataHandle* Record(std::initializer_list<Field> fields) {
    // The names first: nothing is made when one cannot be.
    KxString asNames[12];
    if (fields.size() > sizeof asNames / sizeof *asNames) throw std::bad_alloc();
    KxString* psName = asNames;
    for (const Field& f : fields) *psName++ = Join(f.pszName);
    KxScDataObject* po = new KxScDataObject(KxScDataObject::KXO_SCRIPT_CLASS);
    KxScDataHandle* ph = KxScDataHandle::CreateData(po);
    try {
        psName = asNames;
        for (const Field& f : fields)
            po->SetProperty(ph, *psName++,
                            f.pfnMake   ? f.pfnMake(f.pvFrom)
                            : f.pszText ? KxScDataHandle::CreateData(Join(f.pszText), false)
                                        : KxScDataHandle::CreateData(f.nValue),
                            true);
    } catch (const std::bad_alloc&) {
        ph->Drop();
        throw;
    }
    ph->wFlags |= HF_FIXED;
    return ph;
}

KxString PreludeText(const KxTshTable<KxTshConstant>& constants) {
    KxString sText("");
    for (const KxTshConstant& c : constants) {
        Append(sText, "global ");
        Append(sText, c.pszName);
        Append(sText, " = ");
        Append(sText, c.nValue);
        Append(sText, ";");
    }
    return sText;
}

void RegisterMethods(KxScObject* poClass, bool bIsClassObject, const KxString& sClassName,
                     const KxTshClassDef& def) {
    for (const KxTshMethodDef& m : def.methods) {
        KxString sQualified = Join(sClassName, "::", m.pszName);
        KxScDataHandle* ph = KxScDataHandle::CreateData(m.pfnMethod, sQualified, m.nParams);
        if (bIsClassObject) {
            poClass->KxScObject::SetProperty(nullptr, m.pszName, ph, true);
        } else {
            ph->Drop();
        }
    }
    for (const KxTshSignatureDef& s : def.signatures)
        KxScDataMethod::AddTarvoMethodSignature(poClass, s.pszMethod, 0, nullptr, s.apszTypes[0],
                                                s.apszTypes[1], s.apszTypes[2], nullptr);
}

KxScPropTokenTable* MakeTokenTable(const KxTshClassDef& def) {
    KxScPropTokenTable* ppt = new KxScPropTokenTable;
    int nToken = 0;
    for (const char* pszName : def.tokens) ppt->AddToken(pszName, nToken++);
    return ppt;
}

// Whether the names are the same but for the case of A to Z.
bool SameLetters(const char* pA, const char* pB) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (; *pA && lower(*pA) == lower(*pB); ++pA, ++pB) {
    }
    return lower(*pA) == lower(*pB);
}

// Each item joins the tree as soon as it is made, so that a description left unfinished for
// want of memory goes as a whole. A record's field shows as a property "Method().field".
void Describe(const KxString& sClassName, const KxTshClassDef& def) {
    std::unique_ptr<KxScClassInfo> pci(new KxScClassInfo(sClassName));
    for (const KxTshMethodDef& m : def.methods) {
        unsigned nCounts = 0;  // a bit for each count of parameters described
        for (const KxTshMethodDoc& doc : def.methodDocs) {
            if (std::strcmp(doc.pszName, m.pszName) != 0) continue;
            KxScCiMethod* pmi = new KxScCiMethod(doc.pszName);
            pci->AddMethod(pmi);
            int nParams = 0;
            for (const KxTshParamDoc& param : doc.aParams) {
                if (!param.pszText) break;
                KxScMethodParameterInfo* ppi = new KxScMethodParameterInfo(param.pszText, false);
                pmi->AddParameter(ppi);
                if (param.pszHelp) ppi->AppendHelpText(param.pszHelp);
                ++nParams;
            }
            nCounts |= 1u << nParams;
        }
        for (const KxTshSignatureDef& s : def.signatures) {
            int nParams = 0;
            while (nParams < 3 && s.apszTypes[nParams] && std::strcmp(s.apszTypes[nParams], "void") != 0) ++nParams;
            if (std::strcmp(s.pszMethod, m.pszName) != 0 || (nCounts & (1u << nParams))) continue;
            KxScCiMethod* pmi = new KxScCiMethod(m.pszName);
            pci->AddMethod(pmi);
            for (int i = 0; i < nParams; ++i) pmi->AddParameter(new KxScMethodParameterInfo(s.apszTypes[i], false));
            nCounts |= 1u << nParams;
        }
        if (nCounts == 0) pci->AddMethod(new KxScCiMethod(m.pszName));
    }
    for (const char* pszToken : def.tokens) {
        const char* pszName = pszToken;
        for (const char* pszSpelled : def.propertyDocs)
            if (SameLetters(pszSpelled, pszToken)) pszName = pszSpelled;
        pci->AddProperty(new KxScCiProperty(pszName));
    }
    for (const KxTshMethodDoc& doc : def.methodDocs)
        for (const char* pszField : doc.fields) pci->AddProperty(new KxScCiProperty(Join(doc.pszName, "().", pszField)));
    KxScDataObject::AddClassInfo(pci.release());
}

void Publish(KxScDataObject* poClass, const KxString& sClassName) {
    KxScDataHandle* ph = KxScDataHandle::CreateData(poClass);
    if (KxScDataObject* poParent = poClass->GetParentClass()) poParent->AddChildClass(ph);
    ph->wFlags |= HF_FIXED;
    KxScVmEnv::SetGlobalVariable(sClassName, ph, true, false);
    KxScDataObject::RegisterClassObject(sClassName, ph);
}

void Withdraw(const KxString& sClassName) {
    KxScDataObject::UnregisterClassObject(sClassName);
    KxScDataHandle* ph = nullptr;
    KxScVmEnv::GetGlobalVariable(sClassName, &ph);
    if (!ph) return;
    ph->wFlags &= ~HF_FIXED;
    KxScVmEnv::ClearGlobalVariable(sClassName, false);
    ph->Drop();
}

}  // namespace KxTsh
