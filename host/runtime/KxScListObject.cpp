// Lists: the runtime's list type behind KxScStdLibListInterface, which plug-ins fill, and the
// list values of scripts, which the interpreter changes in place.
#include <climits>
#include <cstring>
#include <new>

#include "KxMemory.h"
#include "RtInternal.h"

__TarvoTypeInfo KxScListObject::_ptiTypeInfo("KxScList", &KxScData::_ptiTypeInfo);

KxScListObject::KxScListObject() : pphItems(nullptr), nCount(0), nCapacity(0), nChanges(0) {}

KxScListObject::~KxScListObject() {
    for (int i = 0; i < nCount; ++i) RtRelease(pphItems[i], false);
    delete[] pphItems;
}

__TarvoTypeInfo* KxScListObject::TarvoTypeInfo() { return &_ptiTypeInfo; }
KxString KxScListObject::GetClassNameA() { return "List"; }

// The larger array is had before the old one is let go: a growth that fails changes nothing.
// Growth doubles, so appending stays linear; the bytes it adds count in the collector's pace.
bool KxScListObject::Reserve(int nMore) {
    if (nMore <= nCapacity - nCount) return true;
    if (nMore > INT_MAX - nCount) return false;
    int nWanted = nCount + nMore;
    int nNew = nCapacity < 8 ? 8 : nCapacity;
    while (nNew < nWanted) nNew = nNew > INT_MAX / 2 ? INT_MAX : nNew * 2;
    if (static_cast<unsigned long long>(nNew) * sizeof(KxScDataHandle*) > ~size_t(0) / 2) return false;
    KxScDataHandle** pphNew = new (std::nothrow) KxScDataHandle*[nNew];
    if (!pphNew) return false;
    if (nCount) std::memcpy(pphNew, pphItems, nCount * sizeof(KxScDataHandle*));
    delete[] pphItems;
    pphItems = pphNew;
    RtAddPaceBytes(static_cast<unsigned long long>(nNew - nCapacity) * sizeof(KxScDataHandle*));
    nCapacity = nNew;
    return true;
}

bool KxScListObject::Insert(int nIndex, KxScDataHandle* phItem) {
    if (!Reserve(1)) return false;
    std::memmove(pphItems + nIndex + 1, pphItems + nIndex, (nCount - nIndex) * sizeof(KxScDataHandle*));
    pphItems[nIndex] = phItem;
    ++nCount;
    ++nChanges;
    return true;
}

void KxScListObject::Set(int nIndex, KxScDataHandle* phItem) {
    KxScDataHandle* phOld = pphItems[nIndex];
    pphItems[nIndex] = phItem;
    RtRelease(phOld, false);
    ++nChanges;
}

KxScDataHandle* KxScListObject::Take(int nIndex) {
    KxScDataHandle* ph = pphItems[nIndex];
    std::memmove(pphItems + nIndex, pphItems + nIndex + 1, (nCount - nIndex - 1) * sizeof(KxScDataHandle*));
    --nCount;
    ++nChanges;
    return ph;
}

// A plug-in cannot be told of an item left out: the shortage is noted, and the script's
// step fails instead of going on with a list made short.
void KxScListObject::AppendItem(KxScDataHandle* phItem) {
    if (!Reserve(1)) {
        KxNoteMemoryShort();
        return;
    }
    if (phItem) {
        phItem->AddRef();
    } else {
        phItem = RtCreateNil();
    }
    Insert(nCount, phItem);
}

KxScLinkData* KxScListObject::CountCircLinks(KxScDataHandle*) {
    if (nCount == 0) return nullptr;
    KxScLinkData* pld = new KxScLinkData{new KxScDataHandle*[nCount], nCount};
    std::memcpy(pld->pphLinks, pphItems, nCount * sizeof(KxScDataHandle*));
    return pld;
}

int KxScListObject::GetThroughCount(KxScDataHandle* phTarget) {
    int nThrough = 0;
    for (int i = 0; i < nCount; ++i) nThrough += pphItems[i] == phTarget;
    return nThrough;
}

void KxScStdLibListInterface::CreateList(KxScStdLibList** ppList, KxScDataHandle** pphList) {
    KxScListObject* pl = new KxScListObject;
    if (ppList) *ppList = pl;
    KxScDataHandle* ph = KxScDataHandle::CreateData(pl);
    if (pphList) {
        *pphList = ph;
    } else {
        ph->Drop();
    }
}

KxScStdLibList* KxScStdLibListInterface::ListOf(KxScDataHandle* phValue) {
    return phValue && (phValue->wFlags & HF_LIST) ? static_cast<KxScListObject*>(phValue->Object()) : nullptr;
}

KxScStdLibListInterface* KxScStdLib::pslliListInterface = nullptr;
