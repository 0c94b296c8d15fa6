#pragma once
#include <cstdint>

#include "KxDblList.h"
#include "KxHashTable.h"
#include "KxScRuntimeApi.h"
#include "KxString.h"

class KxScData;
class KxScDataObject;
class KxScDataHandle;
class KxScHandleList;
class KxScPropTokenTable;
class KxScPropertyExtList;
class KxScClassInfo;

// Result of a property read or write: 0 when it was done.
typedef int KxPropertyErrorCode;
enum : KxPropertyErrorCode {
    KX_PROP_OK = 0,
    KX_PROP_NOT_FOUND = 1,  // the object has no property of that name
    KX_PROP_REFUSED = 2,    // the object does not let scripts write it
};

// Flags of a value handle's flag word.
enum : uint16_t {
    HF_FIXED = 0x0008,       // read-only to scripts (see KxScVmEnv)
    HF_INTEGER = 0x0010,     // the value is the integer itself
    HF_OBJECT = 0x0040,      // the value points to an object of a script class
    HF_METHOD = 0x0080,      // ... to a KxScDataMethod
    HF_STRING = 0x0100,      // ... to a KxScStringObject
    HF_LIST = 0x0200,        // ... to a list (KxScStdLib)
    HF_ERROR = 0x0400,       // ... to a script error (code, text, line)
    HF_DATAOBJECT = 0x0FC0,  // any of these: the value points to a KxScDataObject
};

// The shape of every script method: called on the object the script named, with the handle
// of that object, the argument count and the argument handles. It returns a new value (the
// caller takes its reference) or null for no value.
typedef KxScDataHandle* (KxScDataObject::*KxScMethodFunc)(KxScDataHandle* phSelf, int nArgs,
                                                            KxScDataHandle** pphArgs);

// The runtime's reference to a script value. Callers read and change the three fields
// directly. A handle with reference count 0 is freed, with its object, by GarbageCollect, and
// so are handles whose every reference comes from objects that are themselves garbage.
// Choices of this runtime:
// - A new handle carries one reference: its creator's. The count saturates at 0xFFFF; a
//   handle that reached it is never freed, nor is anything it refers to.
// - The interpreter collects between statements once the script has made about as much as
//   the last collection kept (see KxScDataHandle.cpp); hosts collect whenever they like.
// - Wrapping an object that already has a handle gives that handle, with one more reference.
// - CreateData(text, bFixed) makes a string; bFixed sets HF_FIXED on it.
// - InfoShort: an integer in decimal, a string as it is, an object as "<ClassName>", an error
//   as "error CODE: TEXT".
class KXRT_API KxScDataHandle {
public:
    uint16_t wRefCount;
    uint16_t wFlags;
    uintptr_t dwValue;  // the integer, or the KxScDataObject*; pointer-wide on every target

    static KxScDataHandle* CreateData(KxScDataObject* poObject);
    static KxScDataHandle* CreateData(int nValue);
    static KxScDataHandle* CreateData(const KxString& sText, bool bFixed);
    static KxScDataHandle* CreateData(KxScMethodFunc pfnMethod, const KxString& sQualifiedName,
                                      int nParams);
    // Frees every handle nothing outside the garbage refers to (count 0, or only referred to
    // by objects being freed: cycles), with its object, until nothing more is free. The
    // result is the number of handles freed.
    static int GarbageCollect();

    void InfoShort(KxString* psText) const;

    bool IsObject() const { return (wFlags & HF_DATAOBJECT) != 0; }
    KxScDataObject* Object() const {
        return IsObject() ? reinterpret_cast<KxScDataObject*>(dwValue) : nullptr;
    }
    void AddRef() {
        if (wRefCount != 0xFFFF) ++wRefCount;
    }
    void Drop() {
        if (wRefCount > 0 && wRefCount != 0xFFFF) --wRefCount;
    }

private:
    KxScDataHandle() = default;
    friend struct KxScHandlePool;
};

