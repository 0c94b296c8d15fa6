// Numbers past the contract's 32-bit integer handle: 64-bit integers and floats, their texts,
// and the one way plug-ins may make a 64-bit integer; the texts of lists and maps, which show
// their items as numbers and texts are written in scripts.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KxMemory.h"
#include "RtInternal.h"

__TarvoTypeInfo KxScNumberObject::_ptiTypeInfo("KxScNumber", &KxScData::_ptiTypeInfo);
__TarvoTypeInfo* KxScNumberObject::TarvoTypeInfo() { return &_ptiTypeInfo; }

KxScDataHandle* RtCreateInteger(int64_t nValue) {
    if (nValue >= INT32_MIN && nValue <= INT32_MAX) return KxScDataHandle::CreateData(static_cast<int>(nValue));
    return RtWrap(new KxScNumberObject(false, nValue, 0), HF_OBJECT | HF_NUMBER);
}

KxScDataHandle* RtCreateFloat(double dValue) {
    return RtWrap(new KxScNumberObject(true, 0, dValue), HF_OBJECT | HF_NUMBER);
}

// Plug-ins that find this function (by name, at run time) can hand scripts an integer of 64
// bits; where the runtime lacks it they must choose another form (a text) themselves.
extern "C" KXRT_API KxScDataHandle* KxScCreateInteger64(long long nValue) { return RtCreateInteger(nValue); }

void RtIntegerText(int64_t nValue, KxString* psText) {
    char sz[24];
    char* p = sz + sizeof sz;
    // In unsigned, so that the most negative value has a magnitude.
    uint64_t u = nValue < 0 ? 0 - static_cast<uint64_t>(nValue) : static_cast<uint64_t>(nValue);
    do *--p = static_cast<char>('0' + u % 10);
    while (u /= 10);
    if (nValue < 0) *--p = '-';
    *psText = KxString(p, static_cast<unsigned>(sz + sizeof sz - p));
}

// The shortest digits that read back as the same double, then laid out as a script would
// write the number: plain from 1e-4 up to 1e16, with ".0" when it has no fraction; otherwise
// with an exponent ("1e+16", "2.5e-07").
void RtFloatText(double dValue, KxString* psText) {
    if (std::isnan(dValue)) {
        *psText = "nan";
        return;
    }
    if (std::isinf(dValue)) {
        *psText = dValue < 0 ? "-inf" : "inf";
        return;
    }
    char szE[40];
    for (int nPrecision = 1; nPrecision <= 17; ++nPrecision) {
        __mingw_snprintf(szE, sizeof szE, "%.*e", nPrecision - 1, dValue);
        if (__mingw_strtod(szE, nullptr) == dValue) break;
    }
    // szE is [-]D[.DDD]e[+-]XX: the digits and the exponent apart.
    const char* p = szE;
    bool bMinus = *p == '-';
    if (bMinus) ++p;
    char szDigits[24];
    int nDigits = 0;
    for (; *p != 'e'; ++p)
        if (*p != '.') szDigits[nDigits++] = *p;
    int nExp = std::atoi(p + 1);
    while (nDigits > 1 && szDigits[nDigits - 1] == '0') --nDigits;
    KxString s(bMinus ? "-" : "");
    if (nExp >= -4 && nExp < 16) {
        if (nExp < 0) {
            s << "0.";
            for (int i = -1; i > nExp; --i) s << "0";
            s.Append(szDigits, nDigits);
        } else if (nDigits <= nExp + 1) {
            s.Append(szDigits, nDigits);
            for (int i = nDigits; i <= nExp; ++i) s << "0";
            s << ".0";
        } else {
            s.Append(szDigits, nExp + 1);
            s << ".";
            s.Append(szDigits + nExp + 1, nDigits - nExp - 1);
        }
    } else {
        s.Append(szDigits, 1);
        if (nDigits > 1) {
            s << ".";
            s.Append(szDigits + 1, nDigits - 1);
        }
        char szExp[8];
        __mingw_snprintf(szExp, sizeof szExp, "e%c%02d", nExp < 0 ? '-' : '+', nExp < 0 ? -nExp : nExp);
        s << szExp;
    }
    *psText = s;
}

