// Numbers past the contract's 32-bit integer handle: 64-bit integers and floats, their texts,
// and the one way plug-ins may make a 64-bit integer.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RtInternal.h"

__TarvoTypeInfo KxScNumberObject::_ptiTypeInfo("KxScNumber", &KxScData::_ptiTypeInfo);
__TarvoTypeInfo* KxScNumberObject::TarvoTypeInfo() { return &_ptiTypeInfo; }

KxScDataHandle* RtCreateInteger(int64_t nValue) {
    if (nValue >= INT32_MIN && nValue <= INT32_MAX) return KxScDataHandle::CreateData(static_cast<int>(nValue));
    return KxScDataHandle::CreateData(new KxScNumberObject(false, nValue, 0));
}

KxScDataHandle* RtCreateFloat(double dValue) {
    return KxScDataHandle::CreateData(new KxScNumberObject(true, 0, dValue));
}

bool RtHandleInteger(const KxScDataHandle* ph, int64_t* pnValue) {
    if (ph->wFlags & HF_INTEGER) {
        *pnValue = static_cast<int>(ph->dwValue);
        return true;
    }
    if (!(ph->wFlags & HF_NUMBER)) return false;
    const KxScNumberObject* pn = static_cast<const KxScNumberObject*>(ph->Object());
    if (pn->bFloat) return false;
    *pnValue = pn->nValue;
    return true;
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
