#include <cstring>
#include "KxMemory.h"

#include "KxScClassInfo.h"
#include "RtInternal.h"

// ---- type information

__TarvoTypeInfo::__TarvoTypeInfo(const char* pszTypeName, const __TarvoTypeInfo* ptiParent)
    : pszName(pszTypeName), ptiParent(ptiParent) {}

bool __TarvoTypeInfo::IsA(const char* pszTypeName) const {
    if (!pszTypeName) return false;
    for (const __TarvoTypeInfo* pti = this; pti; pti = pti->ptiParent)
        if (pti->pszName && std::strcmp(pti->pszName, pszTypeName) == 0) return true;
    return false;
}

bool __TarvoTypeInfo::IsA(const __TarvoTypeInfo* ptiType) const {
    for (const __TarvoTypeInfo* pti = this; pti; pti = pti->ptiParent)
        if (pti == ptiType) return true;
    return false;
}

__TarvoTypeInfo KxScData::_ptiTypeInfo("KxScData", nullptr);
__TarvoTypeInfo KxScObject::_ptiTypeInfo("KxScObject", &KxScData::_ptiTypeInfo);
__TarvoTypeInfo KxScStringObject::_ptiTypeInfo("KxScString", &KxScData::_ptiTypeInfo);

// ---- KxScData

namespace {
int gLiveObjects = 0;
}

KxScData::KxScData() : phOwner(nullptr) { ++gLiveObjects; }
KxScData::~KxScData() { --gLiveObjects; }
int KxScData::LiveObjects() { return gLiveObjects; }

KxScLinkData* KxScData::CountCircLinks(KxScDataHandle*) { return nullptr; }

void KxScData::ReleaseCircLinks(KxScLinkData* pldLinks) {
    if (!pldLinks) return;
    delete[] pldLinks->pphLinks;
    delete pldLinks;
}

int KxScData::GetThroughCount(KxScDataHandle*) { return 0; }

void KxScData::AddRef() {
    if (phOwner) phOwner->AddRef();
}

void KxScData::Release() {
    if (phOwner) phOwner->Drop();
}

__TarvoTypeInfo* KxScData::TarvoTypeInfo() { return &_ptiTypeInfo; }

KxScData* KxScData::DynamicCast(const char* pszTypeName) {
    const __TarvoTypeInfo* pti = TarvoTypeInfo();
    return pti && pti->IsA(pszTypeName) ? this : nullptr;
}

// ---- KxScDataObject

KxScDataObject::KxScDataObject(unsigned dwFlags) : dwFlags(dwFlags) {}

KxScDataObject::~KxScDataObject() {
    for (int i = 0; i < dProperties.KeyCount(); ++i) PropertyAt(i)->Drop();
}

KxScDataHandle* KxScDataObject::PropertyAt(int nIndex) const {
    return static_cast<KxScDataHandle*>(dProperties.ValueAt(nIndex));
}

KxScLinkData* KxScDataObject::CountCircLinks(KxScDataHandle*) {
    int nCount = dProperties.KeyCount();
    if (nCount == 0) return nullptr;
    KxScLinkData* pld = new KxScLinkData{new KxScDataHandle*[nCount], nCount};
    for (int i = 0; i < nCount; ++i) pld->pphLinks[i] = PropertyAt(i);
    return pld;
}

int KxScDataObject::GetThroughCount(KxScDataHandle* phTarget) {
    int nThrough = 0;
    for (int i = 0; i < dProperties.KeyCount(); ++i) nThrough += PropertyAt(i) == phTarget;
    return nThrough;
}

KxPropertyErrorCode KxScDataObject::GetProperty(const KxString& sName, KxScDataHandle** pphValue) {
    void* pv = nullptr;
    if (!pphValue || !dProperties.Lookup(sName, &pv)) return KX_PROP_NOT_FOUND;
    KxScDataHandle* ph = static_cast<KxScDataHandle*>(pv);
    ph->AddRef();
    *pphValue = ph;
    return KX_PROP_OK;
}

KxPropertyErrorCode KxScDataObject::SetProperty(KxScDataHandle*, const KxString& sName,
                                                KxScDataHandle* phValue, bool bHandOver) {
    void* pvOld = nullptr;
    if (dProperties.Lookup(sName, &pvOld)) static_cast<KxScDataHandle*>(pvOld)->Drop();
    if (!phValue) {
        dProperties.Remove(sName);
        return KX_PROP_OK;
    }
    if (!bHandOver) phValue->AddRef();
    // A class registers its methods on its class object: that is the class they belong to.
    if ((phValue->wFlags & HF_METHOD) && IsClassObject())
        static_cast<KxScDataMethod*>(phValue->Object())->BindToClass(TarvoTypeInfo());
    dProperties.Insert(sName, phValue);
    return KX_PROP_OK;
}

KxPropertyErrorCode KxScValueObject::SetProperty(KxScDataHandle*, const KxString&,
                                                 KxScDataHandle* phValue, bool bHandOver) {
    if (bHandOver && phValue) phValue->Drop();
    return KX_PROP_REFUSED;
}

unsigned long long KxScValueObject::HeldBytes() { return 0; }

KxString KxScDataObject::GetClassNameA() { return "Object"; }
KxScDataObject* KxScDataObject::GetParentClass() { return nullptr; }
void KxScDataObject::AddChildClass(KxScDataHandle*) {}  // plain objects have no children
KxScHandleList* KxScDataObject::GetChildClasses() { return nullptr; }
void KxScDataObject::ClearChildClasses() {}
bool KxScDataObject::IsClassObject() { return false; }