bool RtParseFloat(const char* p, unsigned nLength, double* pdValue) {
    // strtod wants a NUL at the end, and must not read a hexadecimal float or "infinity"
    // spelled otherwise than the texts RtFloatText gives.
    char sz[400];
    if (nLength == 0 || nLength >= sizeof sz) return false;
    std::memcpy(sz, p, nLength);
    sz[nLength] = '\0';
    const char* pDigits = sz + (sz[0] == '-' || sz[0] == '+');
    bool bWord = std::strcmp(pDigits, "inf") == 0 || std::strcmp(pDigits, "nan") == 0;
    if (!bWord) {
        bool bDigit = false;
        for (const char* q = pDigits; *q; ++q) {
            if (*q >= '0' && *q <= '9') bDigit = true;
            else if (*q != '.' && *q != 'e' && *q != 'E' && *q != '+' && *q != '-') return false;
        }
        if (!bDigit) return false;
    }
    char* pEnd = nullptr;
    *pdValue = __mingw_strtod(sz, &pEnd);
    return pEnd == sz + nLength;
}

namespace {
// Appends what a script would write for the value: texts quoted with the language's escapes.
class Shower {
public:
    explicit Shower(KxString& s) : s(s) {}

    void Show(KxScDataHandle* ph) {
        if (Full()) return;
        int64_t n;
        if (!ph || ph->wFlags == 0) {
            Put("nil");
        } else if (RtHandleInteger(ph, &n) || (ph->wFlags & HF_NUMBER)) {
            KxString sNumber;
            ph->InfoShort(&sNumber);
            Put(sNumber, sNumber.Length());
        } else if (ph->wFlags & HF_STRING) {
            Quote(static_cast<KxScStringObject*>(ph->Object())->sText);
        } else if (ph->wFlags & (HF_LIST | HF_MAP)) {
            Container(ph);
        } else {
            KxString sText;
            ph->InfoShort(&sText);
            Put(sText, sText.Length());
        }
    }
    bool bShort = false;  // memory ran short

private:
    void Container(KxScDataHandle* ph) {
        bool bList = ph->wFlags & HF_LIST;
        // Met again inside itself: a cycle (or a depth no one reads) shows as its brackets.
        bool bAgain = nDepth >= kMaxDepth;
        for (int i = 0; i < nDepth && !bAgain; ++i) bAgain = aphOpen[i] == ph;
        if (bAgain) {
            Put(bList ? "[...]" : "{...}");
            return;
        }
        aphOpen[nDepth++] = ph;
        Put(bList ? "[" : "{");
        if (bList) {
            KxScListObject* pList = static_cast<KxScListObject*>(ph->Object());
            for (int i = 0; i < pList->ItemCount() && !Full(); ++i) {
                if (i) Put(", ");
                Show(pList->GetItem(i));
            }
        } else {
            KxScMapObject* pMap = static_cast<KxScMapObject*>(ph->Object());
            bool bFirst = true;
            for (int i = pMap->Next(0); i >= 0 && !Full(); i = pMap->Next(i + 1), bFirst = false) {
                if (!bFirst) Put(", ");
                Show(pMap->KeyAt(i));
                Put(": ");
                Show(pMap->ValueAt(i));
            }
        }
        Put(bList ? "]" : "}");
        --nDepth;
    }
    void Quote(const KxString& sText) {
        Put("\"");
        const char* p = sText;
        unsigned nRun = 0;  // bytes as they are, appended in runs
        for (unsigned i = 0; i < sText.Length() && !Full(); ++i) {
            const char* pszEscape = p[i] == '"' ? "\\\"" : p[i] == '\\' ? "\\\\" : p[i] == '\n' ? "\\n"
                                    : p[i] == '\r' ? "\\r" : p[i] == '\t' ? "\\t" : nullptr;
            if (!pszEscape) {
                ++nRun;
                continue;
            }
            Put(p + i - nRun, nRun);
            nRun = 0;
            Put(pszEscape);
        }
        Put(p + sText.Length() - nRun, nRun);
        Put("\"");
    }
    bool Full() const { return bFull || bShort; }
    void Put(const char* psz) { Put(psz, static_cast<unsigned>(std::strlen(psz))); }
    // Appends up to the limit; the text that reaches it ends with "...".
    void Put(const char* p, unsigned n) {
        if (Full()) return;
        if (s.Length() + n > kMaxShownBytes) {
            n = kMaxShownBytes - s.Length();
            bFull = true;
        }
        unsigned nBefore = s.Length();
        s.Append(p, n);
        if (bFull) s << "...";
        if (s.Length() < nBefore + n) bShort = true;
    }
    static const int kMaxDepth = 64;
    KxString& s;
    KxScDataHandle* aphOpen[kMaxDepth];
    int nDepth = 0;
    bool bFull = false;
};
}  // namespace

void RtContainerText(KxScDataHandle* ph, KxString* psText) {
    KxString s("");
    Shower shower(s);
    shower.Show(ph);
    if (shower.bShort) {
        KxNoteMemoryShort();
        s = NULL_STRING;
    }
    *psText = static_cast<KxString&&>(s);
}
