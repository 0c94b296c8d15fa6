#pragma once
#include "KxScData.h"

// The script environment of one thread: where a method raises a script exception.
// Globals are process-wide and shared by every environment.
// Choices of this runtime:
// - SetGlobalVariable(name, handle, bHandOver, bOnlyIfNew): the global takes over the
//   caller's reference when bHandOver, otherwise adds its own; with bOnlyIfNew an existing
//   global is left as it is (and false is returned).
// - GetGlobalVariable gives the handle without a reference of the caller's own.
// - ClearGlobalVariable(name, bRelease) removes the global; its reference is dropped only with
//   bRelease, otherwise the caller takes it over.
// - A global the host set to a handle carrying HF_FIXED (a class global) cannot be assigned,
//   redefined or cleared by scripts. A script's own variable may hold a fixed handle (an entry
//   record, say) and be assigned again. Scripts cannot write properties of the object of any
//   fixed handle. The host's calls above are not refused.
// - ThrowException records one pending exception (a second one before the script sees the
//   first is ignored); the script raises it when the method, or the property read or write,
//   returns.
class KXRT_API KxScVmEnv {
public:
    KxScVmEnv();
    KxScVmEnv(const KxScVmEnv&) = delete;
    KxScVmEnv& operator=(const KxScVmEnv&) = delete;

    static bool SetGlobalVariable(const KxString& sName, KxScDataHandle* phValue, bool bHandOver,
                                  bool bOnlyIfNew);
    static bool GetGlobalVariable(const KxString& sName, KxScDataHandle** pphValue);
    static bool ClearGlobalVariable(const KxString& sName, bool bRelease);

    void ThrowException(int nCode, const KxString& sText);
    // Takes the pending exception: true and its code and text when there was one.
    bool TakeException(int* pnCode, KxString* psText);

private:
    bool bPending;
    int nCode;
    KxString sText;
};

// A method's handle holds this: the function, its qualified name ("Class::Method"), its
// parameter count (-1: any) and the typed signatures a call must fit one of.
// Type names: "String" a string, "int" and "_Integer_" an integer, "void" no argument, any
// other name any value.
// The function is a member of one class and must only run with `this` of that class: a
// method belongs to the class whose class object it is first stored on (a class registers
// its methods there), by that class's type information. The qualified name is only a text.
// Wherever a script finds the method later (on an instance, or on an object of another class
// that was given it), it runs only on objects of that type or of a type derived from it; a
// method never stored on a class object runs on none.
class KXRT_API KxScDataMethod : public KxScValueObject {
public:
    KxScDataMethod(KxScMethodFunc pfnMethod, const KxString& sQualifiedName, int nParams);
    ~KxScDataMethod() override;

    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxString GetClassNameA() override;

    // Adds a signature to the method stored under pszMethod on poClass: nFlags and
    // pszResultType are kept for the class browser, then the parameter type names follow,
    // ended by a null pointer. False when poClass holds no such method.
    static bool AddTarvoMethodSignature(KxScDataObject* poClass, const char* pszMethod, int nFlags,
                                        const char* pszResultType, ...);
    // The integer argument at nIndex, or 0 when there is none or it is not an integer.
    static int GetIntParam(int nIndex, int nArgs, KxScDataHandle** pphArgs);

    // Makes the method belong to the class of that type, unless it already belongs to one.
    void BindToClass(const __TarvoTypeInfo* ptiOwner);
    // True when the method may run with poSelf as `this`.
    bool BelongsTo(KxScDataObject* poSelf) const;
    // True when the arguments fit the count and, if there are any, one of the signatures.
    bool Accepts(int nArgs, KxScDataHandle** pphArgs) const;
    // For the error of a call Accepts refused: the argument (from 0) that breaks the one
    // signature of that count, with the kind it must have ("a string"); -1 when the count fits
    // no signature, or more than one.
    int Misfit(int nArgs, KxScDataHandle** pphArgs, const char** ppszWanted) const;
    // What it takes, as a script author reads it: "2 arguments (string, string)", "() or
    // (integer)", "1 argument" when it has no signature.
    KxString Forms() const;
    KxScDataHandle* Call(KxScDataObject* poSelf, KxScDataHandle* phSelf, int nArgs,
                         KxScDataHandle** pphArgs) const {
        return (poSelf->*pfnMethod)(phSelf, nArgs, pphArgs);
    }

    const KxString& QualifiedName() const { return sQualifiedName; }
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    struct Signature;
    KxScMethodFunc pfnMethod;
    KxString sQualifiedName;
    int nParams;
    Signature* pSignatures;
    const __TarvoTypeInfo* ptiClass;  // the class it belongs to, once stored on its class object
};

// The runtime console: text for the user on the host's standard output, CR LF as the line end,
// written at once through the standard output handle the host had when the runtime started
// (a console allocated later takes over the process's handles, not the console's output).
class KXRT_API KxScConsoleManager {
public:
    virtual void PrintString(const KxString& sText);
    virtual void PrintStringNl(const KxString& sText);
    static KxScConsoleManager* pcmManager;
};

// A script list as native code reads and fills it, with these operations in this order:
// the number of items; the item at an index, without a reference of the caller's own (null
// when out of range); and AppendItem, which takes a reference of its own on the handle (a
// null handle appends nil).
class KXRT_API KxScStdLibList {
public:
    virtual int ItemCount() = 0;
    virtual KxScDataHandle* GetItem(int nIndex) = 0;
    virtual void AppendItem(KxScDataHandle* phItem) = 0;

protected:
    ~KxScStdLibList() = default;
};

// The runtime's list type. CreateList makes a new, empty list and gives it with the handle
// that refers to it; the caller owns that handle's one reference.
class KXRT_API KxScStdLibListInterface {
public:
    virtual void CreateList(KxScStdLibList** ppList, KxScDataHandle** pphList);
    // The list a handle refers to, or null when it refers to none.
    virtual KxScStdLibList* ListOf(KxScDataHandle* phValue);
};

class KXRT_API KxScStdLib {
public:
    static KxScStdLibListInterface* pslliListInterface;
};
