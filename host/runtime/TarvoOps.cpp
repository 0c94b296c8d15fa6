// What values are to each other: the operators, equality and order, the same for the
// interpreter and for the built-in functions. Integers are 64-bit and never wrap: a result
// that does not fit is error 112. Any float operand makes the result a float.
#include <cmath>
#include <cstring>

#include "TarvoInterp.h"

namespace tarvo {

const char* OpText(Tok op) {
    switch (op) {
    case T_PLUS: return "+"; case T_MINUS: return "-"; case T_STAR: return "*";
    case T_SLASH: return "/"; case T_PERCENT: return "%"; case T_AMP: return "&";
    case T_BAR: return "|"; case T_CARET: return "^"; case T_LT: return "<";
    case T_LE: return "<="; case T_GT: return ">"; case T_GE: return ">=";
    case T_BANG: return "!"; case T_TILDE: return "~"; default: return "?";
    }
}

// Byte order of two texts, as memcmp gives it, the shorter first on a tie. A string without
// text (a plug-in may make one from a null text) has no bytes: it is the empty text here, as
// it is to len(), `+` and print.
int CompareText(const KxString& a, const KxString& b) {
    unsigned n = a.Length() < b.Length() ? a.Length() : b.Length();
    int c = n ? std::memcmp(static_cast<const char*>(a), static_cast<const char*>(b), n) : 0;
    if (c != 0) return c;
    return a.Length() < b.Length() ? -1 : a.Length() > b.Length() ? 1 : 0;
}

namespace {
// An integer against a float, by value, exactly: -1, 0 or 1, or 2 when the float is nan (no
// order). Integers past 2^53 do not all convert to doubles exactly, so the float is taken
// apart instead when it lies in the integers' range.
int CompareIntFloat(int64_t n, double d) {
    if (std::isnan(d)) return 2;
    if (d >= 9223372036854775808.0) return -1;
    if (d < -9223372036854775808.0) return 1;
    double dWhole = std::trunc(d);
    int64_t nWhole = static_cast<int64_t>(dWhole);
    if (n != nWhole) return n < nWhole ? -1 : 1;
    return d > dWhole ? -1 : d < dWhole ? 1 : 0;
}
}  // namespace

int CompareNumbers(const Value& a, const Value& b) {
    if (a.IsInt() && b.IsInt()) return a.AsInt() < b.AsInt() ? -1 : a.AsInt() > b.AsInt();
    if (a.IsInt()) return CompareIntFloat(a.AsInt(), b.AsFloat());
    if (b.IsInt()) {
        int c = CompareIntFloat(b.AsInt(), a.AsFloat());
        return c == 2 ? 2 : -c;
    }
    double x = a.AsFloat(), y = b.AsFloat();
    return x < y ? -1 : x > y ? 1 : x == y ? 0 : 2;
}

bool Equal(const Value& a, const Value& b) {
    if (a.IsNumber() || b.IsNumber()) return a.IsNumber() && b.IsNumber() && CompareNumbers(a, b) == 0;
    if (a.IsNil() || b.IsNil()) return a.IsNil() && b.IsNil();
    if (a.Is(HF_STRING) && b.Is(HF_STRING)) return CompareText(a.Text(), b.Text()) == 0;
    return a.Object() == b.Object();
}

KxString Named(const Value& v) {
    KxString s = v.ShortText();
    const unsigned kShown = 40;
    if (!v.Is(HF_LIST | HF_MAP) || s.Length() <= kShown) return s;
    KxString sCut(static_cast<const char*>(s), kShown);
    sCut << "...";
    return sCut;
}

KxString Describe(const Value& v) {
    if (!v.Is(HF_STRING)) return Named(v);
    const KxString& s = v.Text();
    const unsigned kShown = 32;
    KxString sOut("\"");
    sOut.Append(s, s.Length() < kShown ? s.Length() : kShown);
    sOut << (s.Length() > kShown ? "...\"" : "\"");
    return sOut;
}

namespace {
[[noreturn]] void Overflow(Interp& in, const Value& a, Tok op, const Value* pb, int nLine) {
    KxString s("integer overflow: ");
    if (pb) s << a.ShortText();
    else s << OpText(op) << "(" << a.ShortText() << ")";
    if (pb) s << " " << OpText(op) << " " << pb->ShortText();
    s << " does not fit 64 bits";
    in.Raise(ERR_OVERFLOW, s, nLine);
}

// The short texts of a and b joined. The room is asked for once, before anything is copied,
// and the text goes into its string object without another copy.
Value Join(Interp& in, const Value& a, const Value& b, int nLine) {
    KxString sA(NULL_STRING), sB(NULL_STRING);
    const KxString& tA = a.Is(HF_STRING) ? a.Text() : (sA = a.ShortText());
    const KxString& tB = b.Is(HF_STRING) ? b.Text() : (sB = b.ShortText());
    in.RaiseMemoryShort(nLine);
    KxString s(NULL_STRING);
    in.Reserve(s, 0ull + tA.Length() + tB.Length(), nLine);
    s << tA << tB;
    return NewString(static_cast<KxString&&>(s));
}

Value FloatBinary(Interp& in, Tok op, double x, double y, int nLine) {
    switch (op) {
    case T_PLUS: return Value::Float(x + y);
    case T_MINUS: return Value::Float(x - y);
    case T_STAR: return Value::Float(x * y);
    case T_SLASH:
    case T_PERCENT:
        if (y == 0) in.Raise(ERR_DIVISION_BY_ZERO, "division by zero", nLine);
        return Value::Float(op == T_SLASH ? x / y : std::fmod(x, y));
    default:
        in.Raise(ERR_TYPE, KxString("operands of '") + OpText(op) + "' must be integers, not floats", nLine);
    }
}
}  // namespace

Value Binary(Interp& in, Tok op, const Value& a, const Value& b, int nLine) {
    if (op == T_EQ) return Value::Int(Equal(a, b));
    if (op == T_NE) return Value::Int(!Equal(a, b));
    if (op == T_PLUS && (a.Is(HF_STRING) || b.Is(HF_STRING))) return Join(in, a, b, nLine);
    if (op == T_LT || op == T_LE || op == T_GT || op == T_GE) {
        int c;
        if (a.IsNumber() && b.IsNumber()) c = CompareNumbers(a, b);
        else if (a.Is(HF_STRING) && b.Is(HF_STRING)) c = CompareText(a.Text(), b.Text());
        else in.Raise(ERR_TYPE, KxString("operands of '") + OpText(op) +
                                    "' must be two numbers or two strings", nLine);
        if (c == 2) return Value::Int(0);  // nan is in no order
        bool bResult = op == T_LT ? c < 0 : op == T_LE ? c <= 0 : op == T_GT ? c > 0 : c >= 0;
        return Value::Int(bResult);
    }
    if (!a.IsNumber() || !b.IsNumber())
        in.Raise(ERR_TYPE, KxString("operands of '") + OpText(op) + "' must be numbers", nLine);
    if (a.IsFloat() || b.IsFloat()) return FloatBinary(in, op, a.AsDouble(), b.AsDouble(), nLine);
    int64_t x = a.AsInt(), y = b.AsInt(), r = 0;
    switch (op) {
    case T_PLUS:
        if (__builtin_add_overflow(x, y, &r)) Overflow(in, a, op, &b, nLine);
        return Value::Int(r);
    case T_MINUS:
        if (__builtin_sub_overflow(x, y, &r)) Overflow(in, a, op, &b, nLine);
        return Value::Int(r);
    case T_STAR:
        if (__builtin_mul_overflow(x, y, &r)) Overflow(in, a, op, &b, nLine);
        return Value::Int(r);
    case T_SLASH:
    case T_PERCENT:
        if (y == 0) in.Raise(ERR_DIVISION_BY_ZERO, "division by zero", nLine);
        // The one quotient past the range; its remainder is 0, as for any divisor -1.
        if (y == -1) {
            if (op == T_PERCENT) return Value::Int(0);
            if (x == INT64_MIN) Overflow(in, a, op, &b, nLine);
        }
        return Value::Int(op == T_SLASH ? x / y : x % y);
    case T_AMP: return Value::Int(x & y);
    case T_BAR: return Value::Int(x | y);
    case T_CARET: return Value::Int(x ^ y);
    default: return Value::Nil();
    }
}

Value Unary(Interp& in, Tok op, const Value& v, int nLine) {
    if (op == T_BANG) return Value::Int(!v.Truthy());
    if (op == T_MINUS && v.IsFloat()) return Value::Float(-v.AsFloat());
    if (!v.IsInt())
        in.Raise(ERR_TYPE, KxString("operand of '") + OpText(op) + (op == T_MINUS ? "' must be a number" : "' must be an integer"), nLine);
    if (op == T_TILDE) return Value::Int(~v.AsInt());
    if (v.AsInt() == INT64_MIN) Overflow(in, v, op, nullptr, nLine);
    return Value::Int(-v.AsInt());
}

}  // namespace tarvo
