// The built-in functions of lists and maps. Lists change in place; indexes count from the end
// when negative. Maps keep their keys in the order first put.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "TarvoLib.h"

namespace tarvo {
namespace {

[[noreturn]] void OutOfRange(Args& a, const char* pszWhat, int64_t i, int n) {
    KxString s(pszWhat);
    KxString sNumber;
    RtIntegerText(i, &sNumber);
    s << " " << sNumber << " out of range (" << n << (n == 1 ? " item)" : " items)");
    a.Fail(ERR_INDEX, s);
}

Value PushItem(Args& a) {
    Push(a.in, a.List(0), a[1], a.nLine);
    return Value::Nil();
}

Value Pop(Args& a) {
    KxScListObject* pList = a.List(0);
    if (pList->ItemCount() == 0) return Value::Nil();
    return Value::Adopt(pList->Take(pList->ItemCount() - 1));
}

// The new item becomes item i: from 0 to the count, or counted from the end, so that
// insert(l, -1, v) appends.
Value Insert(Args& a) {
    KxScListObject* pList = a.List(0);
    int n = pList->ItemCount();
    int64_t i = a.Int(1);
    int64_t j = i < 0 ? i + n + 1 : i;
    if (j < 0 || j > n) OutOfRange(a, "position", i, n);
    if (!pList->Reserve(1)) a.in.RaiseNoMemory(a.nLine);
    pList->Insert(static_cast<int>(j), a[2].NewHandle());
    return Value::Nil();
}

Value Remove(Args& a) {
    KxScListObject* pList = a.List(0);
    int n = pList->ItemCount();
    int64_t i = a.Int(1);
    int64_t j = i < 0 ? i + n : i;
    if (j < 0 || j >= n) OutOfRange(a, "index", i, n);
    return Value::Adopt(pList->Take(static_cast<int>(j)));
}

// A bound of a slice: counted from the end when negative, then kept within 0..n.
int Bound(int64_t i, int n) {
    if (i < 0) i += n;
    return i < 0 ? 0 : i > n ? n : static_cast<int>(i);
}

Value Slice(Args& a) {
    KxScListObject* pList = a.List(0);
    int n = pList->ItemCount();
    int nFrom = Bound(a.Int(1), n);
    int nTo = a.Has(2) ? Bound(a.Int(2), n) : n;
    Value out = NewList(a.in, nTo > nFrom ? nTo - nFrom : 0, a.nLine);
    for (int i = nFrom; i < nTo; ++i) Push(a.in, ListObject(out), Value::Share(pList->GetItem(i)), a.nLine);
    return out;
}

// The kind all keys of a sort must share: numbers (integers and floats, by value) or strings
// (by bytes). Anything else, or a mix, is error 105.
void CheckOrderable(Args& a, const Value* pKeys, int n, const char* pszWhat) {
    for (int i = 0; i < n; ++i) {
        const Value& x = pKeys[i];
        if (!x.IsNumber() && !x.Is(HF_STRING))
            a.Fail(ERR_TYPE, KxString("cannot order ") + pszWhat + Describe(x) + ": give a comparison or key function");
        if (x.IsNumber() != pKeys[0].IsNumber())
            a.Fail(ERR_TYPE, KxString("cannot order ") + pszWhat + Describe(pKeys[0]) + " and " + Describe(x));
    }
}

// Orders n places by their integers Key(i), in one block: each integer is sorted with its
// place, which breaks ties (so equal integers keep their order and no merge buffer is needed);
// then each sorted place is turned into Map(place) where it lies, and Out(k, that) takes the
// k-th. Integers that all fit 32 bits share one word with their place. (A list of 10^6 took
// six blocks, 70 MiB, whose pages faulted in again at every sort; now 8 MiB.) False when the
// block could not be had.
template <class Entry, class Key, class Map, class Out>
bool SortPlaces(int n, Key key, Map map, Out out) {
    std::unique_ptr<Entry[]> p(new (std::nothrow) Entry[n + 1]);
    if (!p) return false;
    for (int i = 0; i < n; ++i) p[i] = Entry::Make(key(i), i);
    std::sort(p.get(), p.get() + n);
    for (int i = 0; i < n; ++i) p[i].u = map(static_cast<int>(Entry::PlaceOf(p[i])));
    for (int i = 0; i < n; ++i) out(i, p[i].u);
    return true;
}
// The integer in the high half, offset so that unsigned order is the integers' order.
struct Narrow {
    uint64_t u;
    static Narrow Make(int64_t x, int i) { return {uint64_t(uint32_t(x) ^ 0x80000000u) << 32 | uint32_t(i)}; }
    static uint32_t PlaceOf(const Narrow& e) { return uint32_t(e.u); }
    bool operator<(const Narrow& o) const { return u < o.u; }
};
struct Wide {
    int64_t n;
    uint64_t u;
    static Wide Make(int64_t x, int i) { return {x, uint64_t(i)}; }
    static uint64_t PlaceOf(const Wide& e) { return e.u; }
    bool operator<(const Wide& o) const { return n < o.n || (n == o.n && u < o.u); }
};
template <class Key, class Map, class Out>
bool SortByIntegers(int n, Key key, Map map, Out out) {
    bool bNarrow = true;
    for (int i = 0; i < n && bNarrow; ++i) {
        int64_t x = key(i);
        bNarrow = x >= INT32_MIN && x <= INT32_MAX;
    }
    return bNarrow ? SortPlaces<Narrow>(n, key, map, out) : SortPlaces<Wide>(n, key, map, out);
}

// sort(l) of integers alone: the handles themselves are put in order, with nothing else held.
// False when an item is no integer.
bool SortIntegerItems(Args& a, KxScListObject* pList) {
    int n = pList->ItemCount();
    KxScDataHandle** pph = pList->Items();
    int64_t x;
    for (int i = 0; i < n; ++i)
        if (!pph[i] || !RtHandleInteger(pph[i], &x)) return false;
    auto key = [&](int i) {
        RtHandleInteger(pph[i], &x);
        return x;
    };
    auto map = [&](int i) { return reinterpret_cast<uintptr_t>(pph[i]); };
    auto out = [&](int i, uintptr_t u) { pph[i] = reinterpret_cast<KxScDataHandle*>(u); };
    if (!SortByIntegers(n, key, map, out)) a.in.RaiseNoMemory(a.nLine);
    pList->Changed();
    return true;
}

// The sort is a merge sort of the items' places, done aside: a comparison that raises an
// error leaves the list as it was, and one that is inconsistent still ends, with every item
// kept. The items are held while scripts run, since those may change the list. sort(l) orders
// the items themselves; sort(l, f) with a function of two parameters takes f(a, b) as the
// comparison, and with one of one parameter orders the items by their keys f(x), each key
// asked for once (decorate, sort, undecorate).
Value Sort(Args& a) {
    KxScListObject* pList = a.List(0);
    bool bFn = a.Has(1);
    if (bFn && !IsFunction(a[1])) a.Expected(1, "a function");
    int nParams = bFn ? FunctionParams(a[1]) : 0;
    if (bFn && nParams != 1 && nParams != 2)
        a.Fail(ERR_ARGUMENTS, "the function must take one item (a key) or two (a comparison)");
    if (!bFn && SortIntegerItems(a, pList)) return Value::Nil();
    bool bCompare = nParams == 2;
    int n = pList->ItemCount();
    std::unique_ptr<Value[]> pItems(new (std::nothrow) Value[n + 1]);
    std::unique_ptr<Value[]> pKeysMade(nParams == 1 ? new (std::nothrow) Value[n + 1] : nullptr);
    std::unique_ptr<int[]> pOrder(new (std::nothrow) int[n + 1]);
    std::unique_ptr<int[]> pTmp(new (std::nothrow) int[n + 1]);
    std::unique_ptr<KxScDataHandle*[]> pOld(new (std::nothrow) KxScDataHandle*[n + 1]);
    if (!pItems || (nParams == 1 && !pKeysMade) || !pOrder || !pTmp || !pOld) a.in.RaiseNoMemory(a.nLine);
    for (int i = 0; i < n; ++i) pItems[i] = Value::Share(pList->GetItem(i));
    unsigned nChanges = pList->Changes();
    const Value* pKeys = pItems.get();
    if (nParams == 1) {
        for (int i = 0; i < n; ++i) {
            pKeysMade[i] = a.in.CallValue(a[1], &pItems[i], 1, "sort", a.nLine);
        }
        pKeys = pKeysMade.get();
        CheckOrderable(a, pKeys, n, "the keys ");
    } else if (!bCompare) {
        CheckOrderable(a, pKeys, n, "");
    }
    auto before = [&](int i, int j) {  // item i strictly before item j
        if (!bCompare) {
            const Value &x = pKeys[i], &y = pKeys[j];
            return x.IsNumber() ? CompareNumbers(x, y) == -1 : CompareText(x.Text(), y.Text()) < 0;
        }
        Value vArgs[2] = {pItems[i], pItems[j]};
        Value r = a.in.CallValue(a[1], vArgs, 2, "sort", a.nLine);
        if (!r.IsNumber()) a.Fail(ERR_TYPE, KxString("the comparison must give a number, not ") + Describe(r));
        return r.IsInt() ? r.AsInt() < 0 : r.AsFloat() < 0;
    };
    int* v = pOrder.get();
    int* tmp = pTmp.get();
    for (int i = 0; i < n; ++i) v[i] = i;
    // Integers alone, or texts alone, are in an order no script decides: the library's sorts
    // take them. Floats (a nan is in no order) and comparisons a script gives go through the
    // merge below, which any order leaves whole; so do integers whose block could not be had.
    bool bInts = !bCompare, bTexts = !bCompare;
    for (int i = 0; i < n && (bInts || bTexts); ++i) {
        bInts = bInts && pKeys[i].IsInt();
        bTexts = bTexts && pKeys[i].Is(HF_STRING);
    }
    bool bSorted = bInts && SortByIntegers(
                                n, [&](int i) { return pKeys[i].AsInt(); }, [](int i) { return uintptr_t(i); },
                                [&](int i, uintptr_t u) { v[i] = static_cast<int>(u); });
    if (bTexts) {
        std::stable_sort(v, v + n, [&](int i, int j) { return CompareText(pKeys[i].Text(), pKeys[j].Text()) < 0; });
        bSorted = true;
    }
    for (int nWidth = 1; !bSorted && nWidth < n; nWidth = nWidth > n / 2 ? n : nWidth * 2) {
        for (int nLo = 0; nLo < n; nLo = n - nLo > 2 * nWidth ? nLo + 2 * nWidth : n) {
            int nMid = n - nLo > nWidth ? nLo + nWidth : n;
            int nHi = n - nMid > nWidth ? nMid + nWidth : n;
            int i = nLo, j = nMid, k = nLo;
            while (i < nMid && j < nHi) tmp[k++] = before(v[j], v[i]) ? v[j++] : v[i++];
            while (i < nMid) tmp[k++] = v[i++];
            while (j < nHi) tmp[k++] = v[j++];
        }
        std::swap(v, tmp);
    }
    if (pList->Changes() != nChanges) a.Fail(ERR_TYPE, "the list was changed while it was sorted");
    // The same handles in another order: each keeps its references.
    KxScDataHandle** pphItems = pList->Items();
    for (int i = 0; i < n; ++i) pOld[i] = pphItems[i];
    for (int i = 0; i < n; ++i) pphItems[i] = pOld[v[i]];
    pList->Changed();
    return Value::Nil();
}

Value Reverse(Args& a) {
    KxScListObject* pList = a.List(0);
    KxScDataHandle** pp = pList->Items();
    for (int i = 0, j = pList->ItemCount() - 1; i < j; ++i, --j) std::swap(pp[i], pp[j]);
    pList->Changed();
    return Value::Nil();
}

Value IndexOf(Args& a) {
    KxScListObject* pList = a.List(0);
    for (int i = 0; i < pList->ItemCount(); ++i)
        if (Equal(Value::Share(pList->GetItem(i)), a[1])) return Value::Int(i);
    return Value::Int(-1);
}

// The short texts of the items with the separator between them, its room asked for once.
Value Join(Args& a) {
    KxScListObject* pList = a.List(0);
    const KxString& sSep = a.Text(1);
    int n = pList->ItemCount();
    // Strings are copied from where they are, once; only the other items are put in words
    // first. (Nothing here runs script code, so the list stays as it is.)
    auto text = [](const KxScDataHandle* ph) -> const KxString* {
        return ph && (ph->wFlags & HF_STRING) && ph->Object() ? &static_cast<KxScStringObject*>(ph->Object())->sText : nullptr;
    };
    std::vector<KxString> vOthers;
    unsigned long long qwLength = n ? 1ull * sSep.Length() * (n - 1) : 0;
    for (int i = 0; i < n; ++i) {
        if (const KxString* ps = text(pList->GetItem(i))) {
            qwLength += ps->Length();
            continue;
        }
        vOthers.push_back(Value::Share(pList->GetItem(i)).ShortText());
        qwLength += vOthers.back().Length();
    }
    a.in.RaiseMemoryShort(a.nLine);
    // A short result is put together here and goes in one block with its string.
    bool bShort = qwLength <= kShortText;
    char achShort[kShortText];
    char* pShort = achShort;
    KxString s(NULL_STRING);
    if (!bShort) a.in.Reserve(s, qwLength, a.nLine);
    auto put = [&](const KxString& t) {
        if (!bShort) s << t;
        else KxCopyBytes(pShort, t, t.Length()), pShort += t.Length();
    };
    size_t nOther = 0;
    for (int i = 0; i < n; ++i) {
        if (i) put(sSep);
        const KxString* ps = text(pList->GetItem(i));
        put(ps ? *ps : vOthers[nOther++]);
    }
    if (bShort) return Value::Adopt(RtCreateText(achShort, static_cast<unsigned>(qwLength)));
    return NewString(static_cast<KxString&&>(s));
}

// The keys or the values of a map, as a new list in the map's order.
Value Entries(Args& a, bool bKeys) {
    KxScMapObject* pMap = a.Map(0);
    Value out = NewList(a.in, pMap->Count(), a.nLine);
    for (int i = pMap->Next(0); i >= 0; i = pMap->Next(i + 1))
        Push(a.in, ListObject(out), Value::Share(bKeys ? pMap->KeyAt(i) : pMap->ValueAt(i)), a.nLine);
    return out;
}
Value Keys(Args& a) { return Entries(a, true); }
Value Values(Args& a) { return Entries(a, false); }

Value Has(Args& a) { return Value::Int(a.Map(0)->Get(KeyOf(a.in, a[1], a.nLine)) != nullptr); }

Value Delete(Args& a) { return Value::Int(a.Map(0)->Delete(KeyOf(a.in, a[1], a.nLine))); }

Value Get(Args& a) {
    KxScDataHandle* ph = a.Map(0)->Get(KeyOf(a.in, a[1], a.nLine));
    if (ph) return Value::Share(ph);
    return a.Has(2) ? a[2] : Value::Nil();
}

}  // namespace

const Builtin kListLibrary[] = {
    {"push", 2, 2, PushItem},
    {"pop", 1, 1, Pop},
    {"insert", 3, 3, Insert},
    {"remove", 2, 2, Remove},
    {"slice", 2, 3, Slice},
    {"sort", 1, 2, Sort},
    {"reverse", 1, 1, Reverse},
    {"indexOf", 2, 2, IndexOf},
    {"join", 2, 2, Join},
    {"keys", 1, 1, Keys},
    {"values", 1, 1, Values},
    {"has", 2, 2, Has},
    {"delete", 2, 2, Delete},
    {"get", 2, 3, Get},
    {nullptr, 0, 0, nullptr},
};

}  // namespace tarvo
