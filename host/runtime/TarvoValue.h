#pragma once
// The interpreter's values: integers (64-bit), floats and nil are held unboxed; everything else is a value
// handle of which the Value holds one reference. Handles are made only where a value leaves
// the interpreter (globals, lists, method arguments).
#include <cstdint>
#include <utility>

#include "KxMemory.h"
#include "RtInternal.h"

class Value {
public:
    enum Kind : uint8_t { UNSET, NIL, INT, FLT, REF };  // UNSET: a local not yet assigned

    Value() : kind(UNSET), nInt(0), ph(nullptr) {}
    static Value Nil() { return Value(NIL, 0, nullptr); }
    static Value Int(int64_t n) { return Value(INT, n, nullptr); }
    static Value Float(double d) {
        Value v(FLT, 0, nullptr);
        v.dFlt = d;
        return v;
    }
    // Takes over the caller's reference on ph.
    static Value Adopt(KxScDataHandle* ph) {
        Value v = Share(ph);
        if (ph) RtRelease(ph, false);
        return v;
    }
    // Adds a reference of its own. Numbers come out of their handles: the interpreter holds
    // them unboxed.
    static Value Share(KxScDataHandle* ph) {
        if (!ph || ph->wFlags == 0) return Nil();
        if (ph->wFlags & HF_INTEGER) return Int(static_cast<int>(ph->dwValue));
        if (ph->wFlags & HF_NUMBER) {
            const KxScNumberObject* pn = RtNumberOf(ph);
            return pn->bFloat ? Float(pn->dValue) : Int(pn->nValue);
        }
        if (!ph->Object()) return Nil();
        ph->AddRef();
        return Value(REF, 0, ph);
    }

    // A global's value, with a reference of its own when it is a handle's.
    static Value OfGlobal(const KxScGlobalSlot* pSlot) {
        if (pSlot->nHeld == KxScGlobalSlot::INT) return Int(pSlot->nInt);
        if (pSlot->nHeld == KxScGlobalSlot::FLT) return Float(pSlot->dFlt);
        return Share(pSlot->phValue);
    }

    Value(const Value& v) : kind(v.kind), nInt(v.nInt), ph(v.ph) {
        if (ph) ph->AddRef();
    }
    Value(Value&& v) noexcept : kind(v.kind), nInt(v.nInt), ph(v.ph) {
        v.ph = nullptr;
        v.kind = UNSET;
    }
    // The old handle is let go last: letting it go may free what the new value came from.
    Value& operator=(const Value& v) {
        if (v.ph) v.ph->AddRef();
        KxScDataHandle* phOld = ph;
        kind = v.kind;
        nInt = v.nInt;
        ph = v.ph;
        if (phOld) RtRelease(phOld, true);
        return *this;
    }
    Value& operator=(Value&& v) noexcept {
        if (&v == this) return *this;
        KxScDataHandle* phOld = ph;
        kind = v.kind;
        nInt = v.nInt;
        ph = v.ph;
        v.ph = nullptr;
        v.kind = UNSET;
        if (phOld) RtRelease(phOld, true);
        return *this;
    }
    ~Value() {
        if (ph) RtRelease(ph, true);
    }

    // Lets go of what it holds; it is unset again.
    void Clear() {
        if (ph) RtRelease(ph, true);
        ph = nullptr;
        kind = UNSET;
    }
    // Becomes an integer; the value held no reference (a number, nil or unset).
    void SetInt(int64_t n) {
        kind = INT;
        nInt = n;
    }

    Kind GetKind() const { return kind; }
    bool IsInt() const { return kind == INT; }
    bool IsFloat() const { return kind == FLT; }
    bool IsNumber() const { return kind == INT || kind == FLT; }
    bool IsNil() const { return kind == NIL; }
    bool IsRef() const { return kind == REF; }
    bool Is(uint16_t wKind) const { return ph && (ph->wFlags & wKind); }
    int64_t AsInt() const { return nInt; }
    double AsFloat() const { return dFlt; }
    // An integer or a float as a double.
    double AsDouble() const { return kind == FLT ? dFlt : static_cast<double>(nInt); }
    KxScDataHandle* Handle() const { return ph; }
    KxScDataObject* Object() const { return ph ? ph->Object() : nullptr; }
    const KxString& Text() const { return static_cast<KxScStringObject*>(ph->Object())->sText; }

    bool Truthy() const { return kind == REF || (kind == INT && nInt != 0) || (kind == FLT && dFlt != 0); }

    // A handle with a reference for the receiver (nil gets a nil handle).
    KxScDataHandle* NewHandle() const {
        if (kind == INT) return RtCreateInteger(nInt);
        if (kind == FLT) return RtCreateFloat(dFlt);
        if (kind == REF) {
            ph->AddRef();
            return ph;
        }
        return RtCreateNil();
    }
    // Puts the number into a handle that holds one and has no other holder, instead of making
    // a new handle: counters in globals, lists and maps then make none. False when it cannot.
    bool StoreInPlace(KxScDataHandle* phOld) const {
        if (!phOld) return false;
        if (kind == INT) return StoreIntInPlace(phOld, nInt);
        if (kind != FLT || phOld->wRefCount != 1 || !(phOld->wFlags & HF_NUMBER)) return false;
        KxScNumberObject* pn = RtNumberOf(phOld);
        pn->bFloat = true;
        pn->dValue = dFlt;
        return true;
    }
    // The same for an integer: one that fits 32 bits goes into a contract integer's handle,
    // any other into a number object's (each kind of handle keeps only its own range).
    static bool StoreIntInPlace(KxScDataHandle* phOld, int64_t n) {
        if (phOld->wRefCount != 1) return false;
        bool bFits = n >= INT32_MIN && n <= INT32_MAX;
        if (phOld->wFlags == HF_INTEGER) {
            if (!bFits) return false;
            phOld->dwValue = static_cast<uintptr_t>(static_cast<uint32_t>(n));
            return true;
        }
        if (bFits || !(phOld->wFlags & HF_NUMBER)) return false;
        KxScNumberObject* pn = RtNumberOf(phOld);
        pn->bFloat = false;
        pn->nValue = n;
        return true;
    }

    // The short text: decimal, a float's shortest text, the string itself, a list's or map's
    // items as a script writes them, "<Class>", or "nil". One that memory could not hold whole is noted (InfoShort gives it as the null
    // string, which otherwise only a string without text has), and the script's next step
    // fails.
    KxString ShortText() const {
        KxString s("");
        if (kind == INT || kind == FLT) {
            if (kind == INT) RtIntegerText(nInt, &s);
            else RtFloatText(dFlt, &s);
            if (s.Length() == 0) KxNoteMemoryShort();
        } else if (kind == REF && (ph->wFlags & (HF_LIST | HF_MAP))) {
            RtContainerText(ph, &s);
        } else if (kind == REF) {
            ph->InfoShort(&s);
            if (s.IsNull() && !(ph->wFlags & HF_STRING)) KxNoteMemoryShort();
        } else {
            s = "nil";
        }
        return s;
    }

private:
    Value(Kind k, int64_t n, KxScDataHandle* p) : kind(k), nInt(n), ph(p) {}
    Kind kind;
    union {
        int64_t nInt;
        double dFlt;
    };
    KxScDataHandle* ph;
};
