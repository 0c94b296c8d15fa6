#pragma once
// What the runtime's parts share that is not part of its public face.
#include "KxScVmEnv.h"

// A script global. Slots live until the runtime shuts down, so compiled code can keep a
// pointer to the slot of each name it uses; an undefined global has no handle.
struct KxScGlobalSlot {
    KxString sName;
    KxScDataHandle* phValue = nullptr;
    bool bSetByHost = false;  // by SetGlobalVariable, not by a script's assignment
};
KxScGlobalSlot* RtGlobalSlot(const KxString& sName);
void RtDropAllGlobals();

// A handle for nil (flag word 0), for globals and lists that hold nil.
KxScDataHandle* RtCreateNil();
// A string handle that takes over the text instead of copying it.
KxScDataHandle* RtCreateString(KxString&& sText);
// True when the script has made enough since the last collection for another one to be
// worth its time.
bool RtCollectDue();
int RtLiveHandles();

// Forgets the class registration and root-exemplar link of a handle being freed or
// unregistered.
void RtUnlinkClassHandle(KxScDataHandle* phClass);
void RtDeleteClassInfos();

// The kind flag of a map's handle (one of the object kinds, so IsObject holds for it).
enum : uint16_t { HF_MAP = 0x0800 };

// Bytes a value object took on after its handle was made (a list or map that grew): they
// count in the collector's pace as the bytes of a new value do.
void RtAddPaceBytes(unsigned long long qwBytes);

// The list objects behind KxScStdLibListInterface, and the interpreter's lists. The
// interpreter's operations report memory that could not be had (false) and leave the list as
// it was; AppendItem, which cannot tell its caller, notes the shortage instead (KxMemory.h).
class KxScListObject : public KxScValueObject, public KxScStdLibList {
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
    int n;
    const char* pText;
    unsigned nLength;
    uint32_t Hash() const;
    bool Matches(const KxScDataHandle* ph) const;
};

// The interpreter's maps: entries in the order their keys were first put, beside an index of
// open addressing over them. A deleted entry stays in place, keyless, until the entries are
// packed again; the order of the others is kept. Operations that need memory report false
// when it could not be had and leave the map as it was.
class KxScMapObject : public KxScValueObject {
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
    // Sets the value of a key, taking over phValue's reference; a new key's handle comes from
    // MakeKey, which is asked only then.
    template <class F>
    bool Put(const RtKey& key, KxScDataHandle* phValue, F MakeKey) {
        int i = Find(key);
        if (i >= 0) {
            pEntries[i].phValue->Drop();
            pEntries[i].phValue = phValue;
            return true;
        }
        if (!Room()) return false;
        Add(MakeKey(), phValue, key.Hash());
        return true;
    }
    // True when the key was there.
    bool Delete(const RtKey& key);
    // Entries in order: the first live one at or after nFrom, or -1.
    int Next(int nFrom) const;
    KxScDataHandle* KeyAt(int i) const { return pEntries[i].phKey; }
    KxScDataHandle* ValueAt(int i) const { return pEntries[i].phValue; }
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    struct Entry {
        KxScDataHandle* phKey;  // null once deleted
        KxScDataHandle* phValue;
        uint32_t dwHash;
    };
    int Find(const RtKey& key) const;
    bool Room();
    void Add(KxScDataHandle* phKey, KxScDataHandle* phValue, uint32_t dwHash);
    Entry* pEntries = nullptr;
    int nEntries = 0, nLive = 0, nRoom = 0;
    int* pnIndex = nullptr;  // entry numbers, -1 for none; nIndexSize a power of two
    unsigned nIndexSize = 0;
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
// Milliseconds since the runtime started, from a monotonic counter.
unsigned long long RtMillisecondsSinceStart();
