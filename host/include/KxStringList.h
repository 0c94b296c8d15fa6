#pragma once
#include "KxDblList.h"
#include "KxString.h"

// A list of strings it owns, in the order added.
class KXUTIL_API KxStringList {
public:
    KxStringList() = default;
    KxStringList(const KxStringList&) = delete;
    KxStringList& operator=(const KxStringList&) = delete;
    ~KxStringList();

    void Add(const KxString& sText);
    // Removes the first string equal to sText; false when there is none.
    bool Remove(const KxString& sText);
    void Clear();
    int Count() const { return lItems.Count(); }
    // The i-th string (0-based), or null when out of range.
    const KxString* Get(int nIndex) const;

private:
    KxDblList lItems;
};
