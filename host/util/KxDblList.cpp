#include "KxDblList.h"
#include "KxMemory.h"
#include "KxStringList.h"

KxDblList::KxDblList() : pHead(nullptr), pTail(nullptr), nCount(0) {}

KxDblList::~KxDblList() { Clear(); }

void KxDblList::Add(void* pvItem) {
    Node* pNode = new Node{pTail, nullptr, pvItem};
    (pTail ? pTail->pNext : pHead) = pNode;
    pTail = pNode;
    ++nCount;
}

bool KxDblList::Remove(void* pvItem) {
    for (Node* pNode = pHead; pNode; pNode = pNode->pNext) {
        if (pNode->pvItem != pvItem) continue;
        (pNode->pPrev ? pNode->pPrev->pNext : pHead) = pNode->pNext;
        (pNode->pNext ? pNode->pNext->pPrev : pTail) = pNode->pPrev;
        delete pNode;
        --nCount;
        return true;
    }
    return false;
}

void KxDblList::Clear() {
    while (pHead) {
        Node* pNext = pHead->pNext;
        delete pHead;
        pHead = pNext;
    }
    pTail = nullptr;
    nCount = 0;
}

KxStringList::~KxStringList() { Clear(); }

void KxStringList::Add(const KxString& sText) {
    KxString* ps = new KxString(sText);
    if (ps->Length() != sText.Length()) KxNoteMemoryShort();  // an item kept short
    lItems.Add(ps);
}

bool KxStringList::Remove(const KxString& sText) {
    for (KxDblList::Node* pNode = lItems.First(); pNode; pNode = KxDblList::Next(pNode)) {
        KxString* psItem = static_cast<KxString*>(pNode->pvItem);
        if (*psItem == sText) {
            lItems.Remove(psItem);
            delete psItem;
            return true;
        }
    }
    return false;
}

void KxStringList::Clear() {
    for (KxDblList::Node* pNode = lItems.First(); pNode; pNode = KxDblList::Next(pNode))
        delete static_cast<KxString*>(pNode->pvItem);
    lItems.Clear();
}

const KxString* KxStringList::Get(int nIndex) const {
    if (nIndex < 0) return nullptr;
    KxDblList::Node* pNode = lItems.First();
    while (pNode && nIndex--) pNode = KxDblList::Next(pNode);
    return pNode ? static_cast<const KxString*>(pNode->pvItem) : nullptr;
}
