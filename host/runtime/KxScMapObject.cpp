// Maps: entries kept in the order their keys were first put, found through an index of open
// addressing (one probe loop, linear). The index has at least twice as many slots as there is
// room for entries, so a probe always ends at an empty slot.
#include <cstring>
#include <new>

#include "RtInternal.h"

__TarvoTypeInfo KxScMapObject::_ptiTypeInfo("KxScMap", &KxScData::_ptiTypeInfo);

uint32_t RtKey::Hash() const {
    if (!bText) return static_cast<uint32_t>(n) * 2654435761u;
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned i = 0; i < nLength; ++i) h = (h ^ static_cast<unsigned char>(pText[i])) * 16777619u;
    return h;
}

bool RtKey::Matches(const KxScDataHandle* ph) const {
    if (!bText) return (ph->wFlags & HF_INTEGER) && static_cast<int>(ph->dwValue) == n;
    if (!(ph->wFlags & HF_STRING)) return false;
    const KxString& s = static_cast<KxScStringObject*>(ph->Object())->sText;
    return s.Length() == nLength && (nLength == 0 || std::memcmp(static_cast<const char*>(s), pText, nLength) == 0);
}

KxScMapObject::~KxScMapObject() {
    for (int i = 0; i < nEntries; ++i) {
        if (!pEntries[i].phKey) continue;
        pEntries[i].phKey->Drop();
        pEntries[i].phValue->Drop();
    }
    delete[] pEntries;
    delete[] pnIndex;
}

__TarvoTypeInfo* KxScMapObject::TarvoTypeInfo() { return &_ptiTypeInfo; }
KxString KxScMapObject::GetClassNameA() { return "Map"; }

unsigned long long KxScMapObject::HeldBytes() {
    return static_cast<unsigned long long>(nRoom) * sizeof(Entry) + nIndexSize * sizeof(int);
}

KxScLinkData* KxScMapObject::CountCircLinks(KxScDataHandle*) {
    if (nLive == 0) return nullptr;
    KxScLinkData* pld = new KxScLinkData{new KxScDataHandle*[2 * nLive], 2 * nLive};
    int n = 0;
    for (int i = Next(0); i >= 0; i = Next(i + 1)) {
        pld->pphLinks[n++] = pEntries[i].phKey;
        pld->pphLinks[n++] = pEntries[i].phValue;
    }
    return pld;
}

int KxScMapObject::GetThroughCount(KxScDataHandle* phTarget) {
    int nThrough = 0;
    for (int i = Next(0); i >= 0; i = Next(i + 1))
        nThrough += (pEntries[i].phKey == phTarget) + (pEntries[i].phValue == phTarget);
    return nThrough;
}

KxPropertyErrorCode KxScMapObject::GetProperty(const KxString& sName, KxScDataHandle** pphValue) {
    KxScDataHandle* ph = Get(RtKey{true, 0, sName, sName.Length()});
    if (!ph) return KX_PROP_NOT_FOUND;
    ph->AddRef();
    *pphValue = ph;
    return KX_PROP_OK;
}

void KxScMapObject::GetPropertyNames(KxStringList* plNames, bool bAppend) {
    if (!plNames) return;
    if (!bAppend) plNames->Clear();
    for (int i = Next(0); i >= 0; i = Next(i + 1))
        if (pEntries[i].phKey->wFlags & HF_STRING) plNames->Add(static_cast<KxScStringObject*>(pEntries[i].phKey->Object())->sText);
}

int KxScMapObject::Find(const RtKey& key) const {
    if (nIndexSize == 0) return -1;
    uint32_t dwHash = key.Hash();
    for (unsigned u = dwHash & (nIndexSize - 1);; u = (u + 1) & (nIndexSize - 1)) {
        int i = pnIndex[u];
        if (i < 0) return -1;
        const Entry& e = pEntries[i];
        if (e.phKey && e.dwHash == dwHash && key.Matches(e.phKey)) return i;
    }
}

KxScDataHandle* KxScMapObject::Get(const RtKey& key) const {
    int i = Find(key);
    return i >= 0 ? pEntries[i].phValue : nullptr;
}

int KxScMapObject::Next(int nFrom) const {
    for (int i = nFrom; i < nEntries; ++i)
        if (pEntries[i].phKey) return i;
    return -1;
}

bool KxScMapObject::Delete(const RtKey& key) {
    int i = Find(key);
    if (i < 0) return false;
    KxScDataHandle* phKey = pEntries[i].phKey;
    KxScDataHandle* phValue = pEntries[i].phValue;
    pEntries[i].phKey = pEntries[i].phValue = nullptr;  // its index slot now only leads on
    --nLive;
    phKey->Drop();
    phValue->Drop();
    return true;
}

// Room for one more entry: the entries packed when deleted ones take half of them, otherwise
// twice the room. New arrays are had before the old ones go, so a failure changes nothing.
bool KxScMapObject::Room() {
    if (nEntries < nRoom) return true;
    int nNewRoom = nLive < nRoom / 2 ? nRoom : (nRoom ? nRoom * 2 : 8);
    if (nNewRoom > (1 << 28)) return false;
    unsigned nNewIndex = static_cast<unsigned>(nNewRoom) * 2;
    Entry* pNewEntries = nNewRoom == nRoom ? pEntries : new (std::nothrow) Entry[nNewRoom];
    int* pnNewIndex = nNewIndex == nIndexSize ? pnIndex : new (std::nothrow) int[nNewIndex];
    if (!pNewEntries || !pnNewIndex) {
        if (pNewEntries != pEntries) delete[] pNewEntries;
        if (pnNewIndex != pnIndex) delete[] pnNewIndex;
        return false;
    }
    int n = 0;
    for (int i = Next(0); i >= 0; i = Next(i + 1)) pNewEntries[n++] = pEntries[i];
    if (pNewEntries != pEntries) {
        delete[] pEntries;
        RtAddPaceBytes(static_cast<unsigned long long>(nNewRoom - nRoom) * sizeof(Entry) +
                       (nNewIndex - nIndexSize) * sizeof(int));
    }
    if (pnNewIndex != pnIndex) delete[] pnIndex;
    pEntries = pNewEntries;
    pnIndex = pnNewIndex;
    nRoom = nNewRoom;
    nIndexSize = nNewIndex;
    nEntries = n;
    std::memset(pnIndex, 0xFF, nIndexSize * sizeof(int));
    for (int i = 0; i < nEntries; ++i) {
        unsigned u = pEntries[i].dwHash & (nIndexSize - 1);
        while (pnIndex[u] >= 0) u = (u + 1) & (nIndexSize - 1);
        pnIndex[u] = i;
    }
    return true;
}

void KxScMapObject::Add(KxScDataHandle* phKey, KxScDataHandle* phValue, uint32_t dwHash) {
    unsigned u = dwHash & (nIndexSize - 1);
    while (pnIndex[u] >= 0) u = (u + 1) & (nIndexSize - 1);
    pnIndex[u] = nEntries;
    pEntries[nEntries++] = Entry{phKey, phValue, dwHash};
    ++nLive;
}
