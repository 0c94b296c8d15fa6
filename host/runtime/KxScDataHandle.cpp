#include <cstring>

#include "RtInternal.h"

// All handles live in chunks owned by this pool; a handle never moves, so its address is the
// value scripts and plug-ins hold. Free handles carry the flag word FREE, which no live handle
// can have, and are chained through their value field.
struct KxScHandlePool {
    enum { CHUNK = 1024 };
    enum : uint16_t { FREE = 0xFFFF };
    struct Chunk {
        KxScDataHandle ahSlots[CHUNK];
        Chunk* pNext;
    };
    Chunk* pChunks = nullptr;
    KxScDataHandle* phFree = nullptr;
    int nLive = 0;
    int nSinceCollect = 0;
    bool bCollecting = false;

    ~KxScHandlePool() {
        while (pChunks) {
            Chunk* pNext = pChunks->pNext;
            delete pChunks;
            pChunks = pNext;
        }
    }

    KxScDataHandle* Allocate(uint16_t wFlags, uintptr_t dwValue) {
        if (!phFree) AddChunk();
        KxScDataHandle* ph = phFree;
        phFree = reinterpret_cast<KxScDataHandle*>(ph->dwValue);
        ++nLive;
        ++nSinceCollect;
        ph->wRefCount = 1;
        ph->wFlags = wFlags;
        ph->dwValue = dwValue;
        return ph;
    }

    void Free(KxScDataHandle* ph) {
        --nLive;
        ph->wFlags = FREE;
        ph->dwValue = reinterpret_cast<uintptr_t>(phFree);
        phFree = ph;
    }

    void AddChunk() {
        Chunk* pc = new Chunk;
        pc->pNext = pChunks;
        pChunks = pc;
        for (int i = CHUNK - 1; i >= 0; --i) {
            pc->ahSlots[i].wFlags = FREE;
            pc->ahSlots[i].dwValue = reinterpret_cast<uintptr_t>(phFree);
            phFree = &pc->ahSlots[i];
        }
    }

    KxScDataHandle* Wrap(KxScDataObject* po, uint16_t wKind) {
        if (po->phOwner) {
            po->phOwner->AddRef();
            return po->phOwner;
        }
        KxScDataHandle* ph = Allocate(wKind, reinterpret_cast<uintptr_t>(po));
        po->phOwner = ph;
        return ph;
    }

    // One pass over every live handle: frees those nobody references.
    int FreeUnreferenced() {
        int nFreed = 0;
        for (Chunk* pc = pChunks; pc; pc = pc->pNext) {
            for (int i = 0; i < CHUNK; ++i) {
                KxScDataHandle* ph = &pc->ahSlots[i];
                if (ph->wFlags == FREE || ph->wRefCount != 0) continue;
                KxScDataObject* po = ph->Object();
                RtUnlinkClassHandle(ph);
                Free(ph);
                ++nFreed;
                // The object's destructor may drop references of its own and make handles;
                // both are fine while this pass goes on.
                if (po) {
                    po->phOwner = nullptr;
                    delete po;
                }
            }
        }
        return nFreed;
    }
};

namespace {
KxScHandlePool gPool;

// The handle kind of an object: what scripts may do with it follows from its type.
uint16_t KindOf(KxScDataObject* po) {
    if (po->DynamicCast(KxScStringObject::_ptiTypeInfo.TypeName())) return HF_STRING;
    if (po->DynamicCast(KxScDataMethod::_ptiTypeInfo.TypeName())) return HF_METHOD;
    if (po->DynamicCast(KxScListObject::_ptiTypeInfo.TypeName())) return HF_LIST;
    if (po->DynamicCast("KxScError")) return HF_ERROR;
    return HF_OBJECT;
}
}  // namespace

KxScDataHandle* KxScDataHandle::CreateData(KxScDataObject* poObject) {
    if (!poObject) return RtCreateNil();
    return gPool.Wrap(poObject, KindOf(poObject));
}

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

KxScDataHandle* RtCreateNil() { return gPool.Allocate(0, 0); }

int KxScDataHandle::GarbageCollect() {
    // An object's destructor that collects again must not start a second walk of the pool.
    if (gPool.bCollecting) return 0;
    gPool.bCollecting = true;
    int nTotal = 0;
    for (int nFreed; (nFreed = gPool.FreeUnreferenced()) > 0;) nTotal += nFreed;
    gPool.nSinceCollect = 0;
    gPool.bCollecting = false;
    return nTotal;
}

int RtHandlesSinceCollect() { return gPool.nSinceCollect; }
int RtLiveHandles() { return gPool.nLive; }

void KxScDataHandle::InfoShort(KxString* psText) const {
    if (!psText) return;
    if (wFlags & HF_INTEGER) {
        *psText = "";
        *psText << static_cast<int>(dwValue);
    } else if (KxScDataObject* po = Object()) {
        if (wFlags & HF_STRING) {
            *psText = static_cast<KxScStringObject*>(po)->sText;
        } else {
            *psText = "<";
            *psText << po->GetClassNameA() << ">";
        }
    } else {
        *psText = "nil";
    }
}
