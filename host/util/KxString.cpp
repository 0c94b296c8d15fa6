#include "KxString.h"

#include "KxCopyBytes.h"
#include "KxMemory.h"  // the note of memory that ran short lives here

#include <cstdint>
#include <cstring>
#include <new>

namespace {
unsigned TextLength(const char* pszText) {
    return pszText ? static_cast<unsigned>(std::strlen(pszText)) : 0;
}
int gnMemoryShort = 0;
}  // namespace

void KxNoteMemoryShort() { __atomic_store_n(&gnMemoryShort, 1, __ATOMIC_RELAXED); }
// Asked at every step of a script: a plain read first, as the exchange (a locked instruction)
// costs more than many a step.
bool KxTakeMemoryShort() {
    return __atomic_load_n(&gnMemoryShort, __ATOMIC_RELAXED) && __atomic_exchange_n(&gnMemoryShort, 0, __ATOMIC_RELAXED);
}

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
    if (!Reserve(size.nSize)) Reserve(0);
}

KxString::KxString(KxNullString) : pszText(nullptr), nLength(0), nCapacity(0) {}

KxString::~KxString() { Release(); }

// A capacity of 0 says the text is not the string's to free or to write past its end (as the
// shared empty text).
KxString KxString::Borrowing(char* pText, unsigned nLength) {
    KxString s(NULL_STRING);
    s.pszText = pText;
    s.nLength = nLength;
    return s;
}

void KxString::Release() {
    if (nCapacity) delete[] pszText;
    pszText = nullptr;
    nLength = nCapacity = 0;
}

bool KxString::Reserve(unsigned nNeeded) {
    if (pszText && nNeeded < nCapacity) return true;
    if (nNeeded > MAX_LENGTH) return false;
    // Empty texts share one NUL and own no memory until text is added: most strings a
    // script makes start empty, and many stay so.
    static char szEmpty[1] = "";
    if (nNeeded == 0 && nCapacity == 0) {
        if (!pszText) pszText = szEmpty;
        return true;
    }
    // Sizes are powers of two (up to the largest text): a heap reuses such blocks well, where
    // a string grown a little at a time would need a new size each time.
    unsigned nNew = nCapacity ? nCapacity : 16;
    while (nNew <= nNeeded) nNew = nNew <= MAX_LENGTH / 2 ? nNew * 2 : nNeeded + 1;
    char* pNew = new (std::nothrow) char[nNew];
    if (!pNew) return false;
    if (pszText) std::memcpy(pNew, pszText, nLength);
    pNew[nLength] = '\0';
    if (nCapacity) delete[] pszText;
    pszText = pNew;
    nCapacity = nNew;
    return true;
}

KxString& KxString::Append(const char* pText, unsigned nCount) {
    if (nCount > MAX_LENGTH - nLength) return *this;
    // The text may be a part of this string, whose buffer moves when it grows.
    uintptr_t uText = reinterpret_cast<uintptr_t>(pText), uOwn = reinterpret_cast<uintptr_t>(pszText);
    bool bOwn = nCapacity && uText >= uOwn && uText < uOwn + nCapacity;
    if (!Reserve(nLength + nCount)) return *this;
    if (bOwn) pText = pszText + (uText - uOwn);
    if (bOwn)
        std::memmove(pszText + nLength, pText, nCount);
    else
        KxCopyBytes(pszText + nLength, pText, nCount);
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
    // Measured first: the text may be a part of this string, which Append then moves down.
    unsigned nCount = TextLength(pszSource);
    nLength = 0;
    return Append(pszSource, nCount);
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
