// The built-in functions of texts. Strings are bytes: positions and lengths count bytes, and
// lower(), upper() and trim() know ASCII only.
#include <cstdio>
#include <cstring>

#include "TarvoLib.h"

namespace tarvo {
namespace {

// A new string of these bytes; one too long for a string (or for memory) is error 120.
Value MakeText(Args& a, const char* p, unsigned long long qwLength) {
    KxString s(NULL_STRING);
    a.in.Reserve(s, qwLength, a.nLine);
    s.Append(p, static_cast<unsigned>(qwLength));
    return NewString(static_cast<KxString&&>(s));
}

int Length(const KxString& s) { return static_cast<int>(s.Length()); }

// A position in a text: counted from the end when negative, then kept within 0..n.
int Position(int i, int n) {
    if (i < 0) i += n;
    return i < 0 ? 0 : i > n ? n : i;
}

[[noreturn]] void Negative(Args& a, const char* pszWhat, int n) {
    KxString s(pszWhat);
    s << " " << n << " is negative";
    a.Fail(ERR_INDEX, s);
}

// Where part is found in s at or after nFrom, or -1.
int FindIn(const KxString& s, const KxString& part, int nFrom) {
    int n = Length(s), m = Length(part);
    for (int i = nFrom; i + m <= n; ++i)
        if (std::memcmp(static_cast<const char*>(s) + i, static_cast<const char*>(part), m) == 0) return i;
    return -1;
}

Value Sub(Args& a) {
    const KxString& s = a.Text(0);
    int n = Length(s);
    int nFrom = Position(a.Int(1), n);
    int nCount = n - nFrom;
    if (a.Has(2)) {
        int nWanted = a.Int(2);
        if (nWanted < 0) Negative(a, "count", nWanted);
        if (nWanted < nCount) nCount = nWanted;
    }
    return MakeText(a, static_cast<const char*>(s) + nFrom, nCount);
}

Value Find(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& part = a.Text(1);
    return Value::Int(FindIn(s, part, a.Has(2) ? Position(a.Int(2), Length(s)) : 0));
}

Value Replace(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& old = a.Text(1);
    const KxString& with = a.Text(2);
    if (old.Length() == 0) a.Fail(ERR_TYPE, "the text to replace is empty");
    unsigned long long qwCount = 0;
    for (int i = FindIn(s, old, 0); i >= 0; i = FindIn(s, old, i + Length(old))) ++qwCount;
    KxString out(NULL_STRING);
    a.in.Reserve(out, s.Length() - qwCount * old.Length() + qwCount * with.Length(), a.nLine);
    int nDone = 0;
    for (int i = FindIn(s, old, 0); i >= 0; i = FindIn(s, old, nDone)) {
        out.Append(static_cast<const char*>(s) + nDone, i - nDone);
        out << with;
        nDone = i + Length(old);
    }
    out.Append(static_cast<const char*>(s) + nDone, Length(s) - nDone);
    return NewString(static_cast<KxString&&>(out));
}

Value Split(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& sep = a.Text(1);
    int n = Length(s), m = Length(sep);
    Value out = NewList(a.in, 1, a.nLine);
    if (m == 0) {
        for (int i = 0; i < n; ++i) Push(a.in, ListObject(out), MakeText(a, static_cast<const char*>(s) + i, 1), a.nLine);
        return out;
    }
    int nStart = 0;
    for (int i = FindIn(s, sep, 0); i >= 0; i = FindIn(s, sep, nStart)) {
        Push(a.in, ListObject(out), MakeText(a, static_cast<const char*>(s) + nStart, i - nStart), a.nLine);
        nStart = i + m;
    }
    Push(a.in, ListObject(out), MakeText(a, static_cast<const char*>(s) + nStart, n - nStart), a.nLine);
    return out;
}

// A copy with each byte mapped.
template <class F>
Value Mapped(Args& a, F f) {
    const KxString& s = a.Text(0);
    Value out = MakeText(a, s, s.Length());
    char* p = const_cast<char*>(static_cast<const char*>(out.Text()));
    for (unsigned i = 0; i < s.Length(); ++i) p[i] = f(p[i]);
    return out;
}
Value Lower(Args& a) { return Mapped(a, [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }); }
Value Upper(Args& a) { return Mapped(a, [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }); }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The text without the spaces, tabs and line ends at its ends.
void Trimmed(const KxString& s, const char** pp, int* pn) {
    const char* p = s;
    int n = Length(s);
    while (n > 0 && IsSpace(*p)) ++p, --n;
    while (n > 0 && IsSpace(p[n - 1])) --n;
    *pp = p;
    *pn = n;
}

Value Trim(Args& a) {
    const char* p;
    int n;
    Trimmed(a.Text(0), &p, &n);
    return MakeText(a, p, n);
}

Value StartsWith(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& p = a.Text(1);
    return Value::Int(p.Length() <= s.Length() && std::memcmp(s, p, p.Length()) == 0);
}

Value EndsWith(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& p = a.Text(1);
    return Value::Int(p.Length() <= s.Length() &&
                      std::memcmp(static_cast<const char*>(s) + s.Length() - p.Length(), p, p.Length()) == 0);
}

Value Repeat(Args& a) {
    const KxString& s = a.Text(0);
    int n = a.Int(1);
    if (n < 0) Negative(a, "count", n);
    KxString out(NULL_STRING);
    a.in.Reserve(out, 1ull * s.Length() * n, a.nLine);
    for (int i = 0; i < n; ++i) out << s;
    return NewString(static_cast<KxString&&>(out));
}

// Decimal, or hexadecimal after 0x, with an optional sign and spaces around. Decimal numbers
// hold 32 bits with their sign; hexadecimal ones up to 0xFFFFFFFF, which wraps as a literal
// does.
Value Int(Args& a) {
    if (a[0].IsInt()) return a[0];
    const char* p;
    int n;
    Trimmed(a.Text(0), &p, &n);
    const char* pEnd = p + n;
    bool bMinus = p < pEnd && *p == '-';
    if (p < pEnd && (*p == '-' || *p == '+')) ++p;
    bool bHex = pEnd - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (bHex) p += 2;
    unsigned long long qw = 0, qwMax = bHex ? 0xFFFFFFFFull : bMinus ? 0x80000000ull : 0x7FFFFFFFull;
    bool bDigits = p < pEnd, bOver = false;
    for (; p < pEnd && bDigits; ++p) {
        int d = *p >= '0' && *p <= '9' ? *p - '0'
                : bHex && *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                : bHex && *p >= 'A' && *p <= 'F' ? *p - 'A' + 10 : -1;
        bDigits = d >= 0;
        qw = qw * (bHex ? 16 : 10) + (d < 0 ? 0 : d);
        bOver = bOver || qw > qwMax;
        if (bOver) qw = 0;
    }
    if (!bDigits) a.Fail(ERR_TYPE, Describe(a[0]) + " is not a number");
    if (bOver) a.Fail(ERR_TYPE, Describe(a[0]) + " is out of range");
    unsigned u = static_cast<unsigned>(qw);
    return Value::Int(static_cast<int>(bMinus ? 0u - u : u));
}

Value Chr(Args& a) {
    int n = a.Int(0);
    if (n < 0 || n > 255) {
        KxString s("byte value ");
        s << n << " out of range (0 to 255)";
        a.Fail(ERR_INDEX, s);
    }
    char c = static_cast<char>(n);
    return MakeText(a, &c, 1);
}

Value Ord(Args& a) {
    const KxString& s = a.Text(0);
    if (s.Length() == 0) a.Fail(ERR_INDEX, "the string is empty");
    return Value::Int(static_cast<unsigned char>(s[0]));
}

// %d, %x and %X take integers, %s any value (its short text), %% is a percent sign. Between
// the % and the letter: '-' pads on the right, '0' pads numbers with zeros, then a width.
Value Format(Args& a) {
    const KxString& f = a.Text(0);
    const char* p = f;
    const char* pEnd = p + f.Length();
    int nArg = 1;
    KxString out("");
    auto put = [&](const char* pText, unsigned long long qwLength) {
        a.in.Reserve(out, out.Length() + qwLength, a.nLine);
        out.Append(pText, static_cast<unsigned>(qwLength));
    };
    while (p < pEnd) {
        const char* pPercent = static_cast<const char*>(std::memchr(p, '%', pEnd - p));
        if (!pPercent) pPercent = pEnd;
        put(p, pPercent - p);
        if (pPercent == pEnd) break;
        p = pPercent + 1;
        bool bLeft = false, bZero = false;
        for (; p < pEnd && (*p == '-' || *p == '0'); ++p) (*p == '-' ? bLeft : bZero) = true;
        int nWidth = 0;
        for (; p < pEnd && *p >= '0' && *p <= '9'; ++p) {
            nWidth = nWidth * 10 + (*p - '0');
            if (nWidth > 1000000) a.Fail(ERR_INDEX, "a width over 1000000");
        }
        char c = p < pEnd ? *p++ : '\0';
        if (c == '%') {
            put("%", 1);
            continue;
        }
        if (c != 'd' && c != 'x' && c != 'X' && c != 's') {
            KxString s("unknown directive '%");
            s.Append(&c, c ? 1 : 0);
            s << "': write %d, %x, %X, %s or %%";
            a.Fail(ERR_TYPE, s);
        }
        if (nArg >= a.Count()) a.Fail(ERR_ARGUMENTS, "more directives than values");
        Value& v = a[nArg++];
        KxString sText(NULL_STRING);
        const char* pSign = "";
        if (c == 's') {
            sText = v.ShortText();
        } else {
            if (!v.IsInt()) a.Expected(nArg - 1, "an integer");
            char sz[16];
            unsigned u = static_cast<unsigned>(v.AsInt());
            if (c == 'd' && v.AsInt() < 0) {
                pSign = "-";
                u = 0u - u;
            }
            std::snprintf(sz, sizeof sz, c == 'd' ? "%u" : c == 'x' ? "%x" : "%X", u);
            sText = sz;
        }
        int nPad = nWidth - static_cast<int>(sText.Length() + std::strlen(pSign));
        char cPad = bZero && !bLeft && c != 's' ? '0' : ' ';
        auto pad = [&](bool bHere) {
            for (int i = 0; bHere && i < nPad; ++i) put(&cPad, 1);
        };
        pad(!bLeft && cPad == ' ');
        put(pSign, std::strlen(pSign));
        pad(cPad == '0');
        put(sText, sText.Length());
        pad(bLeft);
    }
    if (nArg < a.Count()) {
        KxString s("");
        s << (a.Count() - nArg) << (a.Count() - nArg == 1 ? " value" : " values") << " left without a directive";
        a.Fail(ERR_ARGUMENTS, s);
    }
    return NewString(static_cast<KxString&&>(out));
}

}  // namespace

const Builtin kTextLibrary[] = {
    {"sub", 2, 3, Sub},
    {"find", 2, 3, Find},
    {"replace", 3, 3, Replace},
    {"split", 2, 2, Split},
    {"lower", 1, 1, Lower},
    {"upper", 1, 1, Upper},
    {"trim", 1, 1, Trim},
    {"startsWith", 2, 2, StartsWith},
    {"endsWith", 2, 2, EndsWith},
    {"repeat", 2, 2, Repeat},
    {"int", 1, 1, Int},
    {"chr", 1, 1, Chr},
    {"ord", 1, 1, Ord},
    {"format", 1, -1, Format},
    {nullptr, 0, 0, nullptr},
};

}  // namespace tarvo