void KxScDataObject::CollectNames(KxStringList* plNames, bool bAppend, bool bMethods) {
    if (!plNames) return;
    if (!bAppend) plNames->Clear();
    for (int i = 0; i < dProperties.KeyCount(); ++i) {
        bool bMethod = (PropertyAt(i)->wFlags & HF_METHOD) != 0;
        if (bMethod == bMethods) plNames->Add(*dProperties.KeyAt(i));
    }
}

void KxScDataObject::GetPropertyNames(KxStringList* plNames, bool bAppend) {
    CollectNames(plNames, bAppend, false);
}

void KxScDataObject::GetInstanceProperties(KxStringList* plNames, bool bAppend) {
    if (!plNames) return;
    if (!bAppend) plNames->Clear();
    FilloutPropertyNameList(plNames);
}

void KxScDataObject::GetMethodNames(KxStringList* plNames, bool bAppend) {
    CollectNames(plNames, bAppend, true);
}

KxScPropTokenTable* KxScDataObject::GetPropTokenTable() { return nullptr; }

void KxScDataObject::FilloutPropertyNameList(KxStringList* plNames) {
    FilloutPropertyNameList(plNames, GetPropTokenTable());
}

bool KxScDataObject::CompareObject(KxScDataObject* poOther) { return poOther == this; }
KxScPropertyExtList* KxScDataObject::GetPropertyExtensions() { return nullptr; }

int KxScDataObject::LookupPropertyToken(const KxString& sName, KxScPropTokenTable* pptTable) {
    void* pv = nullptr;
    if (!pptTable || !pptTable->Lookup(sName, &pv)) return -1;
    return static_cast<int>(reinterpret_cast<intptr_t>(pv));
}

void KxScDataObject::FilloutPropertyNameList(KxStringList* plNames, KxScPropTokenTable* pptTable) {
    if (!plNames || !pptTable) return;
    // Tokens are handed out in the order names are added, so that order is token order.
    for (int i = 0; i < pptTable->KeyCount(); ++i) plNames->Add(*pptTable->KeyAt(i));
}

void KxScPropTokenTable::AddToken(const KxString& sName, int nToken) {
    Insert(sName, reinterpret_cast<void*>(static_cast<intptr_t>(nToken)));
}

// ---- class registry and descriptions

namespace {
KxHashTable gClasses;     // class name -> handle of its class object (no reference)
KxDblList gClassInfos;    // KxScClassInfo*, owned
}  // namespace

void KxScDataObject::RegisterClassObject(const KxString& sClassName, KxScDataHandle* phClass) {
    if (phClass) gClasses.Insert(sClassName, phClass);
}

namespace {
void UnlinkFromExemplar(KxScDataHandle* phClass) {
    if (!KxScObject::poExemplar) return;
    if (KxScHandleList* phl = KxScObject::poExemplar->GetChildClasses()) phl->Remove(phClass);
}
}  // namespace

void KxScDataObject::UnregisterClassObject(const KxString& sClassName) {
    KxScDataHandle* ph = FindClassObject(sClassName);
    if (!ph) return;
    gClasses.Remove(sClassName);
    UnlinkFromExemplar(ph);
}

KxScDataHandle* KxScDataObject::FindClassObject(const KxString& sClassName) {
    void* pv = nullptr;
    return gClasses.Lookup(sClassName, &pv) ? static_cast<KxScDataHandle*>(pv) : nullptr;
}

void RtUnlinkClassHandle(KxScDataHandle* phClass) {
    KxScDataObject* po = phClass->Object();
    if (!po) return;
    KxString sName = po->GetClassNameA();
    if (KxScDataObject::FindClassObject(sName) == phClass) gClasses.Remove(sName);
    UnlinkFromExemplar(phClass);
}

void KxScDataObject::AddClassInfo(KxScClassInfo* pciInfo) {
    if (pciInfo) gClassInfos.Add(pciInfo);
}

KxString KxScClassInfo::AllClassesTree() {
    KxString sTree("");
    for (KxDblList::Node* pn = gClassInfos.First(); pn; pn = KxDblList::Next(pn))
        static_cast<KxScClassInfo*>(pn->pvItem)->DisplayInTree(&sTree, 0);
    return sTree;
}

void RtDeleteClassInfos() {
    for (KxDblList::Node* pn = gClassInfos.First(); pn; pn = KxDblList::Next(pn))
        delete static_cast<KxScClassInfo*>(pn->pvItem);
    gClassInfos.Clear();
}

// ---- strings and the root object type

// A copy that memory could not hold whole is noted: the script's next step then fails.
KxScStringObject::KxScStringObject(const KxString& sText) : sText(sText) {
    if (this->sText.Length() != sText.Length()) KxNoteMemoryShort();
}
KxScStringObject::KxScStringObject(KxString&& sText)
    : sText(static_cast<KxString&&>(sText)) {}
__TarvoTypeInfo* KxScStringObject::TarvoTypeInfo() { return &_ptiTypeInfo; }
KxString KxScStringObject::GetClassNameA() { return "String"; }
unsigned long long KxScStringObject::HeldBytes() { return sText.Length(); }

KxScDataObject* KxScObject::poExemplar = nullptr;

KxScObject::KxScObject(unsigned dwFlags) : KxScDataObject(dwFlags) {}
__TarvoTypeInfo* KxScObject::TarvoTypeInfo() { return &_ptiTypeInfo; }

KxScDataObject* KxScObject::GetParentClass() { return this == poExemplar ? nullptr : poExemplar; }
void KxScObject::AddChildClass(KxScDataHandle* phChild) {
    if (phChild) hlChildren.Add(phChild);
}
KxScHandleList* KxScObject::GetChildClasses() { return &hlChildren; }
void KxScObject::ClearChildClasses() { hlChildren.Clear(); }
