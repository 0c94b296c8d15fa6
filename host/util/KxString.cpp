#include "KxString.h"

#include <climits>
#include <cstring>

namespace {
unsigned TextLength(const char* pszText) {
    return pszText ? static_cast<unsigned>(std::strlen(pszText)) : 0;
}
}  // namespace

KxString::KxString() : pszText(nullptr), nLength(0), nCapacity(0) { Reserve(0); }

KxString::KxString(const char* pszSource) : pszText(nullptr), nLength(0), nCapacity(0) {
    if (pszSource) Append(pszSource, TextLength(pszSource));
}

KxString::KxString(const char* pText, unsigned nCount) : pszText(nullptr), nLength(0), nCapacity(0) {
    Append(pText, nCount);
}

KxString::KxString(const KxString& sOther) : pszText(nullptr), nLength(0), nCapacity(0) {
    if (sOther.pszText) Append(sOther.pszText, sOther.nLength);
}

KxString::KxString(KxString&& sOther) noexcept
    : pszText(sOther.pszText), nLength(sOther.nLength), nCapacity(sOther.nCapacity) {
    sOther.pszText = nullptr;
    sOther.nLength = sOther.nCapacity = 0;
}

KxString::KxString(KxStringSize size) : pszText(nullptr), nLength(0), nCapacity(0) {
    Reserve(size.nSize);
}

KxString::KxString(KxNullString) : pszText(nullptr), nLength(0), nCapacity(0) {}

KxString::~KxString() { Release(); }

void KxString::Release() {
    if (nCapacity) delete[] pszText;
    pszText = nullptr;
    nLength = nCapacity = 0;
}

// Room for nNeeded bytes of text plus the NUL; the string becomes non-null.
void KxString::Reserve(unsigned nNeeded) {
    if (pszText && nNeeded < nCapacity) return;
    // Empty texts share one NUL and own no memory until text is added: most strings a
    // script makes start empty, and many stay so.
    static char szEmpty[1] = "";
    if (nNeeded == 0 && nCapacity == 0) {
        if (!pszText) pszText = szEmpty;
        return;
    }
    unsigned nNew = nCapacity ? nCapacity : 16;
    while (nNew <= nNeeded) nNew *= 2;
    char* pNew = new char[nNew];
    if (pszText) std::memcpy(pNew, pszText, nLength);
    pNew[nLength] = '\0';
    if (nCapacity) delete[] pszText;
    pszText = pNew;
    nCapacity = nNew;
}

KxString& KxString::Append(const char* pText, unsigned nCount) {
    Reserve(nLength + nCount);
    // memmove: the text may be a part of this string.
    if (nCount) std::memmove(pszText + nLength, pText, nCount);
    nLength += nCount;
    pszText[nLength] = '\0';
    return *this;
}

KxString& KxString::operator=(const KxString& sOther) {
    if (this == &sOther) return *this;
    if (!sOther.pszText) return *this = NULL_STRING;
    nLength = 0;
    return Append(sOther.pszText, sOther.nLength);
}

KxString& KxString::operator=(KxString&& sOther) noexcept {
    if (this == &sOther) return *this;
    Release();
    pszText = sOther.pszText;
    nLength = sOther.nLength;
    nCapacity = sOther.nCapacity;
    sOther.pszText = nullptr;
    sOther.nLength = sOther.nCapacity = 0;
    return *this;
}

KxString& KxString::operator=(const char* pszSource) {
    if (!pszSource) return *this = NULL_STRING;
    if (pszText && pszSource >= pszText && pszSource <= pszText + nLength) {
        KxString sCopy(pszSource);
        return *this = static_cast<KxString&&>(sCopy);
    }
    nLength = 0;
    return Append(pszSource, TextLength(pszSource));
}

KxString& KxString::operator=(KxNullString) {
    Release();
    return *this;
}

KxString KxString::operator+(const KxString& sOther) const {
    KxString sResult(KxStringSize(nLength + sOther.nLength));
    sResult.Append(pszText, nLength);
    sResult.Append(sOther.pszText, sOther.nLength);
    return sResult;
}

KxString KxString::operator+(const char* pszOther) const {
    KxString sResult(*this);
    sResult << pszOther;
    return sResult;
}

KxString& KxString::operator<<(const char* pszOther) { return Append(pszOther, TextLength(pszOther)); }

KxString& KxString::operator<<(const KxString& sOther) {
    return Append(sOther.pszText, sOther.nLength);
}

KxString& KxString::operator<<(int nValue) {
    char szDigits[16];
    char* p = szDigits + sizeof szDigits;
    // Work in unsigned so that INT_MIN has a magnitude.
    unsigned uMagnitude = nValue < 0 ? 0u - static_cast<unsigned>(nValue) : static_cast<unsigned>(nValue);
    do {
        *--p = static_cast<char>('0' + uMagnitude % 10);
        uMagnitude /= 10;
    } while (uMagnitude);
    if (nValue < 0) *--p = '-';
    return Append(p, static_cast<unsigned>(szDigits + sizeof szDigits - p));
}

bool KxString::operator==(const char* pszOther) const {
    if (!pszText || !pszOther) return !pszText && !pszOther;
    return TextLength(pszOther) == nLength && std::memcmp(pszText, pszOther, nLength) == 0;
}

bool KxString::operator==(const KxString& sOther) const {
    if (!pszText || !sOther.pszText) return !pszText && !sOther.pszText;
    return nLength == sOther.nLength && std::memcmp(pszText, sOther.pszText, nLength) == 0;
}
