#pragma once
// The pattern every script class of the plug-in follows. A class derives from
// KxTshClass<itself>, defines its vocabulary in one KxTshClassDef (methods, signatures,
// property tokens, description, prelude constants) and its method functions; the skeleton
// does the rest: the class object, instance property access, setup and shutdown.
#include <initializer_list>
#include <memory>
#include <new>

#include "KxScClassInfo.h"
#include "KxScVmEnv.h"

// A table: a pointer and a count, made from an array (or empty).
template <class E>
struct KxTshTable {
    constexpr KxTshTable() : p(nullptr), n(0) {}
    template <int N>
    constexpr KxTshTable(const E (&a)[N]) : p(a), n(N) {}
    const E* begin() const { return p; }
    const E* end() const { return p + n; }
    const E* p;
    int n;
};

struct KxTshMethodDef {
    const char* pszName;   // the property name; the qualified name is "Class::" + this
    KxScMethodFunc pfnMethod;
    int nParams;           // -1: any number, checked by the method
};

struct KxTshSignatureDef {
    const char* pszMethod;
    const char* apszTypes[3];  // parameter type names, null after the last
};

struct KxTshParamDoc {
    const char* pszText;  // "String directory", "delay", "<var args>"
    const char* pszHelp;  // appended help text, or null
};

struct KxTshMethodDoc {  // one form of a method in the class description
    const char* pszName;
    KxTshParamDoc aParams[4];  // up to the first null text
    // The fields of the records the method gives, the names its records are made with.
    KxTshTable<const char*> fields = {};
};

struct KxTshConstant {  // a global constant of the class's prelude
    const char* pszName;
    int nValue;
};

struct KxTshClassDef {
    KxTshTable<KxTshMethodDef> methods;
    KxTshTable<KxTshSignatureDef> signatures;
    KxTshTable<const char*> tokens;         // instance property names, tokens 0, 1, ...
    // The class description is made from the tables that register the class: each method of
    // methods, in its order, with its forms of methodDocs, and a form of its parameter types
    // for each signature of a count of parameters no form documents (a bare form for a
    // method with neither); each token as a property, spelled as propertyDocs spells it
    // (without regard to case) where it lists it.
    KxTshTable<KxTshMethodDoc> methodDocs;
    KxTshTable<const char*> propertyDocs;
    KxTshTable<KxTshConstant> constants;
    bool bForgetsClassObject;  // its class object's destruction clears children and poClassObject
    int nErrorCode;            // of the exceptions the class raises
};

// A method's entry in KxTshClassDef::methods: T::M, run inside the class's guard.
#define KXTSH_METHOD(T, M) static_cast<KxScMethodFunc>(&T::template Guarded<&T::M>)

