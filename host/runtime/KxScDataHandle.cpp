#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "KxMemory.h"

#include "KxListingBytes.h"
#include "RtInternal.h"

// What a running script made and still holds, in one measure, for the collector's pace:
// collection is due once what is alive grew, since the last collection, by what that
// collection kept, and at least a floor (values made and let go of again do not count: they
// were freed at once). So the work of collecting stays in proportion to the work of the
// script, and garbage that only cycles hold never outgrows what is alive by much.
struct KxScPace {
    unsigned long long qwSince, qwKept;
    const unsigned long long qwFloor;
    bool Due(unsigned long long qwMore = 0) const {
        return qwSince + qwMore >= (qwKept > qwFloor ? qwKept : qwFloor);
    }
    // What was made since and has gone again.
    void Forget(unsigned long long qwGone) { qwSince -= qwGone < qwSince ? qwGone : qwSince; }
};

// A short text is kept in one block with its object, which the string borrows it from: a
// string made is two blocks (its handle, and this) instead of three, and its text is read
// where its object is. The object is destroyed by delete as any other: this library's
// operator delete finds a block's size by its address, not by the type.
// Scripts make and drop short texts by the million (split, the fields of a line), so the
// objects of those dropped are kept whole, a few of each block size, for the next text of
// that size: it takes one with a copy of its bytes, none of the calls of making an object
// and destroying it. Blocks are had in sizes of 16 bytes, so any text of a size's lengths
// fits the block of another.
class KxScTextCache {
public:
    // An object whose text (TextOf) has room for nLength bytes and its end, borrowing them.
    KxScStringObject* Make(unsigned nLength) {
        unsigned c = ClassOf(nLength);
        if (anCount[c]) {
            KxScStringObject* po = apObjects[c][--anCount[c]];
            po->sText.BorrowLength(nLength);
            return po;
        }
        void* pv = ::operator new(16 * c);
        return new (pv) KxScStringObject(KxString::Borrowing(TextOf(static_cast<KxScStringObject*>(pv)), nLength));
    }
    // False when the object is not one of these blocks, or its text no longer borrows the
    // block (it grew into a buffer of its own), or its size has enough kept.
    bool Keep(KxScStringObject* po) {
        if (!po->sText.Borrows(TextOf(po)) || po->dwFlags || po->sObjectName.Length()) return false;
        unsigned c = ClassOf(po->sText.Length());
        if (anCount[c] == kDepth) return false;
        apObjects[c][anCount[c]++] = po;
        return true;
    }
    void Drop() {
        for (unsigned c = 0; c < kClasses; ++c)
            while (anCount[c]) delete apObjects[c][--anCount[c]];
    }
    static char* TextOf(KxScStringObject* po) { return reinterpret_cast<char*>(po) + sizeof(KxScStringObject); }

private:
    // The block of a text of nLength bytes is 16 * ClassOf(nLength) bytes.
    static unsigned ClassOf(unsigned nLength) { return (sizeof(KxScStringObject) + nLength + 16) / 16; }
    static const unsigned kClasses = (sizeof(KxScStringObject) + kShortText + 16) / 16 + 1;
    static const int kDepth = 64;
    KxScStringObject* apObjects[kClasses][kDepth];
    int anCount[kClasses] = {};
};
KxScTextCache gTexts;

