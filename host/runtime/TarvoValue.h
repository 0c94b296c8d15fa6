#pragma once
// The interpreter's values: integers and nil are held unboxed; everything else is a value
// handle of which the Value holds one reference. Handles are made only where a value leaves
// the interpreter (globals, lists, method arguments).
#include <cstdint>
#include <utility>

#include "KxMemory.h"
#include "RtInternal.h"

class Value {
public:
    enum Kind : uint8_t { UNSET, NIL, INT, REF };  // UNSET: a local not yet assigned

    Value() : kind(UNSET), nInt(0), ph(nullptr) {}
    static Value Nil() { return Value(NIL, 0, nullptr); }
    static Value Int(int n) { return Value(INT, n, nullptr); }
    // Takes over the caller's reference on ph.
    static Value Adopt(KxScDataHandle* ph) {
        Value v = Share(ph);
        if (ph) ph->Drop();
        return v;
    }
    // Adds a reference of its own.
    static Value Share(KxScDataHandle* ph) {
        if (!ph || ph->wFlags == 0) return Nil();
        if (ph->wFlags & HF_INTEGER) return Int(static_cast<int>(ph->dwValue));
        if (!ph->Object()) return Nil();
        ph->AddRef();
        return Value(REF, 0, ph);
    }

    Value(const Value& v) : kind(v.kind), nInt(v.nInt), ph(v.ph) {
        if (ph) ph->AddRef();
    }
    Value(Value&& v) noexcept : kind(v.kind), nInt(v.nInt), ph(v.ph) {
        v.ph = nullptr;
        v.kind = UNSET;
    }
    Value& operator=(Value v) noexcept {
        std::swap(kind, v.kind);
        std::swap(nInt, v.nInt);
        std::swap(ph, v.ph);
        return *this;
    }
    ~Value() {
        if (ph) ph->Drop();
    }

    Kind GetKind() const { return kind; }
    bool IsInt() const { return kind == INT; }
    bool IsNil() const { return kind == NIL; }
    bool IsRef() const { return kind == REF; }
    bool Is(uint16_t wKind) const { return ph && (ph->wFlags & wKind); }
    int AsInt() const { return nInt; }
    KxScDataHandle* Handle() const { return ph; }
    KxScDataObject* Object() const { return ph ? ph->Object() : nullptr; }
    const KxString& Text() const { return static_cast<KxScStringObject*>(ph->Object())->sText; }

    bool Truthy() const { return kind == REF || (kind == INT && nInt != 0); }

    // A handle with a reference for the receiver (nil gets a nil handle).
    KxScDataHandle* NewHandle() const {
        if (kind == INT) return KxScDataHandle::CreateData(nInt);
        if (kind == REF) {
            ph->AddRef();
            return ph;
        }
        return RtCreateNil();
    }

    // The short text: decimal, the string itself, "<Class>", or "nil". One that memory could
    // not hold whole is noted (InfoShort gives it as the null string, which otherwise only a
    // string without text has), and the script's next step fails.
    KxString ShortText() const {
        KxString s("");
        if (kind == INT) {
            s << nInt;
            if (s.Length() == 0) KxNoteMemoryShort();
        } else if (kind == REF) {
            ph->InfoShort(&s);
            if (s.IsNull() && !(ph->wFlags & HF_STRING)) KxNoteMemoryShort();
        } else {
            s = "nil";
        }
        return s;
    }

private:
    Value(Kind k, int n, KxScDataHandle* p) : kind(k), nInt(n), ph(p) {}
    Kind kind;
    int nInt;
    KxScDataHandle* ph;
};
