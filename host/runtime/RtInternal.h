#pragma once
// What the runtime's parts share that is not part of its public face.
#include <cstdint>
#include <cstring>

#include "KxCopyBytes.h"
#include "KxScVmEnv.h"

// A script global. Slots live until the runtime shuts down, so compiled code can keep a
// pointer to the slot of each name it uses; an undefined global has neither a handle nor a
// number. A number a script stores is kept unboxed, without a handle, until the host or a
// plug-in asks for the global (RtSlotHandle): a top-level loop's counters then are read and
// stepped where they lie. A handle once made stays, taking later numbers in place when it can.
struct KxScGlobalSlot {
    enum : uint8_t { BOXED, INT, FLT };  // what the slot holds: the handle (or nothing), or a number
    uint8_t nHeld = BOXED;
    bool bSetByHost = false;  // by SetGlobalVariable, not by a script's assignment
    union {
        int64_t nInt = 0;
        double dFlt;
    };
    KxScDataHandle* phValue = nullptr;
    KxString sName;

    bool HasValue() const { return phValue || nHeld != BOXED; }
};
KxScGlobalSlot* RtGlobalSlot(const KxString& sName);
// The global's handle, made from its unboxed number when it has one (null when it is unset).
KxScDataHandle* RtSlotHandle(KxScGlobalSlot* pSlot);
// Lets go of the global's value; its handle is dropped only when bRelease.
void RtSlotClear(KxScGlobalSlot* pSlot, bool bRelease);
void RtDropAllGlobals();

// The first byte c in [p, pEnd), or null. It reads a machine word a step: the system's own
// memchr reads a byte a step, and texts are searched for one byte most of all (split on a
// comma, a line's end).
inline const char* RtFindByte(const char* p, const char* pEnd, char c) {
    const uintptr_t kOnes = ~uintptr_t(0) / 255, kHighs = kOnes << 7, kWanted = kOnes * static_cast<unsigned char>(c);
    for (; p < pEnd && (reinterpret_cast<uintptr_t>(p) & (sizeof(uintptr_t) - 1)); ++p)
        if (*p == c) return p;
    for (; pEnd - p >= static_cast<ptrdiff_t>(sizeof(uintptr_t)); p += sizeof(uintptr_t)) {
        uintptr_t w;
        std::memcpy(&w, p, sizeof w);
        w ^= kWanted;  // a zero byte where c is
        if ((w - kOnes) & ~w & kHighs) break;
    }
    for (; p < pEnd; ++p)
        if (*p == c) return p;
    return nullptr;
}

// A handle for nil (flag word 0), for globals and lists that hold nil.
KxScDataHandle* RtCreateNil();
// A string handle that takes over the text instead of copying it.
KxScDataHandle* RtCreateString(KxString&& sText);
// A handle of one of the runtime's own values, whose kind it knows (CreateData finds an
// object's kind by asking it its type names, one after another).
KxScDataHandle* RtWrap(KxScDataObject* poObject, uint16_t wKind);
// A string of a short text (up to kShortText bytes), copied.
const unsigned kShortText = 256;
KxScDataHandle* RtCreateText(const char* pText, unsigned nLength);
// Destroys the objects of dropped short texts kept for reuse (the runtime shuts down).
void RtDropKeptTexts();
// True when the script has made enough since the last collection for another one to be
// worth its time.
bool RtCollectDue();
// Handles made since the runtime started (it wraps): the machine looks at memory and the
// collector's pace at a statement's end only when it changed.
extern unsigned gnRtHandlesMade;
int RtLiveHandles();

// Lets go of a reference the runtime held: the last reference on an integer, a string or a
// number (with bContainers, also on a list, a map, an error or an object of a script class)
// frees it at once; anything else waits for the collector, as a plug-in's Drop leaves it.
void RtFreeUnheld(KxScDataHandle* ph, bool bContainers);
inline void RtRelease(KxScDataHandle* ph, bool bContainers) {
    if (ph->wRefCount == 1) RtFreeUnheld(ph, bContainers);
    else ph->Drop();
}

// Forgets the class registration and root-exemplar link of a handle of an object of a script
// class (HF_OBJECT, not a number) being freed.
void RtUnlinkClassHandle(KxScDataHandle* phClass);
void RtDeleteClassInfos();

// The kind flag of a map's handle (one of the object kinds, so IsObject holds for it).
enum : uint16_t { HF_MAP = 0x0800 };
// A number the contract's integer handle cannot hold (an integer past 32 bits, or a float)
// lives in a KxScNumberObject: its handle is an object's (HF_OBJECT, so the collector frees
// it with its handle) marked HF_NUMBER. Plug-ins never get one as an argument: the runtime
// refuses such a number at a method's call.
enum : uint16_t { HF_NUMBER = 0x1000 };

