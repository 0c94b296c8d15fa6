#include "KxHashTable.h"
#include "KxMemory.h"

#include "KxArrayRoom.h"

namespace {
// FNV-1a over the key's bytes.
unsigned HashOf(const KxString& sKey) {
    unsigned uHash = 2166136261u;
    const char* p = sKey;
    for (unsigned i = 0; i < sKey.Length(); ++i) uHash = (uHash ^ static_cast<unsigned char>(p[i])) * 16777619u;
    return uHash;
}
}  // namespace

// The buckets are made by the first Insert: most objects never get a property.
KxHashTable::KxHashTable() : ppBuckets(nullptr), nBuckets(0), nCount(0) {}

KxHashTable::~KxHashTable() {
    // Derived classes are gone by now; their OnRemove must not run here.
    for (unsigned i = 0; i < nBuckets; ++i) {
        for (Entry* p = ppBuckets[i]; p;) {
            Entry* pNext = p->pNext;
            delete p;
            p = pNext;
        }
    }
    delete[] ppBuckets;
}

KxHashTable::Entry** KxHashTable::Find(const KxString& sKey) const {
    Entry** pp = &ppBuckets[HashOf(sKey) & (nBuckets - 1)];
    while (*pp && !((*pp)->sKey == sKey)) pp = &(*pp)->pNext;
    return pp;
}

void KxHashTable::Grow() {
    unsigned nNew = nBuckets * 2;
    Entry** ppNew = new Entry*[nNew]();
    for (unsigned i = 0; i < nBuckets; ++i) {
        for (Entry* p = ppBuckets[i]; p;) {
            Entry* pNext = p->pNext;
            Entry*& pHead = ppNew[HashOf(p->sKey) & (nNew - 1)];
            p->pNext = pHead;
            pHead = p;
            p = pNext;
        }
    }
    delete[] ppBuckets;
    ppBuckets = ppNew;
    nBuckets = nNew;
}

KxHashTable::Entry* KxHashTable::Put(const KxString& sKey, void* pvValue, bool* pbNew) {
    if (!ppBuckets) {
        nBuckets = 8;
        ppBuckets = new Entry*[nBuckets]();
    }
    Entry** pp = Find(sKey);
    *pbNew = !*pp;
    if (*pp) {
        (*pp)->pvValue = pvValue;
        return *pp;
    }
    Entry* p = *pp = new Entry{sKey, pvValue, nullptr};
    if (p->sKey.Length() != sKey.Length()) KxNoteMemoryShort();  // a key kept short
    if (static_cast<unsigned>(++nCount) > nBuckets) Grow();
    return p;
}

bool KxHashTable::Insert(const KxString& sKey, void* pvValue) {
    bool bNew = false;
    Put(sKey, pvValue, &bNew);
    return bNew;
}

KxHashTable::Entry* KxHashTable::EntryOf(const KxString& sKey) const {
    return ppBuckets ? *Find(sKey) : nullptr;
}

bool KxHashTable::Lookup(const KxString& sKey, void** ppvValue) const {
    Entry* p = EntryOf(sKey);
    if (!p) return false;
    if (ppvValue) *ppvValue = p->pvValue;
    return true;
}

bool KxHashTable::Remove(const KxString& sKey) {
    if (!ppBuckets) return false;
    Entry** pp = Find(sKey);
    Entry* p = *pp;
    if (!p) return false;
    *pp = p->pNext;
    --nCount;
    OnRemove(p->sKey, p->pvValue);
    delete p;
    return true;
}

void KxHashTable::RemoveAll() {
    for (unsigned i = 0; i < nBuckets; ++i) {
        while (Entry* p = ppBuckets[i]) {
            ppBuckets[i] = p->pNext;
            --nCount;
            OnRemove(p->sKey, p->pvValue);
            delete p;
        }
    }
}

void KxHashTable::OnRemove(const KxString&, void*) {}

KxDictionary::KxDictionary() : ppOrder(nullptr), nOrder(0), nRoom(0) {}

KxDictionary::~KxDictionary() { delete[] ppOrder; }

bool KxDictionary::Insert(const KxString& sKey, void* pvValue) {
    // Room first: a key is never in the table without its place in the order.
    KxMakeRoom(ppOrder, nOrder, nRoom);
    bool bNew = false;
    Entry* p = Put(sKey, pvValue, &bNew);
    if (bNew) ppOrder[nOrder++] = p;
    return bNew;
}

bool KxDictionary::Remove(const KxString& sKey) {
    Entry* p = EntryOf(sKey);
    if (!p) return false;
    int i = 0;
    while (ppOrder[i] != p) ++i;
    for (--nOrder; i < nOrder; ++i) ppOrder[i] = ppOrder[i + 1];
    return KxHashTable::Remove(sKey);
}

void KxDictionary::RemoveAll() {
    KxHashTable::RemoveAll();
    nOrder = 0;
}
