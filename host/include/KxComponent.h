#pragma once
#include "KxString.h"

// Import/export marker of HX_KOT_ObjMan.dll.
#ifdef KX_BUILDING_OBJMAN
#define KXOM_API __declspec(dllexport)
#else
#define KXOM_API __declspec(dllimport)
#endif

// What every component's interface offers. The component manager owns the interfaces it hands
// out: callers neither delete nor have to release them.
class KxIComponent {
public:
    virtual void AddRef() = 0;
    virtual void Release() = 0;
    virtual const char* GetComponentName() = 0;
    virtual int GetVersion() = 0;
};

// The interface of ".Tarvo.Compiler".
class KxITarvoCompiler : public KxIComponent {
public:
    // Compiles the Tarvo text and runs it in the global environment: its `global` statements
    // define script globals, its functions stay callable by later scripts. Errors in the text
    // are reported on standard error; the result is false then.
    virtual bool CompileSource(const KxString& sSource) = 0;
};

// A handle on a named component of the process.
// The state word's KXC_AVAILABLE bit is set when the component can hand out its interface.
class KXOM_API KxComponent {
public:
    enum : unsigned { KXC_AVAILABLE = 0x40000000 };

    explicit KxComponent(const KxString& sName);
    KxComponent(const KxComponent&) = delete;
    KxComponent& operator=(const KxComponent&) = delete;
    ~KxComponent();

    // Sets *ppiInterface to the component's interface; false (pointer untouched) when the
    // component is not available.
    bool Interface(KxIComponent** ppiInterface);

    // Makes a component unavailable to later KxComponent objects, as on an installation
    // without it. The host uses it to run plug-ins without their compiler.
    static void Withdraw(const KxString& sName);

    unsigned dwState;

private:
    KxIComponent* piInterface;
};
