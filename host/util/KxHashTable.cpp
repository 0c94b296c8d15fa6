#include "KxHashTable.h"

struct KxHashTable::Entry {
    KxString sKey;
    void* pvValue;
    Entry* pNext;
};

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

bool KxHashTable::Insert(const KxString& sKey, void* pvValue) {
    if (!ppBuckets) {
        nBuckets = 8;
        ppBuckets = new Entry*[nBuckets]();
    }
    Entry** pp = Find(sKey);
    if (*pp) {
        (*pp)->pvValue = pvValue;
        return false;
    }
    *pp = new Entry{sKey, pvValue, nullptr};
    if (static_cast<unsigned>(++nCount) > nBuckets) Grow();
    return true;
}

bool KxHashTable::Lookup(const KxString& sKey, void** ppvValue) const {
    if (!ppBuckets) return false;
    Entry* p = *Find(sKey);
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

KxDictionary::~KxDictionary() = default;

bool KxDictionary::Insert(const KxString& sKey, void* pvValue) {
    bool bNew = KxHashTable::Insert(sKey, pvValue);
    if (bNew) lOrder.Add(sKey);
    return bNew;
}

bool KxDictionary::Remove(const KxString& sKey) {
    if (!KxHashTable::Remove(sKey)) return false;
    lOrder.Remove(sKey);
    return true;
}

void KxDictionary::RemoveAll() {
    KxHashTable::RemoveAll();
    lOrder.Clear();
}
