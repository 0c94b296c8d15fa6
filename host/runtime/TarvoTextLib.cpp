// The built-in functions of texts. Strings are bytes: positions and lengths count bytes, and
// lower(), upper() and trim() know ASCII only.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "TarvoLib.h"

namespace tarvo {
namespace {

Value MakeText(Args& a, const char* p, unsigned long long qwLength) {
    return Value::Adopt(TextHandle(a.in, p, qwLength, a.nLine));
}

int Length(const KxString& s) { return static_cast<int>(s.Length()); }

// A position in a text: counted from the end when negative, then kept within 0..n.
int Position(int64_t i, int n) {
    if (i < 0) i += n;
    return i < 0 ? 0 : i > n ? n : static_cast<int>(i);
}

[[noreturn]] void Negative(Args& a, const char* pszWhat, const Value& n) {
    KxString s(pszWhat);
    s << " " << n.ShortText() << " is negative";
    a.Fail(ERR_INDEX, s);
}

// Finds a part in a text, in time linear in both, whatever they hold. It compares at each
// place where the part's first byte stands (RtFindByte, then memcmp), which is fastest on texts
// as they come; once that has cost a few times the text's length (a part such as "aaab" in a
// run of a's), it goes on from where it is with the part's table of borders (Knuth, Morris
// and Pratt), made once for every search of the same part.
class Finder {
public:
    Finder(Args& a, const KxString& part) : a(a), p(part), m(part.Length()) {}