// What the skeleton does the same way for every class, written once.
namespace KxTsh {
// A script exception on the calling thread's environment. A thread without one (a host
// calling from elsewhere) has no script to raise it in: nothing happens then.
void Raise(int nCode, const KxString& sText);
void Raise(int nCode, const char* pszText);  // the text made whole first (Join)
// "Class::Name(): Not enough memory." for a method (pszAfter "()"), "Class::name: Not enough
// memory." for a property (pszAfter ""), with the class's code. It makes nothing that could
// fail for want of memory in turn.
void RaiseNoMemory(const KxString& sClassName, int nCode, const char* pszName, const char* pszAfter);
// The name of the method of def whose entry is pfnEntry.
const char* MethodName(const KxTshClassDef& def, KxScMethodFunc pfnEntry);
// Argument i of a call, or null when the call has fewer (a host may call a method directly
// with fewer arguments than the runtime would pass).
KxScDataHandle* Arg(int nArgs, KxScDataHandle** pphArgs, int i);
// The text of string argument i (the empty text for a string without one), or null when it
// is absent or not a string.
const KxString* TextArg(int nArgs, KxScDataHandle** pphArgs, int i);
// The same as a value (copied whole, as KxTsh::Join makes it), with sAbsent standing for a
// missing text.
KxString TextArg(int nArgs, KxScDataHandle** pphArgs, int i, const KxString& sAbsent);
// The longest text, in characters without the NUL that ends it, that the system takes whole
// as a file or folder name, a command line, or an environment variable's name or value.
const unsigned kMaxSystemText = 32766;
// Whether the system takes the text whole, with nAdded characters it puts in: at most
// kMaxSystemText characters of the ANSI code page in all, and no NUL byte in it. The system's Unicode layer counts a text's length in 16 bits
// of bytes; its ANSI entry points do not all check a longer text, which then reaches the
// system cut (under Wine, to its length modulo 65,536 bytes: a long name acts on another
// file). A NUL would cut it the same way. Every method refuses such a text before any call.
bool SystemTakes(const KxString& sText, unsigned nAdded = 0);
// The same for a command line, with what the system adds to it before its own limit applies:
// a program path it finds with a space in it, it puts in quotes. A line that does not start
// with a quote, holds a space or tab, and whose first word names no program the system finds
// (it then tries longer names, spaces and all) counts those two characters.
bool CommandLineTakes(const KxString& sLine);
// CreateProcessA, made once more when the system's own set-up of the new process failed
// (error 1359): under Wine a new process now and then finds the address of the page every
// process maps taken, and ends before anything of the program runs ("failed to map the shared
// user data"; about once in 3,000 starts of a program of none of our code, see
// tools/controls/spawn_loop). Up to three tries; every other refusal is the caller's.
bool StartProcess(char* pszLine, bool bInherit, unsigned long dwFlags, void* pEnvironment, const char* pszFolder,
                  struct _STARTUPINFOA* psi, struct _PROCESS_INFORMATION* ppi);
// Whether the system takes the text as a file or folder name: SystemTakes it, and it holds no
// '?' or '*' but in a leading "\\?\". Calls that search (a folder's listing) match those as
// wildcards against other names, and '?' marks a character of a name read back from the system
// that the code page could not hold (FromSystem): such a name reaches no file at all.
bool PathTakes(const KxString& sPath);
// The code page of the system's ANSI file functions: the ANSI one, or the OEM one when the
// host has switched them (SetFileApisToOEM).
unsigned FilePage();
// The text in UTF-16, ended by a NUL, for the system's Unicode functions; null when it could not
// be converted.
std::unique_ptr<wchar_t[]> ToWide(unsigned nPage, const KxString& sText);
// Texts the system gives back in UTF-16 (a folder's entries, the current folder, a variable's
// value), in the code page nPage. The system's ANSI functions give a character the page does not
// hold as its best fit, a Greek alpha as "a": a name that may reach another file. FromSystem
// holds the text exactly or not at all: true when the page holds every character (the text then
// reaches what it came from); else each character it cannot hold is '?' and the answer is false.
// AsSystemGives is the text as the ANSI functions give it, best fits and all (the null string
// when it cannot be converted).
bool FromSystem(unsigned nPage, const wchar_t* pwText, int nChars, KxString& sText);
KxString AsSystemGives(unsigned nPage, const wchar_t* pwText, int nChars);
// A function of a system library, looked up by name instead of linked: for what not every
// Windows the plug-ins load on exports (the library must load on all of them). Null when the
// module (an HMODULE) is null or has no such function.
void (*LookUpFunction(void* hModule, const char* pszName))();
template <class F>
F LookUp(void* hModule, const char* pszName) {
    return reinterpret_cast<F>(LookUpFunction(hModule, pszName));
}
// Whether a Unicode function of the system failed for not being there: the 95 family exports
// them but fails them. The caller then does what the ANSI function does.
bool NoUnicode();
// Texts the classes put together are whole, or not made at all: a part that the string cannot
// take (for want of memory, or past the longest text a string holds) ends the method with its
// "Not enough memory" error, through std::bad_alloc, instead of being left out. The null
// string is taken as the empty text, as the string itself takes it.
void Append(KxString& sText, const char* pText, unsigned nLength);
void Append(KxString& sText, const KxString& sPart);
void Append(KxString& sText, const char* pszPart);
void Append(KxString& sText, int nValue);
// The parts joined into a new text.
template <class... P>
KxString Join(const P&... parts) {
    KxString sText("");
    (Append(sText, parts), ...);
    return sText;
}
// The integer of integer argument i; false when it is absent or not an integer.
bool IntArg(int nArgs, KxScDataHandle** pphArgs, int i, int* pnValue);
// The script's boolean: an integer handle holding 1 or 0.
KxScDataHandle* Bool(bool bValue);
// One field of a record: the value pfnMake makes of pvFrom when it is not null, else a text
// when pszText is not null, else the integer.
struct Field {
    const char* pszName;
    int nValue;
    const char* pszText;
    KxScDataHandle* (*pfnMake)(const void* pvFrom) = nullptr;
    const void* pvFrom = nullptr;
};
// A plain object with the fields, read-only to scripts (its handle is fixed): what a method
// gives for a thing it only describes (a folder's entry, a listed process). Made whole or not
// at all.
KxScDataHandle* Record(std::initializer_list<Field> fields);

// A new script list of nCount items, item i made by MakeItem(i) (a handle with its reference).
// A list that memory cuts short is no list: the shortage goes on to the method's guard, with
// the list and the item in hand let go. Null when the runtime has no list type.
template <class F>
KxScDataHandle* List(unsigned nCount, F MakeItem) {
    KxScStdLibListInterface* pli = KxScStdLib::pslliListInterface;
    if (!pli) return nullptr;
    KxScStdLibList* pList = nullptr;
    KxScDataHandle* phList = nullptr;
    pli->CreateList(&pList, &phList);
    try {
        for (unsigned i = 0; i < nCount; ++i) {
            KxScDataHandle* ph = MakeItem(i);
            try {
                pList->AppendItem(ph);
            } catch (const std::bad_alloc&) {
                ph->Drop();
                throw;
            }
            ph->Drop();
        }
    } catch (const std::bad_alloc&) {
        phList->Drop();
        throw;
    }
    return phList;
}
// "global NAME = VALUE;" for each constant, nothing in between.
KxString PreludeText(const KxTshTable<KxTshConstant>& constants);
// Steps of the class-object constructor, in order: method handles stored as properties of
// poClass (only while it is the class object), signatures, token table, description.
void RegisterMethods(KxScObject* poClass, bool bIsClassObject, const KxString& sClassName,
                     const KxTshClassDef& def);
KxScPropTokenTable* MakeTokenTable(const KxTshClassDef& def);
void Describe(const KxString& sClassName, const KxTshClassDef& def);
// Class setup and shutdown around the class's global and registration.
void Publish(KxScDataObject* poClass, const KxString& sClassName);
void Withdraw(const KxString& sClassName);
}  // namespace KxTsh