// A type's name and its parent type: what DynamicCast matches on.
class KXRT_API __TarvoTypeInfo {
public:
    __TarvoTypeInfo(const char* pszTypeName, const __TarvoTypeInfo* ptiParent);
    const char* TypeName() const { return pszName; }
    // True when this type or one of its ancestors has the name.
    bool IsA(const char* pszTypeName) const;
    // True when this type is ptiType or derives from it: the same object, not just the name.
    bool IsA(const __TarvoTypeInfo* ptiType) const;

private:
    const char* pszName;
    const __TarvoTypeInfo* ptiParent;
};

// What an object links to: the handles it holds references to.
struct KxScLinkData {
    KxScDataHandle** pphLinks;
    int nCount;
};

// The root of every script value that lives in an object.
class KXRT_API KxScData {
public:
    KxScData();
    KxScData(const KxScData&) = delete;
    KxScData& operator=(const KxScData&) = delete;
    virtual ~KxScData();

    // The handles this object holds references to, one entry per reference (a handle held
    // twice is there twice), or null when it holds none; free the result with
    // ReleaseCircLinks. The collector finds groups of objects that only refer to each other
    // with it: an object that holds references and does not report them here keeps what it
    // refers to alive, cycles through it included.
    virtual KxScLinkData* CountCircLinks(KxScDataHandle* phSelf);
    virtual void ReleaseCircLinks(KxScLinkData* pldLinks);
    // How many of this object's references go to phTarget: its entries in CountCircLinks.
    virtual int GetThroughCount(KxScDataHandle* phTarget);
    // One more or one less reference on the handle that holds this object.
    virtual void AddRef();
    virtual void Release();
    virtual __TarvoTypeInfo* TarvoTypeInfo();
    // This object when its type is, or derives from, the named type; otherwise null.
    virtual KxScData* DynamicCast(const char* pszTypeName);

    static __TarvoTypeInfo _ptiTypeInfo;
    // Objects alive in the process (for the host's leak report). While the runtime runs, this
    // includes the objects of dropped short texts it keeps for reuse; none are left after
    // KxTarvo::Shutdown.
    static int LiveObjects();

private:
    friend struct KxScHandlePool;
    KxScDataHandle* phOwner;  // the handle that holds this object, once it has one
};

// An object with named properties, as scripts see it.
// Choices of this runtime:
// - The flags word is the object's kind for the runtime: 0x200 marks an object of a script
//   class, 0x001 one that holds an outside resource (an open file); both are kept as given.
// - The base keeps properties by exact name, in the order first set. Reading one hands the
//   caller a reference; writing one with bHandOver takes over the value's reference,
//   otherwise adds one. A replaced value loses the object's reference.
class KXRT_API KxScDataObject : public KxScData {
public:
    enum : unsigned { KXO_SCRIPT_CLASS = 0x200, KXO_RESOURCE = 0x001 };

    explicit KxScDataObject(unsigned dwFlags);
    ~KxScDataObject() override;
    // The values of its properties.
    KxScLinkData* CountCircLinks(KxScDataHandle* phSelf) override;
    int GetThroughCount(KxScDataHandle* phTarget) override;

    virtual KxPropertyErrorCode GetProperty(const KxString& sName, KxScDataHandle** pphValue);
    virtual KxPropertyErrorCode SetProperty(KxScDataHandle* phObject, const KxString& sName,
                                            KxScDataHandle* phValue, bool bHandOver);
    virtual KxString GetClassNameA();
    virtual KxScDataObject* GetParentClass();
    virtual void AddChildClass(KxScDataHandle* phChild);
    virtual KxScHandleList* GetChildClasses();
    virtual void ClearChildClasses();
    virtual bool IsClassObject();
    // Names of the properties that are not methods; bAppend keeps what the list holds.
    virtual void GetPropertyNames(KxStringList* plNames, bool bAppend);
    virtual void GetInstanceProperties(KxStringList* plNames, bool bAppend);
    virtual KxScPropTokenTable* GetPropTokenTable();
    virtual void FilloutPropertyNameList(KxStringList* plNames);
    // Names of the properties that hold methods.
    virtual void GetMethodNames(KxStringList* plNames, bool bAppend);
    virtual bool CompareObject(KxScDataObject* poOther);
    virtual KxScPropertyExtList* GetPropertyExtensions();