class KxScNumberObject : public KxScValueObject {
public:
    KxScNumberObject(bool bFloat, int64_t nInt, double dFloat) : bFloat(bFloat) {
        if (bFloat) dValue = dFloat;
        else nValue = nInt;
    }
    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxString GetClassNameA() override { return bFloat ? "Float" : "Integer"; }
    static __TarvoTypeInfo _ptiTypeInfo;
    bool bFloat;
    union {
        int64_t nValue;
        double dValue;
    };
};
// The number object of a handle marked HF_NUMBER, which is always an object's handle: read
// without the test of its kind that Object() makes, on the paths of every loop round.
inline KxScNumberObject* RtNumberOf(const KxScDataHandle* ph) { return reinterpret_cast<KxScNumberObject*>(ph->dwValue); }
// A new handle of an integer: the contract's integer when it fits 32 bits, else a number
// object. Exported to plug-ins as KxScCreateInteger64.
KxScDataHandle* RtCreateInteger(int64_t nValue);
KxScDataHandle* RtCreateFloat(double dValue);
// The integer a handle holds, contract integer or number object; false for anything else.
// Inline: the machine's loop instructions read their global counters through it.
inline bool RtHandleInteger(const KxScDataHandle* ph, int64_t* pnValue) {
    if (__builtin_expect((ph->wFlags & HF_INTEGER) != 0, 1)) {
        *pnValue = static_cast<int32_t>(ph->dwValue);
        return true;
    }
    if (!(ph->wFlags & HF_NUMBER)) return false;
    const KxScNumberObject* pn = RtNumberOf(ph);
    if (pn->bFloat) return false;
    *pnValue = pn->nValue;
    return true;
}
// A number's text: an integer in decimal; a float as the shortest text that reads back as the
// same double, with ".0" when it would look like an integer ("inf", "-inf", "nan" apart).
void RtIntegerText(int64_t nValue, KxString* psText);
void RtFloatText(double dValue, KxString* psText);
// A float written as a script writes one ("1.5", "-2e3", ".5", "inf", "nan"); false for
// anything else, a text with spaces or another character included.
bool RtParseFloat(const char* pText, unsigned nLength, double* pdValue);
// The short text of a list or a map, as a script would write it: [1, "a", [2], nil] and
// {"k": 1}. A list or map met again inside itself is [...] or {...}; a text that would pass
// kMaxShownBytes ends with "..." there. Memory that ran short is noted (KxMemory.h).
const unsigned kMaxShownBytes = 65536;
void RtContainerText(KxScDataHandle* ph, KxString* psText);

// Bytes a value object took on after its handle was made (a list or map that grew): they
// count in the collector's pace as the bytes of a new value do.
void RtAddPaceBytes(unsigned long long qwBytes);

// The list objects behind KxScStdLibListInterface, and the interpreter's lists. The
// interpreter's operations report memory that could not be had (false) and leave the list as
// it was; AppendItem, which cannot tell its caller, notes the shortage instead (KxMemory.h).
class KxScListObject final : public KxScValueObject, public KxScStdLibList {
public:
    KxScListObject();
    ~KxScListObject() override;
    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxString GetClassNameA() override;
    KxScLinkData* CountCircLinks(KxScDataHandle* phSelf) override;
    int GetThroughCount(KxScDataHandle* phTarget) override;
    unsigned long long HeldBytes() override { return sizeof(KxScDataHandle*) * static_cast<unsigned>(nCapacity); }

    int ItemCount() override { return nCount; }
    KxScDataHandle* GetItem(int nIndex) override {
        return nIndex >= 0 && nIndex < nCount ? pphItems[nIndex] : nullptr;
    }
    void AppendItem(KxScDataHandle* phItem) override;

    // Room for nMore more items.
    bool Reserve(int nMore);
    // Puts phItem (whose reference the list takes over) at nIndex, 0 to ItemCount().
    bool Insert(int nIndex, KxScDataHandle* phItem);
    // Replaces the item at nIndex with phItem, taking over its reference.
    void Set(int nIndex, KxScDataHandle* phItem);
    // Takes the item at nIndex out; the caller gets its reference.
    KxScDataHandle* Take(int nIndex);
    // Each change of the items counts one: an operation that calls scripts while it works on
    // the items (a sort) sees whether they changed under it.
    unsigned Changes() const { return nChanges; }
    KxScDataHandle** Items() { return pphItems; }
    void Changed() { ++nChanges; }
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    KxScDataHandle** pphItems;
    int nCount, nCapacity;
    unsigned nChanges;
};

// A key of a map: an integer or the bytes of a text.
struct RtKey {
    bool bText;
    int64_t n;
    const char* pText;
    unsigned nLength;
    uint32_t Hash() const;
};