template <class T>
class KxTshClass : public KxScObject {
public:
    // The per-class statics, defined in the order the plug-in builds them (TscShell.cpp).
    static KxString sClassName;
    static KxScHandleList hlChildClasses;
    static __TarvoTypeInfo _ptiTypeInfo;
    static T* poClassObject;
    static KxScPropTokenTable* pptTokenTable;
    static bool bShutDown;

    ~KxTshClass() override {
        if (T::kDef.bForgetsClassObject && IsClassObject()) {
            ClearChildClasses();
            poClassObject = nullptr;
        }
    }

    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }

    // The class object keeps the runtime's properties (its methods). An instance answers its
    // own properties (GetOwnProperty of the class) and passes every other name to the class
    // object, so it finds the same method handles. A property that cannot be made raises the
    // class's "Class::name: Not enough memory." and reads as no value.
    KxPropertyErrorCode GetProperty(const KxString& sName, KxScDataHandle** pphValue) override {
        if (IsClassObject()) return KxScObject::GetProperty(sName, pphValue);
        return Guard<KxPropertyErrorCode>(KX_PROP_OK, [&]() -> KxPropertyErrorCode {
            if (pphValue && static_cast<T*>(this)->GetOwnProperty(sName, pphValue)) return KX_PROP_OK;
            return poClassObject ? poClassObject->GetProperty(sName, pphValue) : KX_PROP_NOT_FOUND;
        }, [&] {
            if (pphValue) *pphValue = nullptr;
            KxTsh::RaiseNoMemory(sClassName, T::kDef.nErrorCode, sName, "");
        });
    }
    // Instances are read-only to scripts.
    KxPropertyErrorCode SetProperty(KxScDataHandle* phObject, const KxString& sName,
                                    KxScDataHandle* phValue, bool bHandOver) override {
        return Guard<KxPropertyErrorCode>(KX_PROP_REFUSED, [&]() -> KxPropertyErrorCode {
            if (IsClassObject()) return KxScObject::SetProperty(phObject, sName, phValue, bHandOver);
            if (bHandOver && phValue) phValue->Drop();
            return KX_PROP_REFUSED;
        }, [&] { KxTsh::RaiseNoMemory(sClassName, T::kDef.nErrorCode, sName, ""); });
    }

    KxString GetClassNameA() override { return sClassName; }
    KxScDataObject* GetParentClass() override { return KxScObject::poExemplar; }
    void AddChildClass(KxScDataHandle* phChild) override { hlChildClasses.Add(phChild); }
    KxScHandleList* GetChildClasses() override { return &hlChildClasses; }
    void ClearChildClasses() override { hlChildClasses.Clear(); }
    bool IsClassObject() override { return this == poClassObject; }
    KxScPropTokenTable* GetPropTokenTable() override { return pptTokenTable; }
    void FilloutPropertyNameList(KxStringList* plNames) override {
        KxScDataObject::FilloutPropertyNameList(plNames, pptTokenTable);
    }

    // Without the memory for the class object and its description the class is left out:
    // scripts do not find it, and the rest of the plug-in works on.
    static void SetupClass() {
        if (poClassObject) return;
        try {
            KxTsh::Publish(new T(ClassObject), sClassName);
        } catch (const std::bad_alloc&) {
            poClassObject = nullptr;
        }
    }
    static KxString GetPreludeText() { return KxTsh::PreludeText(T::kDef.constants); }
    static void ShutdownClass() {
        if (bShutDown) return;
        bShutDown = true;
        KxTsh::Withdraw(sClassName);
    }

    // Every entry the runtime calls (a method, a property read or write) runs inside Guard:
    // memory that cannot be had ends it with an exception the script can catch, and no C++
    // exception reaches the runtime, which has no notion of them.
    template <KxScDataHandle* (T::*M)(KxScDataHandle*, int, KxScDataHandle**)>
    KxScDataHandle* Guarded(KxScDataHandle* phSelf, int nArgs, KxScDataHandle** pphArgs) {
        return Guard<KxScDataHandle*>(nullptr,
                     [&] { return (static_cast<T*>(this)->*M)(phSelf, nArgs, pphArgs); },
                     [] {
                         KxTsh::RaiseNoMemory(sClassName, T::kDef.nErrorCode,
                                              KxTsh::MethodName(T::kDef, static_cast<KxScMethodFunc>(&KxTshClass::template Guarded<M>)),
                                              "()");
                     });
    }

