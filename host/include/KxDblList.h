#pragma once
#include "KxUtilApi.h"

// A doubly linked list of untyped pointers. The list owns its nodes, never the items.
// Iterate with First()/Next(node) and read node->pvItem.
class KXUTIL_API KxDblList {
public:
    struct Node {
        Node* pPrev;
        Node* pNext;
        void* pvItem;
    };

    KxDblList();
    KxDblList(const KxDblList&) = delete;
    KxDblList& operator=(const KxDblList&) = delete;
    virtual ~KxDblList();

    void Add(void* pvItem);
    // Removes the first node holding pvItem; false when there is none.
    bool Remove(void* pvItem);
    void Clear();
    int Count() const { return nCount; }
    Node* First() const { return pHead; }
    static Node* Next(const Node* pNode) { return pNode->pNext; }

private:
    Node* pHead;
    Node* pTail;
    int nCount;
};
