// Maps: entries kept in the order their keys were first put, found through an index of open
// addressing (one probe loop, linear). The index has at least twice as many slots as there is
// room for entries, so a probe always ends at an empty slot.
#include <windows.h>

#include <cstring>
#include <new>

#include "RtInternal.h"

__TarvoTypeInfo KxScMapObject::_ptiTypeInfo("KxScMap", &KxScData::_ptiTypeInfo);

namespace {
// The hash is keyed with a secret of this process, so a script cannot choose keys that all
// land in one run of the index: text keys by SipHash-1-3, integers by a keyed 64-bit mix
// whose high bits reach the low ones (the index takes the low bits, and keys that are
// multiples of a power of two would otherwise share them).
struct HashKey {
    uint64_t k0, k1;
    HashKey() {
        LARGE_INTEGER li = {};
        QueryPerformanceCounter(&li);
        uint64_t x = static_cast<uint64_t>(li.QuadPart) ^ (uint64_t(GetCurrentProcessId()) << 32) ^
                     GetTickCount() ^ reinterpret_cast<uintptr_t>(&li);
        k0 = Mix(x + 0x9E3779B97F4A7C15ull);
        k1 = Mix(k0 + 0x9E3779B97F4A7C15ull);
    }
    static uint64_t Mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
} gKey;

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    uint64_t v0, v1, v2, v3;
    void Round() {
        v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
        v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
    }
    void Take(uint64_t m) {
        v3 ^= m;
        Round();
        v0 ^= m;
    }
};

uint64_t SipHash13(const unsigned char* p, unsigned n) {
    SipState s{gKey.k0 ^ 0x736F6D6570736575ull, gKey.k1 ^ 0x646F72616E646F6Dull,
               gKey.k0 ^ 0x6C7967656E657261ull, gKey.k1 ^ 0x7465646279746573ull};
    const unsigned char* pEnd = p + (n & ~7u);
    for (; p < pEnd; p += 8) {
        uint64_t m;
        std::memcpy(&m, p, 8);
        s.Take(m);
    }
    uint64_t b = static_cast<uint64_t>(n) << 56;
    for (unsigned i = 0; i < (n & 7u); ++i) b |= static_cast<uint64_t>(p[i]) << (8 * i);
    s.Take(b);
    s.v2 ^= 0xFF;
    s.Round();
    s.Round();
    s.Round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
// Keys are mostly short: compared here eight bytes at a time, not through a call of the C
// library's memcmp for each.
bool SameBytes(const char* a, const char* b, unsigned n) {
    for (; n >= 8; a += 8, b += 8, n -= 8) {
        uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) return false;
    }
    for (; n; --n)
        if (*a++ != *b++) return false;
    return true;
}
}  // namespace

uint32_t RtKey::Hash() const {
    if (!bText) return static_cast<uint32_t>(HashKey::Mix(static_cast<uint64_t>(n) ^ gKey.k0));
    return static_cast<uint32_t>(SipHash13(reinterpret_cast<const unsigned char*>(pText), nLength));
}


KxScMapObject::~KxScMapObject() {
    for (int i = 0; i < nEntries; ++i) {
        if (!pEntries[i].phKey) continue;
        RtRelease(pEntries[i].phKey, false);
        RtRelease(pEntries[i].phValue, false);
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

bool KxScMapObject::Entry::Holds(const RtKey& key) const {
    return key.bText ? nLength == key.nLength && SameBytes(pText, key.pText, key.nLength) : nLength == kNotText && nKey == key.n;
}

int KxScMapObject::Recent(const RtKey& key) const {
    if (nLastFound < 0 || nLastFound >= nEntries) return -1;
    const Entry& e = pEntries[nLastFound];
    return e.phKey && e.Holds(key) ? nLastFound : -1;
}

int KxScMapObject::Find(const RtKey& key, uint32_t dwHash) const {
    if (nIndexSize == 0) return -1;
    for (unsigned u = dwHash & (nIndexSize - 1);; u = (u + 1) & (nIndexSize - 1)) {
        int i = pnIndex[u];
        if (i < 0) return -1;
        const Entry& e = pEntries[i];
        if (e.dwHash == dwHash && e.phKey && e.Holds(key)) return i;
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
    RtRelease(phKey, false);
    RtRelease(phValue, false);
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
    Entry e{phKey, phValue, {nullptr}, dwHash, kNotText};
    if (phKey->wFlags & HF_STRING) {
        const KxString& sKey = static_cast<KxScStringObject*>(phKey->Object())->sText;
        e.pText = sKey;
        e.nLength = sKey.Length();
    } else {
        RtHandleInteger(phKey, &e.nKey);
    }
    pEntries[nEntries++] = e;
    ++nLive;
}
