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
    virtual void OnRemove(const KxString& sKey, void* pvValue);

private:
    struct Entry;
    Entry** Find(const KxString& sKey) const;
    void Grow();

    Entry** ppBuckets;
    unsigned nBuckets;
    int nCount;
};

// A hash table that also remembers the order in which keys were first inserted.
class KXUTIL_API KxDictionary : public KxHashTable {
public:
    KxDictionary() = default;
    ~KxDictionary() override;

    int KeyCount() const { return lOrder.Count(); }
    // The i-th key in insertion order, or null when out of range.
    const KxString* KeyAt(int nIndex) const { return lOrder.Get(nIndex); }

    bool Insert(const KxString& sKey, void* pvValue);
    bool Remove(const KxString& sKey);
    void RemoveAll();

private:
    KxStringList lOrder;
};
