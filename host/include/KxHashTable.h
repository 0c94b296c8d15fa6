#pragma once
#include "KxStringList.h"

// A chained hash table from exact string keys to pointer-sized values.
// It grows when it holds more keys than buckets. Keys are copied and owned.
class KXUTIL_API KxHashTable {
public:
    KxHashTable();
    KxHashTable(const KxHashTable&) = delete;
    KxHashTable& operator=(const KxHashTable&) = delete;
    virtual ~KxHashTable();

    // Sets the value of sKey; true when the key was new.
    bool Insert(const KxString& sKey, void* pvValue);
    // The value of sKey through pvValue; false (pvValue untouched) when absent.
    bool Lookup(const KxString& sKey, void** ppvValue) const;
    bool Remove(const KxString& sKey);
    void RemoveAll();
    int Count() const { return nCount; }

protected:
    struct Entry {
        KxString sKey;
        void* pvValue;
        Entry* pNext;
    };
    virtual void OnRemove(const KxString& sKey, void* pvValue);
    // Sets the value of sKey and gives its entry, which stays where it is until the key is
    // removed; *pbNew says whether the key was new.
    Entry* Put(const KxString& sKey, void* pvValue, bool* pbNew);
    // The entry of sKey, or null.
    Entry* EntryOf(const KxString& sKey) const;

private:
    Entry** Find(const KxString& sKey) const;
    void Grow();

    Entry** ppBuckets;
    unsigned nBuckets;
    int nCount;
};

// A hash table that also remembers the order in which keys were first inserted, and finds
// the i-th key and value in constant time: objects walk all their properties by position
// (the collector, destruction), which must stay linear in their number.
class KXUTIL_API KxDictionary : public KxHashTable {
public:
    KxDictionary();
    ~KxDictionary() override;

    int KeyCount() const { return nOrder; }
    // The i-th key in insertion order, or null when out of range.
    const KxString* KeyAt(int nIndex) const { return InRange(nIndex) ? &ppOrder[nIndex]->sKey : nullptr; }
    // The value of the i-th key, or null when out of range.
    void* ValueAt(int nIndex) const { return InRange(nIndex) ? ppOrder[nIndex]->pvValue : nullptr; }

    bool Insert(const KxString& sKey, void* pvValue);
    bool Remove(const KxString& sKey);
    void RemoveAll();

private:
    bool InRange(int nIndex) const { return nIndex >= 0 && nIndex < nOrder; }
    Entry** ppOrder;  // the entries in insertion order
    int nOrder, nRoom;
};