    // Where the part is found in s at or after nFrom (at most the length of s), or -1.
    int64_t Find(const KxString& s, unsigned nFrom) {
        const char* t = s;
        unsigned n = s.Length();
        if (m == 0) return nFrom;
        if (m > n - nFrom) return -1;
        if (!pnBorders) {
            unsigned nLast = n - m;  // the last place the part can start
            for (unsigned i = nFrom; i <= nLast;) {
                const char* pAt = RtFindByte(t + i, t + nLast + 1, p[0]);
                if (!pAt) return -1;
                i = static_cast<unsigned>(pAt - t);
                if (m == 1 || std::memcmp(t + i, p, m) == 0) return i;
                qwSpent += m;
                ++i;
                if (qwSpent > 4ull * n + 64) {
                    MakeBorders();
                    nFrom = i;
                    break;
                }
            }
            if (!pnBorders) return -1;
        }
        unsigned k = 0;
        for (unsigned i = nFrom; i < n; ++i) {
            while (k > 0 && t[i] != p[k]) k = pnBorders[k - 1];
            if (t[i] == p[k] && ++k == m) return i + 1 - m;
        }
        return -1;
    }

private:
    // pnBorders[i]: the length of the longest proper prefix of part[0..i] that also ends it.
    void MakeBorders() {
        pnBorders.reset(new (std::nothrow) unsigned[m]);
        if (!pnBorders) a.in.RaiseNoMemory(a.nLine);
        pnBorders[0] = 0;
        for (unsigned i = 1, k = 0; i < m; ++i) {
            while (k > 0 && p[i] != p[k]) k = pnBorders[k - 1];
            if (p[i] == p[k]) ++k;
            pnBorders[i] = k;
        }
    }
    Args& a;
    const char* p;
    unsigned m;
    unsigned long long qwSpent = 0;
    std::unique_ptr<unsigned[]> pnBorders;
};

Value Sub(Args& a) {
    const KxString& s = a.Text(0);
    int n = Length(s);
    int nFrom = Position(a.Int(1), n);
    int nCount = n - nFrom;
    if (a.Has(2)) {
        int64_t nWanted = a.Int(2);
        if (nWanted < 0) Negative(a, "count", a[2]);
        if (nWanted < nCount) nCount = static_cast<int>(nWanted);
    }
    return MakeText(a, static_cast<const char*>(s) + nFrom, nCount);
}

Value Find(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& part = a.Text(1);
    // At or after from: a from past the end finds nothing, not even the empty part.
    if (a.Has(2) && a.Int(2) > Length(s)) return Value::Int(-1);
    Finder finder(a, part);
    return Value::Int(finder.Find(s, a.Has(2) ? Position(a.Int(2), Length(s)) : 0));
}

Value Replace(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& old = a.Text(1);
    const KxString& with = a.Text(2);
    if (old.Length() == 0) a.Fail(ERR_TYPE, "the text to replace is empty");
    Finder finder(a, old);
    unsigned long long qwCount = 0;
    for (int64_t i = finder.Find(s, 0); i >= 0; i = finder.Find(s, static_cast<unsigned>(i) + old.Length())) ++qwCount;
    KxString out(NULL_STRING);
    a.in.Reserve(out, s.Length() - qwCount * old.Length() + qwCount * with.Length(), a.nLine);
    unsigned nDone = 0;
    for (int64_t i = finder.Find(s, 0); i >= 0; i = finder.Find(s, nDone)) {
        out.Append(static_cast<const char*>(s) + nDone, static_cast<unsigned>(i) - nDone);
        out << with;
        nDone = static_cast<unsigned>(i) + old.Length();
    }
    out.Append(static_cast<const char*>(s) + nDone, s.Length() - nDone);
    return NewString(static_cast<KxString&&>(out));
}

Value Split(Args& a) {
    const KxString& s = a.Text(0);
    const KxString& sep = a.Text(1);
    const char* t = s;
    int n = Length(s), m = Length(sep);
    // On one byte (the common case) the fields are counted first, so the list is made once
    // with room for them all, and each field goes into it as made.
    int nFields = 1;
    for (const char *p = t, *pEnd = p + n; m == 1 && (p = RtFindByte(p, pEnd, sep[0])); ++p) ++nFields;
    Value out = NewList(a.in, m == 0 ? n : nFields, a.nLine);
    KxScListObject* pList = ListObject(out);
    auto field = [&](unsigned nFrom, unsigned nTo) {
        if (!pList->Reserve(1)) a.in.RaiseNoMemory(a.nLine);
        pList->Insert(pList->ItemCount(), TextHandle(a.in, t + nFrom, nTo - nFrom, a.nLine));
    };
    if (m == 0) {
        for (int i = 0; i < n; ++i) field(i, i + 1);
        return out;
    }
    Finder finder(a, sep);
    unsigned nStart = 0;
    for (int64_t i = finder.Find(s, 0); i >= 0; i = finder.Find(s, nStart)) {
        field(nStart, static_cast<unsigned>(i));
        nStart = static_cast<unsigned>(i) + m;
    }
    field(nStart, n);
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
    int64_t n = a.Int(1);
    if (n < 0) Negative(a, "count", a[1]);
    KxString out(NULL_STRING);
    // A product past any string's length is too long, however it is counted.
    a.in.Reserve(out, s.Length() && n > KxString::MAX_LENGTH ? ~0ull : 1ull * s.Length() * n, a.nLine);
    for (int64_t i = 0; s.Length() && i < n; ++i) out << s;
    return NewString(static_cast<KxString&&>(out));
}

// Decimal, or hexadecimal after 0x, with an optional sign and spaces around. Decimal numbers
// hold 64 bits with their sign; hexadecimal ones up to 0xFFFFFFFFFFFFFFFF, which wraps as a
// literal does. A float is cut toward zero; one past the integers' range is an error.
Value Int(Args& a) {
    if (a[0].IsInt()) return a[0];
    if (a[0].IsFloat()) {
        double d = a[0].AsFloat();
        if (!(d > -9223372036854775809.0 && d < 9223372036854775808.0))
            a.Fail(ERR_TYPE, a[0].ShortText() + " is out of range");
        return Value::Int(static_cast<int64_t>(d));
    }
    const char* p;
    int n;
    Trimmed(a.Text(0), &p, &n);
    const char* pEnd = p + n;
    bool bMinus = p < pEnd && *p == '-';
    if (p < pEnd && (*p == '-' || *p == '+')) ++p;
    bool bHex = pEnd - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (bHex) p += 2;
    uint64_t qwMax = bHex ? ~0ull : bMinus ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
    uint64_t qw = 0;
    bool bDigits = p < pEnd, bOver = false;
    for (; p < pEnd && bDigits; ++p) {
        int d = *p >= '0' && *p <= '9' ? *p - '0'
                : bHex && *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                : bHex && *p >= 'A' && *p <= 'F' ? *p - 'A' + 10 : -1;
        bDigits = d >= 0;
        unsigned nBase = bHex ? 16 : 10;
        bOver = bOver || d < 0 || qw > (qwMax - d) / nBase;
        if (!bOver) qw = qw * nBase + d;
    }
    if (!bDigits) a.Fail(ERR_TYPE, Describe(a[0]) + " is not a number");
    if (bOver) a.Fail(ERR_TYPE, Describe(a[0]) + " is out of range");
    return Value::Int(static_cast<int64_t>(bMinus ? 0 - qw : qw));
}

// A float of a number, or of a text that writes one ("1.5", "2e3", "-.5", "inf", "nan",
// or an integer), spaces around allowed.
Value Float(Args& a) {
    if (a[0].IsNumber()) return Value::Float(a[0].AsDouble());
    const char* p;
    int n;
    Trimmed(a.Text(0), &p, &n);
    double d = 0;
    if (!RtParseFloat(p, static_cast<unsigned>(n), &d)) a.Fail(ERR_TYPE, Describe(a[0]) + " is not a number");
    return Value::Float(d);
}

Value Chr(Args& a) {
    int64_t n = a.Int(0);
    if (n < 0 || n > 255) {
        KxString s("byte value ");
        s << a[0].ShortText() << " out of range (0 to 255)";
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

// %d, %x and %X take integers, %f, %e and %g numbers, %s any value (its short text), %% is a
// percent sign. Between the % and the letter: '-' pads on the right, '0' pads numbers with
// zeros, then a width, then for %f, %e and %g a precision ('.' and digits, 6 by default).
Value Format(Args& a) {
    const KxString& f = a.Text(0);
    const char* p = f;
    const char* pEnd = p + f.Length();
    int nArg = 1;
    KxString out(KxStringSize(f.Length() + 32));
    auto put = [&](const char* pText, unsigned long long qwLength) {
        a.in.Reserve(out, out.Length() + qwLength, a.nLine);
        out.Append(pText, static_cast<unsigned>(qwLength));
    };
    while (p < pEnd) {
        const char* pPercent = RtFindByte(p, pEnd, '%');
        if (!pPercent) pPercent = pEnd;
        put(p, pPercent - p);
        if (pPercent == pEnd) break;
        p = pPercent + 1;
        bool bLeft = false, bZero = false;
        for (; p < pEnd && (*p == '-' || *p == '0'); ++p) (*p == '-' ? bLeft : bZero) = true;
        int nWidth = 0, nPrecision = -1;
        for (; p < pEnd && *p >= '0' && *p <= '9'; ++p) {
            nWidth = nWidth * 10 + (*p - '0');
            if (nWidth > 1000000) a.Fail(ERR_INDEX, "a width over 1000000");
        }
        if (p < pEnd && *p == '.') {
            for (nPrecision = 0, ++p; p < pEnd && *p >= '0' && *p <= '9'; ++p) {
                nPrecision = nPrecision * 10 + (*p - '0');
                if (nPrecision > 100) a.Fail(ERR_INDEX, "a precision over 100");
            }
        }
        char c = p < pEnd ? *p++ : '\0';
        if (c == '%') {
            put("%", 1);
            continue;
        }
        bool bFloat = c == 'f' || c == 'e' || c == 'g';
        if (c != 'd' && c != 'x' && c != 'X' && c != 's' && !bFloat) {
            KxString s("unknown directive '%");
            s.Append(&c, c ? 1 : 0);
            s << "': write %d, %x, %X, %f, %e, %g, %s or %%";
            a.Fail(ERR_TYPE, s);
        }
        if (nPrecision >= 0 && !bFloat) a.Fail(ERR_TYPE, "a precision goes with %f, %e or %g only");
        if (nArg >= a.Count()) a.Fail(ERR_ARGUMENTS, "more directives than values");
        Value& v = a[nArg++];
        // The value's text: a string's own, a number's written into sz, any other value's
        // short text.
        char sz[440];  // the widest: %.100f of 1e308
        const char* pText = sz;
        unsigned nText = 0;
        KxString sShort(NULL_STRING);
        const char* pSign = "";
        if (c == 's' && v.Is(HF_STRING)) {
            pText = v.Text();
            nText = v.Text().Length();
        } else if (c == 's') {
            sShort = v.ShortText();
            a.in.RaiseMemoryShort(a.nLine);
            pText = sShort;
            nText = sShort.Length();
        } else if (bFloat) {
            if (!v.IsNumber()) a.Expected(nArg - 1, "a number");
            double d = v.AsDouble();
            if (std::signbit(d) && !std::isnan(d)) {
                pSign = "-";
                d = -d;
            }
            const char szFormat[] = {'%', '.', '*', c, '\0'};
            nText = static_cast<unsigned>(__mingw_snprintf(sz, sizeof sz, szFormat, nPrecision < 0 ? 6 : nPrecision, d));
        } else {
            if (!v.IsInt()) a.Expected(nArg - 1, "an integer");
            uint64_t u = static_cast<uint64_t>(v.AsInt());
            if (c == 'd' && v.AsInt() < 0) {
                pSign = "-";
                u = 0 - u;
            }
            const char* pszDigits = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            unsigned nBase = c == 'd' ? 10 : 16;
            char* pDigit = sz + sizeof sz;
            do {
                *--pDigit = pszDigits[u % nBase];
                u /= nBase;
            } while (u);
            pText = pDigit;
            nText = static_cast<unsigned>(sz + sizeof sz - pDigit);
        }
        int nPad = nWidth - static_cast<int>(nText + std::strlen(pSign));
        char cPad = bZero && !bLeft && c != 's' ? '0' : ' ';
        auto pad = [&](bool bHere) {
            char achPad[64];
            std::memset(achPad, cPad, sizeof achPad);
            for (int n = bHere ? nPad : 0; n > 0; n -= 64) put(achPad, n < 64 ? n : 64);
        };
        pad(!bLeft && cPad == ' ');
        put(pSign, std::strlen(pSign));
        pad(cPad == '0');
        put(pText, nText);
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

const char kSplit[] = "split";

bool NextField(Interp& in, const Value& text, char cSeparator, Value& place, Value* pField, int nLine) {
    const KxString& s = text.Text();
    int64_t i = place.AsInt();
    if (i > s.Length()) return false;
    const char *p = static_cast<const char*>(s) + i, *pEnd = static_cast<const char*>(s) + s.Length();
    const char* pAt = RtFindByte(p, pEnd, cSeparator);
    if (!pAt) pAt = pEnd;
    Value field = Value::Adopt(TextHandle(in, p, pAt - p, nLine));
    // As split() would: a field memory could not hold is error 121 here, on the loop's line.
    in.RaiseMemoryShort(nLine);
    *pField = std::move(field);
    place.SetInt(pAt - static_cast<const char*>(s) + 1);
    return true;
}

const Builtin kTextLibrary[] = {
    {"sub", 2, 3, Sub},
    {"find", 2, 3, Find},
    {"replace", 3, 3, Replace},
    {kSplit, 2, 2, Split},
    {"lower", 1, 1, Lower},
    {"upper", 1, 1, Upper},
    {"trim", 1, 1, Trim},
    {"startsWith", 2, 2, StartsWith},
    {"endsWith", 2, 2, EndsWith},
    {"repeat", 2, 2, Repeat},
    {"int", 1, 1, Int},
    {"float", 1, 1, Float},
    {"chr", 1, 1, Chr},
    {"ord", 1, 1, Ord},
    {"format", 1, -1, Format},
    {nullptr, 0, 0, nullptr},
};

}  // namespace tarvo