// All handles live in chunks owned by this pool; a handle never moves, so its address is the
// value scripts and plug-ins hold. Free handles carry the flag word FREE, which no live handle
// can have, and are chained through their value field, each chunk's apart: handles are made
// from one chunk until it has none free, then from another that has. So handles made one after
// another lie near each other, also after a script let go of millions in an order of its own
// (a sorted list): one chain for all would then hand out handles scattered over every chunk,
// each a cache miss. A chunk lies on a 64 KiB boundary, so a handle's chunk is its address
// with the low bits cleared.
struct KxScHandlePool {
    static const uintptr_t kChunkBytes = 64 * 1024;
    enum : uint16_t { FREE = 0xFFFF, SATURATED = 0xFFFF };
    // Marks a handle reached from outside the objects while a collection runs; no handle
    // carries it at any other time.
    enum : uint16_t { REACHED = 0x8000 };
    struct Chunk;
    struct ChunkHead {
        Chunk* pNext;          // every chunk
        Chunk* pNextWithRoom;  // chunks with free handles, other than the current one
        KxScDataHandle* phFree;
        void* pvBlock;         // what was had for it: the system's pages, or a block
        bool bListed;          // on the chain of chunks with free handles
    };
    static const int kSlots = static_cast<int>((kChunkBytes - sizeof(ChunkHead)) / sizeof(KxScDataHandle));
    struct Chunk : ChunkHead {
        KxScDataHandle ahSlots[kSlots];
    };
    Chunk* pChunks = nullptr;
    Chunk* pCurrent = nullptr;
    Chunk* pWithRoom = nullptr;
    int nLive = 0;
    bool bCollecting = false;
    // Handles; bytes that objects hold beyond their handles; and objects holding an outside
    // resource (an open file): a few hundred open files cost more than many thousand small
    // strings. The bytes are what value objects report (text, items) and what the utility
    // library's folder readers hold: objects of script classes cannot report a weight (the
    // host contract has no operation for it), and their one heavy holding is a folder
    // listing, made and freed by that library, which counts it.
    KxScPace paceHandles{0, 0, 8192}, paceBytes{0, 0, 4u << 20}, paceResources{0, 0, 64};
    unsigned long long qwListedKept = 0;  // the folder readers' bytes after the last collection

    ~KxScHandlePool() {
        while (pChunks) {
            Chunk* pNext = pChunks->pNext;
            if (pChunks->pvBlock == pChunks) VirtualFree(pChunks, 0, MEM_RELEASE);
            else delete[] static_cast<char*>(pChunks->pvBlock);
            pChunks = pNext;
        }
    }

    static Chunk* ChunkOf(const KxScDataHandle* ph) {
        return reinterpret_cast<Chunk*>(reinterpret_cast<uintptr_t>(ph) & ~(kChunkBytes - 1));
    }

    KxScDataHandle* Allocate(uint16_t wFlags, uintptr_t dwValue) {
        if (!pCurrent || !pCurrent->phFree) {
            if (pWithRoom) {
                pCurrent = pWithRoom;
                pWithRoom = pCurrent->pNextWithRoom;
                pCurrent->bListed = false;
            } else {
                pCurrent = NewChunk();
            }
        }
        KxScDataHandle* ph = pCurrent->phFree;
        pCurrent->phFree = reinterpret_cast<KxScDataHandle*>(ph->dwValue);
        ++nLive;
        ++gnRtHandlesMade;
        ph->wRefCount = 1;
        ph->wFlags = wFlags;
        ph->dwValue = dwValue;
        return ph;
    }

    // Makes a handle that is going a nil with no reference, its object no longer its own nor
    // a registered class's, before any object is destroyed (a destructor that drops a
    // reference on it finds a handle still there); gives the object to destroy, or null.
    static KxScDataObject* Detach(KxScDataHandle* ph) {
        // Values (strings, numbers, lists) are no classes: they go without a look at the
        // registrations.
        if ((ph->wFlags & HF_OBJECT) && !(ph->wFlags & HF_NUMBER)) RtUnlinkClassHandle(ph);
        KxScDataObject* po = ph->Object();
        if (po) po->phOwner = nullptr;
        ph->wRefCount = 0;
        ph->wFlags = 0;
        ph->dwValue = 0;
        return po;
    }

    // A handle nothing refers to any more, freed with its object outside a collection. What it
    // weighed leaves the pace again: a collection is due when what is alive has grown, and the
    // values a script makes and lets go of (most of them) are no work of the collector's.
    void FreeNow(KxScDataHandle* ph) {
        unsigned long long qwBytes = 0, qwResources = 0;
        AddCost(ph, &qwBytes, &qwResources);
        paceHandles.Forget(ph->Object() && !(ph->wFlags & kHoldsNothing) ? 1 : 0);
        paceBytes.Forget(qwBytes);
        paceResources.Forget(qwResources);
        bool bString = ph->wFlags & HF_STRING;
        KxScDataObject* po = Detach(ph);
        if (!bString || !gTexts.Keep(static_cast<KxScStringObject*>(po))) delete po;
        // A destructor that took a reference on the handle keeps a nil.
        if (ph->wRefCount == 0) Free(ph);
    }