// The interpreter's maps: entries in the order their keys were first put, beside an index of
// open addressing over them. A deleted entry stays in place, keyless, until the entries are
// packed again; the order of the others is kept. Operations that need memory report false
// when it could not be had and leave the map as it was.
class KxScMapObject final : public KxScValueObject {
public:
    KxScMapObject() = default;
    ~KxScMapObject() override;
    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxString GetClassNameA() override;
    KxScLinkData* CountCircLinks(KxScDataHandle* phSelf) override;
    int GetThroughCount(KxScDataHandle* phTarget) override;
    unsigned long long HeldBytes() override;
    // Native code that knows only objects (a plug-in) reads a map's entries of text keys as
    // its properties, in the order of the entries; `m.name` reads the entry "name" likewise.
    KxPropertyErrorCode GetProperty(const KxString& sName, KxScDataHandle** pphValue) override;
    void GetPropertyNames(KxStringList* plNames, bool bAppend) override;

    int Count() const { return nLive; }
    // The value of a key, without a reference of the caller's own; null when absent.
    KxScDataHandle* Get(const RtKey& key) const;
    // Sets the value of a key: SetValue(KxScDataHandle** pph) puts the value into *pph (the
    // old value's handle, null for a new key); a new key's handle comes from MakeKey, which is
    // asked only then. The key is hashed once, or not at all when it was the last one found.
    template <class V, class K>
    bool Put(const RtKey& key, V SetValue, K MakeKey) {
        uint32_t dwHash = 0;
        int i = Recent(key);
        if (i < 0) i = Find(key, dwHash = key.Hash());
        if (i >= 0) {
            SetValue(&pEntries[i].phValue);
            return true;
        }
        if (!Room()) return false;
        KxScDataHandle* phValue = nullptr;
        SetValue(&phValue);
        Add(MakeKey(), phValue, dwHash);
        return true;
    }
    int Find(const RtKey& key) const {
        int i = Recent(key);
        return i >= 0 ? i : (nLastFound = Find(key, key.Hash()));
    }
    // True when the key was there.
    bool Delete(const RtKey& key);
    // Entries in order: the first live one at or after nFrom, or -1.
    int Next(int nFrom) const;
    KxScDataHandle* KeyAt(int i) const { return pEntries[i].phKey; }
    KxScDataHandle* ValueAt(int i) const { return pEntries[i].phValue; }
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    // A text key's text, or an integer key, is kept beside its handle, so that a lookup
    // compares keys without going through the key's handle (and object): more memory reads,
    // mostly misses in a big map. The text cannot move: the map's reference keeps the key's
    // object, and a text grows in place only while one variable alone holds it.
    struct Entry {
        KxScDataHandle* phKey;  // null once deleted
        KxScDataHandle* phValue;
        union {
            const char* pText;
            int64_t nKey;
        };
        uint32_t dwHash;
        uint32_t nLength;  // kNotText for an integer key
        bool Holds(const RtKey& key) const;  // its key is that one
    };
    static const uint32_t kNotText = 0xFFFFFFFF;
    int Find(const RtKey& key, uint32_t dwHash) const;
    // The entry a lookup found last, when it is still the key's (an update, `m[k] = get(m, k,
    // 0) + 1`, looks one key up twice), else -1. Its key is compared, so entries that moved
    // or went since need no note.
    int Recent(const RtKey& key) const;
    bool Room();
    void Add(KxScDataHandle* phKey, KxScDataHandle* phValue, uint32_t dwHash);
    Entry* pEntries = nullptr;
    int nEntries = 0, nLive = 0, nRoom = 0;
    int* pnIndex = nullptr;  // entry numbers, -1 for none; nIndexSize a power of two
    unsigned nIndexSize = 0;
    mutable int nLastFound = -1;
};

// Writes bytes at once to the host's standard output or error (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE), as they were when the runtime started; RtKeepStdHandles takes them.
void RtWriteStd(unsigned long dwStdHandle, const char* pText, unsigned nLength);
void RtKeepStdHandles();
// The next line of the host's standard input, without its LF or CR LF (RT_LINE); RT_ENDED at
// its end; RT_INTERRUPTED at once when the run is interrupted while it waits (the read goes
// on, and the next line starts with what it brings). A line memory could not hold whole is
// noted (KxMemory.h).
enum RtStdRead { RT_LINE, RT_ENDED, RT_INTERRUPTED };
RtStdRead RtReadStdLine(KxString* psLine);
// A wait for standard input ends (RtInterruptStdRead), or waits again (RtClearStdRead).
void RtInterruptStdRead();
void RtClearStdRead();
// Why the system refused a file, in words: "file not found", "folder not found", "access
// denied", "in use by another program", else "system error N".
KxString RtSystemReason(unsigned long dwError);
// Milliseconds since the runtime started, from a monotonic counter.
unsigned long long RtMillisecondsSinceStart();