    // The class descriptions shown to users; the runtime owns what it is given.
    static void AddClassInfo(KxScClassInfo* pciInfo);
    // The registered class object of a name, found by the runtime by that name.
    static void RegisterClassObject(const KxString& sClassName, KxScDataHandle* phClass);
    static void UnregisterClassObject(const KxString& sClassName);
    static KxScDataHandle* FindClassObject(const KxString& sClassName);
    // The token of a name in the table, or -1.
    static int LookupPropertyToken(const KxString& sName, KxScPropTokenTable* pptTable);
    // Appends the table's names in token order.
    static void FilloutPropertyNameList(KxStringList* plNames, KxScPropTokenTable* pptTable);

    unsigned dwFlags;
    KxString sObjectName;

protected:
    KxDictionary dProperties;  // name -> KxScDataHandle*, one reference each

private:
    void CollectNames(KxStringList* plNames, bool bAppend, bool bMethods);
    // The value of the i-th property in the order first set.
    KxScDataHandle* PropertyAt(int nIndex) const;
};

// An object that is a value in itself: a string, a list, a method, an error. It has no
// properties: every write is refused with KX_PROP_REFUSED (a handed-over value is dropped).
// It tells the collector what it holds beyond its handle (text, items), in bytes: the
// collector's pace counts it, so dropping heavy values brings collections as soon as light
// ones do. (Objects of script classes cannot tell: the host contract has no such operation.
// What the collector sees of them is their resource flag and the utility library's
// containers, see KxScDataHandle.cpp.)
class KXRT_API KxScValueObject : public KxScDataObject {
public:
    KxScValueObject() : KxScDataObject(0) {}
    KxPropertyErrorCode SetProperty(KxScDataHandle* phObject, const KxString& sName,
                                    KxScDataHandle* phValue, bool bHandOver) override;
    virtual unsigned long long HeldBytes();
};

// A string value's object: its text follows the base directly.
class KXRT_API KxScStringObject : public KxScValueObject {
public:
    explicit KxScStringObject(const KxString& sText);
    explicit KxScStringObject(KxString&& sText);
    KxString sText;

    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxString GetClassNameA() override;
    unsigned long long HeldBytes() override;
    static __TarvoTypeInfo _ptiTypeInfo;
};

// A list of handles that holds no references: the child classes of a class.
class KXRT_API KxScHandleList : public KxDblList {
public:
    void Add(KxScDataHandle* phItem) { KxDblList::Add(phItem); }
    bool Remove(KxScDataHandle* phItem) { return KxDblList::Remove(phItem); }
    static KxScDataHandle* Item(const Node* pNode) {
        return static_cast<KxScDataHandle*>(pNode->pvItem);
    }
};

// Property names of a class with their tokens.
class KXRT_API KxScPropTokenTable : public KxDictionary {
public:
    void AddToken(const KxString& sName, int nToken);
};

// The object classes of script classes derive from this. The root exemplar is the parent of
// every class object: registering a class links it there, unregistering unlinks it.
class KXRT_API KxScObject : public KxScDataObject {
public:
    explicit KxScObject(unsigned dwFlags);
    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxScDataObject* GetParentClass() override;
    void AddChildClass(KxScDataHandle* phChild) override;
    KxScHandleList* GetChildClasses() override;
    void ClearChildClasses() override;

    static KxScDataObject* poExemplar;
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    KxScHandleList hlChildren;
};