    void Free(KxScDataHandle* ph) {
        --nLive;
        Chunk* pc = ChunkOf(ph);
        ph->wFlags = FREE;
        ph->dwValue = reinterpret_cast<uintptr_t>(pc->phFree);
        pc->phFree = ph;
        if (pc != pCurrent && !pc->bListed) {
            pc->pNextWithRoom = pWithRoom;
            pWithRoom = pc;
            pc->bListed = true;
        }
    }

    // The system's pages give the boundary by themselves; a block from the heap (when they
    // cannot be had) is twice the size, to hold a chunk on a boundary. Without memory for
    // that, the heap's reserve serves it and the script's next step raises its error.
    Chunk* NewChunk() {
        void* pvBlock = VirtualAlloc(nullptr, kChunkBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        Chunk* pc = static_cast<Chunk*>(pvBlock);
        if (!pc || reinterpret_cast<uintptr_t>(pc) % kChunkBytes) {
            if (pc) VirtualFree(pc, 0, MEM_RELEASE);
            pvBlock = new char[2 * kChunkBytes];
            pc = reinterpret_cast<Chunk*>((reinterpret_cast<uintptr_t>(pvBlock) + kChunkBytes - 1) & ~(kChunkBytes - 1));
        }
        pc->pNext = pChunks;
        pc->pNextWithRoom = nullptr;
        pc->phFree = nullptr;
        pc->pvBlock = pvBlock;
        pc->bListed = false;
        pChunks = pc;
        for (int i = kSlots - 1; i >= 0; --i) {
            pc->ahSlots[i].wFlags = FREE;
            pc->ahSlots[i].dwValue = reinterpret_cast<uintptr_t>(pc->phFree);
            pc->phFree = &pc->ahSlots[i];
        }
        return pc;
    }

    KxScDataHandle* Wrap(KxScDataObject* po, uint16_t wKind) {
        if (po->phOwner) {
            po->phOwner->AddRef();
            return po->phOwner;
        }
        KxScDataHandle* ph = Allocate(wKind, reinterpret_cast<uintptr_t>(po));
        po->phOwner = ph;
        if (!(wKind & kHoldsNothing)) ++paceHandles.qwSince;
        AddCost(ph, &paceBytes.qwSince, &paceResources.qwSince);
        return ph;
    }

    // Strings and numbers refer to nothing, so they are never what a cycle is made of: they
    // are weighed in bytes alone, their objects and handles with them, and a script that makes
    // texts by the million (split, format) brings no collection for their number. The values
    // that can hold others (lists, maps, errors, functions, objects) are what collections
    // come for: a collection is due once as many more of them are alive as it kept handles.
    static const uint16_t kHoldsNothing = HF_STRING | HF_NUMBER;
    static const unsigned kPlainWeight = sizeof(KxScDataHandle) + sizeof(KxScStringObject);

    // What a handle's object weighs beyond the handle itself; a string or a number, with it.
    static void AddCost(const KxScDataHandle* ph, unsigned long long* pqwBytes,
                        unsigned long long* pqwResources) {
        KxScDataObject* po = ph->Object();
        if (!po) return;
        if (ph->wFlags & HF_STRING)  // the most common by far: its text, without a call
            *pqwBytes += kPlainWeight + static_cast<KxScStringObject*>(po)->sText.Length();
        else if (ph->wFlags & HF_NUMBER)
            *pqwBytes += kPlainWeight;
        else if (ph->wFlags & (HF_METHOD | HF_LIST | HF_ERROR | HF_MAP))
            *pqwBytes += static_cast<KxScValueObject*>(po)->HeldBytes();
        if (po->dwFlags & KxScDataObject::KXO_RESOURCE) ++*pqwResources;
    }

    template <class F>
    void ForEachLive(F f) {
        for (Chunk* pc = pChunks; pc; pc = pc->pNext)
            for (KxScDataHandle& h : pc->ahSlots)
                if (h.wFlags != FREE) f(&h);
    }

    // A link whose reference the collector accounts for: a live handle whose count is still
    // exact. A saturated count is not: such a handle is never freed, so it counts as held
    // from outside.
    static bool Counted(const KxScDataHandle* ph) {
        return ph && ph->wFlags != FREE && ph->wRefCount != SATURATED;
    }

    // Calls f on each counted handle the object of ph holds a reference to, once per reference.
    template <class F>
    static void ForEachLink(KxScDataHandle* ph, F f) {
        // Strings and numbers hold no references: most of what a script keeps is asked nothing.
        if (ph->wFlags & (HF_STRING | HF_NUMBER)) return;
        // The runtime's own lists and maps are walked in place, without a copy of their links.
        if (ph->wFlags & HF_LIST) {
            KxScListObject* pList = static_cast<KxScListObject*>(ph->Object());
            for (int i = 0; i < pList->ItemCount(); ++i)
                if (Counted(pList->GetItem(i))) f(pList->GetItem(i));
            return;
        }
        if (ph->wFlags & HF_MAP) {
            KxScMapObject* pMap = static_cast<KxScMapObject*>(ph->Object());
            for (int i = pMap->Next(0); i >= 0; i = pMap->Next(i + 1)) {
                if (Counted(pMap->KeyAt(i))) f(pMap->KeyAt(i));
                if (Counted(pMap->ValueAt(i))) f(pMap->ValueAt(i));
            }
            return;
        }
        KxScDataObject* po = ph->Object();
        KxScLinkData* pld = po ? po->CountCircLinks(ph) : nullptr;
        if (!pld) return;
        for (int i = 0; i < pld->nCount; ++i)
            if (Counted(pld->pphLinks[i])) f(pld->pphLinks[i]);
        po->ReleaseCircLinks(pld);
    }

    // A list with room for every live handle (each goes in once at most), in blocks that are
    // all had before the pass starts: a collection needs no block larger than 256 KiB.
    template <class T>
    class Stack {
    public:
        static const size_t kBlock = 256 * 1024 / sizeof(T);
        bool Make(size_t nMost) {
            nBlocks = nMost / kBlock + 1;
            ppBlocks.reset(new (std::nothrow) std::unique_ptr<T[]>[nBlocks]);
            for (size_t i = 0; ppBlocks && i < nBlocks; ++i)
                if (!(ppBlocks[i] = std::unique_ptr<T[]>(new (std::nothrow) T[kBlock]))) return false;
            return ppBlocks != nullptr;
        }
        void push_back(T t) { At(n++) = t; }
        T& back() { return At(n - 1); }
        void pop_back() { --n; }
        bool empty() const { return n == 0; }
        template <class F>
        void ForEach(F f) {
            for (size_t i = 0; i < n; ++i) f(At(i));
        }

    private:
        T& At(size_t i) { return ppBlocks[i / kBlock][i % kBlock]; }
        std::unique_ptr<std::unique_ptr<T[]>[]> ppBlocks;
        size_t nBlocks = 0, n = 0;
    };

    // One collection pass; the result is the number of handles freed, -1 when it could not
    // run.
    //  1. Take every reference an object holds off the count of the handle it refers to. What
    //     is left on a count is held from outside the objects: by the interpreter, a global,
    //     a compiled text, native code.
    //  2. Every handle held from outside, and all it reaches, stays; its references are put
    //     back on the counts as it is reached.
    //  3. The rest is garbage, cycles included. References from garbage to what stays are put
    //     back too: the garbage's destructors drop them.
    //  4. Each garbage handle becomes a nil with no reference before any of its objects is
    //     destroyed, so a destructor that drops a reference on another piece of the same
    //     garbage finds a handle that is still there; the handles are freed afterwards.
    int CollectPass() {
        // The pass's lists are had before any count changes: without them it does nothing
        // (the garbage waits for a collection that has them; no step of the script failed).
        Stack<KxScDataHandle*> vStack, vGarbage;
        Stack<KxScDataObject*> vObjects;
        if (!vStack.Make(nLive) || !vGarbage.Make(nLive) || !vObjects.Make(nLive)) return -1;
        ForEachLive([](KxScDataHandle* ph) {
            ForEachLink(ph, [](KxScDataHandle* phLink) {
                if (phLink->wRefCount > 0) --phLink->wRefCount;
            });
        });
        ForEachLive([&](KxScDataHandle* phRoot) {
            if (phRoot->wRefCount == 0 || (phRoot->wFlags & REACHED)) return;
            phRoot->wFlags |= REACHED;
            vStack.push_back(phRoot);
            while (!vStack.empty()) {
                KxScDataHandle* ph = vStack.back();
                vStack.pop_back();
                ForEachLink(ph, [&](KxScDataHandle* phLink) {
                    ++phLink->wRefCount;
                    if (phLink->wFlags & REACHED) return;
                    phLink->wFlags |= REACHED;
                    vStack.push_back(phLink);
                });
            }
        });
        ForEachLive([&](KxScDataHandle* ph) {
            if (!(ph->wFlags & REACHED)) vGarbage.push_back(ph);
        });
        vGarbage.ForEach([](KxScDataHandle* ph) {
            ForEachLink(ph, [](KxScDataHandle* phLink) {
                if (phLink->wFlags & REACHED) ++phLink->wRefCount;
            });
        });
        paceBytes.qwKept = paceResources.qwKept = 0;
        ForEachLive([&](KxScDataHandle* ph) {
            if (!(ph->wFlags & REACHED)) return;
            ph->wFlags &= ~REACHED;
            AddCost(ph, &paceBytes.qwKept, &paceResources.qwKept);
        });
        vGarbage.ForEach([&](KxScDataHandle* ph) {
            if (KxScDataObject* po = Detach(ph)) vObjects.push_back(po);
        });
        // Destructors may drop references, make handles and ask for a collection: all fine.
        vObjects.ForEach([](KxScDataObject* po) { delete po; });
        int nFreed = 0;
        vGarbage.ForEach([&](KxScDataHandle* ph) {
            // A destructor that took a new reference on it keeps a nil.
            if (ph->wRefCount != 0) return;
            Free(ph);
            ++nFreed;
        });
        return nFreed;
    }

    bool AnyUnreferenced() {
        bool bAny = false;
        ForEachLive([&](KxScDataHandle* ph) { bAny = bAny || ph->wRefCount == 0; });
        return bAny;
    }
};

unsigned gnRtHandlesMade = 0;

namespace {
KxScHandlePool gPool;

// The handle kind of an object: what scripts may do with it follows from its type.
uint16_t KindOf(KxScDataObject* po) {
    if (po->DynamicCast(KxScStringObject::_ptiTypeInfo.TypeName())) return HF_STRING;
    if (po->DynamicCast(KxScDataMethod::_ptiTypeInfo.TypeName())) return HF_METHOD;
    if (po->DynamicCast(KxScListObject::_ptiTypeInfo.TypeName())) return HF_LIST;
    if (po->DynamicCast(KxScMapObject::_ptiTypeInfo.TypeName())) return HF_MAP;
    if (po->DynamicCast("KxScError")) return HF_ERROR;
    if (po->DynamicCast(KxScNumberObject::_ptiTypeInfo.TypeName())) return HF_OBJECT | HF_NUMBER;
    return HF_OBJECT;
}
}  // namespace

KxScDataHandle* KxScDataHandle::CreateData(KxScDataObject* poObject) {
    if (!poObject) return RtCreateNil();
    return gPool.Wrap(poObject, KindOf(poObject));
}

KxScDataHandle* RtWrap(KxScDataObject* poObject, uint16_t wKind) { return gPool.Wrap(poObject, wKind); }

KxScDataHandle* KxScDataHandle::CreateData(int nValue) {
    return gPool.Allocate(HF_INTEGER, static_cast<uintptr_t>(static_cast<unsigned>(nValue)));
}

KxScDataHandle* KxScDataHandle::CreateData(const KxString& sText, bool bFixed) {
    KxScDataHandle* ph = gPool.Wrap(new KxScStringObject(sText), HF_STRING);
    if (bFixed) ph->wFlags |= HF_FIXED;
    return ph;
}

KxScDataHandle* KxScDataHandle::CreateData(KxScMethodFunc pfnMethod, const KxString& sQualifiedName,
                                           int nParams) {
    return gPool.Wrap(new KxScDataMethod(pfnMethod, sQualifiedName, nParams), HF_METHOD);
}

KxScDataHandle* RtCreateString(KxString&& sText) {
    return gPool.Wrap(new KxScStringObject(static_cast<KxString&&>(sText)), HF_STRING);
}

KxScDataHandle* RtCreateText(const char* pText, unsigned nLength) {
    KxScStringObject* po = gTexts.Make(nLength);
    char* pOwnText = KxScTextCache::TextOf(po);
    KxCopyBytes(pOwnText, pText, nLength);
    pOwnText[nLength] = '\0';
    return gPool.Wrap(po, HF_STRING);
}

void RtDropKeptTexts() { gTexts.Drop(); }

KxScDataHandle* RtCreateNil() { return gPool.Allocate(0, 0); }

// The machine let go of the last reference on a value: integers, nil, strings and numbers go
// at once, and so do lists, maps, errors and objects of script classes (a File is written
// and closed then). The items of what goes let go of strings and numbers at once in turn, and
// leave the rest to the collector: freeing never nests. So the garbage a script makes and
// drops does not wait for a collection: what is left to the collector is what only cycles or
// native code let go of.
void RtFreeUnheld(KxScDataHandle* ph, bool bContainers) {
    uint16_t wKinds = bContainers ? (HF_STRING | HF_NUMBER | HF_LIST | HF_MAP | HF_ERROR | HF_OBJECT) : (HF_STRING | HF_NUMBER);
    bool bPlain = ph->wFlags == HF_INTEGER || ph->wFlags == 0;  // an integer or nil: no object
    if (gPool.bCollecting || ph->wRefCount != 1 || (!bPlain && !(ph->wFlags & wKinds)) || (ph->wFlags & HF_FIXED)) {
        ph->Drop();
        return;
    }
    gPool.FreeNow(ph);
}

int KxScDataHandle::GarbageCollect() {
    // An object's destructor that collects again must not start a second walk of the pool.
    if (gPool.bCollecting) return 0;
    gPool.bCollecting = true;
    int nTotal = 0;
    // Destructors may have dropped the last reference on handles that stayed. A pass that
    // could not have its lists (-1) ends the collection.
    for (;;) {
        int nFreed = gPool.CollectPass();
        if (nFreed < 0) break;
        nTotal += nFreed;
        if (!gPool.AnyUnreferenced()) break;
    }
    gPool.paceHandles.qwKept = gPool.nLive;
    gPool.qwListedKept = KxListingBytes();
    gPool.paceBytes.qwKept += gPool.qwListedKept;
    gPool.paceHandles.qwSince = gPool.paceBytes.qwSince = gPool.paceResources.qwSince = 0;
    gPool.bCollecting = false;
    return nTotal;
}

bool RtCollectDue() {
    unsigned long long qwListed = KxListingBytes();
    unsigned long long qwListedMore = qwListed > gPool.qwListedKept ? qwListed - gPool.qwListedKept : 0;
    return gPool.paceHandles.Due() || gPool.paceBytes.Due(qwListedMore) || gPool.paceResources.Due();
}
int RtLiveHandles() { return gPool.nLive; }
void RtAddPaceBytes(unsigned long long qwBytes) { gPool.paceBytes.qwSince += qwBytes; }

// A text that could not be made whole for want of memory comes back as the null string (which
// otherwise only a string without text gives), never cut.
void KxScDataHandle::InfoShort(KxString* psText) const {
    if (!psText) return;
    unsigned nWhole;
    if (wFlags & HF_INTEGER) {
        char szDigits[16];
        nWhole = static_cast<unsigned>(std::snprintf(szDigits, sizeof szDigits, "%d", static_cast<int>(dwValue)));
        *psText = szDigits;
    } else if (KxScDataObject* po = Object()) {
        if (wFlags & HF_NUMBER) {
            const KxScNumberObject* pn = static_cast<const KxScNumberObject*>(po);
            if (pn->bFloat) RtFloatText(pn->dValue, psText);
            else RtIntegerText(pn->nValue, psText);
            if (psText->Length() == 0) *psText = NULL_STRING;
            return;
        }
        if (wFlags & HF_STRING) {
            const KxString& sText = static_cast<KxScStringObject*>(po)->sText;
            if (sText.IsNull()) {
                *psText = NULL_STRING;
                return;
            }
            nWhole = sText.Length();
            *psText = sText;
        } else {
            KxString sClass = po->GetClassNameA();
            nWhole = sClass.Length() + 2;
            *psText = "<";
            *psText << sClass << ">";
        }
    } else {
        nWhole = 3;
        *psText = "nil";
    }
    if (psText->Length() != nWhole) *psText = NULL_STRING;
}
