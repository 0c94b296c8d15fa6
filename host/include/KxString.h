#pragma once
#include "KxUtilApi.h"

// Request for an empty string with room reserved: KxString s(KxStringSize(256));
struct KxStringSize {
    explicit KxStringSize(unsigned nSize) : nSize(nSize) {}
    unsigned nSize;
};

// The null string: distinct from the empty string "".
struct KxNullString {};
constexpr KxNullString NULL_STRING{};

// An owning text value.
// Choices of this library:
// - The default string is empty (""), not null. A null text pointer gives the null string.
// - The null string converts to a null pointer; every other string to its NUL-ended text.
// - Comparison is exact, byte for byte and case-sensitive; the null string equals only a
//   null text or another null string.
// - `<<` and `+` on the null string treat it as empty; the result is never null.
// - The length is kept, so texts may hold NUL bytes when built with Append.
// - A text is at most MAX_LENGTH bytes. Growth past that, or past what memory can give, is
//   not done: Append then leaves the string as it was, and Reserve answers false. Callers
//   that must not lose text ask Reserve first, or compare the length after.
// - Appending a part of the string itself is fine, also when the buffer moves.
class KXUTIL_API KxString {
public:
    static const unsigned MAX_LENGTH = 0x7FFFFFFF;

    KxString();
    KxString(const char* pszText);
    KxString(const char* pText, unsigned nLength);
    KxString(const KxString& sOther);
    KxString(KxString&& sOther) noexcept;
    explicit KxString(KxStringSize size);
    KxString(KxNullString);
    ~KxString();

    KxString& operator=(const KxString& sOther);
    KxString& operator=(KxString&& sOther) noexcept;
    KxString& operator=(const char* pszText);
    KxString& operator=(KxNullString);

    KxString operator+(const KxString& sOther) const;
    KxString operator+(const char* pszText) const;

    KxString& operator<<(const char* pszText);
    KxString& operator<<(const KxString& sOther);
    KxString& operator<<(int nValue);
    KxString& Append(const char* pText, unsigned nLength);

    bool operator==(const char* pszText) const;
    bool operator==(const KxString& sOther) const;
    bool operator!=(const char* pszText) const { return !(*this == pszText); }
    bool operator!=(const KxString& sOther) const { return !(*this == sOther); }
    bool operator==(KxNullString) const { return pszText == nullptr; }
    bool operator!=(KxNullString) const { return pszText != nullptr; }

    operator const char*() const { return pszText; }
    operator char*() { return pszText; }

    unsigned Length() const { return nLength; }
    bool IsNull() const { return pszText == nullptr; }
    // Room for a text of nLength bytes; the string becomes non-null. False, with nothing
    // changed, when nLength is over MAX_LENGTH or the memory cannot be had.
    bool Reserve(unsigned nLength);
    // A string over nLength bytes at pText, followed by a NUL, that it does not own: they must
    // outlive it, and its first change takes a buffer of its own (copies own theirs). The
    // runtime keeps a short text in one block with its value's object.
    static KxString Borrowing(char* pText, unsigned nLength);
    // True for a string made by Borrowing that still borrows pText (no change has given it a
    // buffer of its own).
    bool Borrows(const char* pText) const { return pszText == pText && nCapacity == 0; }
    // A borrowing string borrows nLength bytes at the same place from now on.
    void BorrowLength(unsigned nNewLength) { nLength = nNewLength; }

private:
    void Release();

    char* pszText;
    unsigned nLength;
    unsigned nCapacity;
};