protected:
    enum ClassObjectTag { ClassObject };

    explicit KxTshClass(unsigned dwFlags) : KxScObject(dwFlags) {}
    // The rest of a class-object constructor, called by it once the base is built with
    // KXO_SCRIPT_CLASS and the class's own members are in their empty state.
    void BuildClassObject() {
        dwFlags &= KXO_SCRIPT_CLASS;
        sObjectName = sClassName + "<class>";
        poClassObject = static_cast<T*>(this);
        KxTsh::RegisterMethods(this, IsClassObject(), sClassName, T::kDef);
        if (T::kDef.tokens.n > 0 && !pptTokenTable) pptTokenTable = KxTsh::MakeTokenTable(T::kDef);
        KxTsh::Describe(sClassName, T::kDef);
    }

    // The body's result, or rFailed after raise() when it ran out of memory.
    template <class R, class Body, class Raise>
    static R Guard(R rFailed, Body body, Raise raise) {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            raise();
            return rFailed;
        }
    }

    // No own properties unless the class says otherwise.
    bool GetOwnProperty(const KxString&, KxScDataHandle**) { return false; }
    // The class-object guard of instance methods.
    bool OnClassObject() { return IsClassObject(); }
};

// Declares a class's statics; KXTSH_DEFINE_STATICS defines them (KxTshStatics.cpp for all five).
#define KXTSH_DECLARE_STATICS(T)                                          \
    template <> KxString KxTshClass<T>::sClassName;                       \
    template <> KxScHandleList KxTshClass<T>::hlChildClasses;             \
    template <> __TarvoTypeInfo KxTshClass<T>::_ptiTypeInfo;              \
    template <> T* KxTshClass<T>::poClassObject;                          \
    template <> KxScPropTokenTable* KxTshClass<T>::pptTokenTable;         \
    template <> bool KxTshClass<T>::bShutDown
#define KXTSH_DEFINE_STATICS(T, name)                                                  \
    template <> KxString KxTshClass<T>::sClassName(name);                              \
    template <> KxScHandleList KxTshClass<T>::hlChildClasses{};                        \
    template <> __TarvoTypeInfo KxTshClass<T>::_ptiTypeInfo(#T, &KxScObject::_ptiTypeInfo); \
    template <> T* KxTshClass<T>::poClassObject = nullptr;                             \
    template <> KxScPropTokenTable* KxTshClass<T>::pptTokenTable = nullptr;            \
    template <> bool KxTshClass<T>::bShutDown = false
