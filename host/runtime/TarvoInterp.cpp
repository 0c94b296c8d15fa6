// The machine's state and what its instructions do beyond their fast paths: frames, errors and
// their chain of calls, properties, methods, items, and the built-in functions' common part.
#include <windows.h>

#include <cstring>

#include "KxDblList.h"
#include "KxMemory.h"
#include "KxThread.h"
#include "TarvoLib.h"

namespace tarvo {
namespace {

// A script error as a value: what `catch (e)` binds.
class KxScErrorObject : public KxScValueObject {
public:
    KxScErrorObject(const ScriptError& e) : error(e) {}
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return "Error"; }
    unsigned long long HeldBytes() override { return error.sText.Length(); }
    KxPropertyErrorCode GetProperty(const KxString& sName, KxScDataHandle** pphValue) override {
        if (sName == "code") *pphValue = KxScDataHandle::CreateData(error.nCode);
        else if (sName == "text") *pphValue = KxScDataHandle::CreateData(error.sText, false);
        else if (sName == "line") *pphValue = KxScDataHandle::CreateData(error.nLine);
        else if (sName == "file") *pphValue = KxScDataHandle::CreateData(error.psPath ? *error.psPath : KxString(""), false);
        else if (sName == "calls") *pphValue = Calls();
        else return KX_PROP_NOT_FOUND;
        return KX_PROP_OK;
    }
    ScriptError error;
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    // A new list of the texts, for the script to keep or change.
    KxScDataHandle* Calls() {
        KxScStdLibList* pList = nullptr;
        KxScDataHandle* phList = nullptr;
        KxScStdLib::pslliListInterface->CreateList(&pList, &phList);
        for (const KxString& s : error.vCalls) {
            KxScDataHandle* ph = KxScDataHandle::CreateData(s, false);
            pList->AppendItem(ph);
            ph->Drop();
        }
        return phList;
    }
};
__TarvoTypeInfo KxScErrorObject::_ptiTypeInfo("KxScError", &KxScData::_ptiTypeInfo);

// A script function as a value: what a function's name gives where no variable has it. The
// function is called only while its program lives (until the runtime shuts down); the object
// may outlive it until the last collection, so it keeps its own copy of the name.
class KxScFunctionObject : public KxScValueObject {
public:
    explicit KxScFunctionObject(Function& fn) : fn(fn), sClassName(KxString("Function ") + fn.sName) {}
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return sClassName; }
    Function& fn;
    KxString sClassName;
    static __TarvoTypeInfo _ptiTypeInfo;
};
__TarvoTypeInfo KxScFunctionObject::_ptiTypeInfo("KxScFunction", &KxScData::_ptiTypeInfo);

KxHashTable gFunctions;  // name -> Function*, owned by their programs

// The environments made for threads, freed when the library unloads. Not thread-local
// objects: with this toolchain's win32 threads, a library's thread-local object with a
// destructor makes a 32-bit process that has had a second thread crash on its way out, just
// after that destructor ran at the library's detach (a host without a console, whose first
// Shell.Exec starts the console finder, died so after every script).
struct MadeEnvs {
    CRITICAL_SECTION cs;
    KxDblList list;
    MadeEnvs() { InitializeCriticalSection(&cs); }
    ~MadeEnvs() {
        for (KxDblList::Node* p = list.First(); p; p = KxDblList::Next(p)) delete static_cast<KxScVmEnv*>(p->pvItem);
        DeleteCriticalSection(&cs);
    }
    KxScVmEnv* Make() {
        KxScVmEnv* pEnv = new KxScVmEnv;
        EnterCriticalSection(&cs);
        list.Add(pEnv);
        LeaveCriticalSection(&cs);
        return pEnv;
    }
} gEnvs;

}  // namespace

unsigned gnFunctionsGeneration = 1;

KxScVmEnv* EnvOfThisThread() {
    KxThread* pThread = KxThread::GetThread();
    if (!pThread->GetVmEnv()) pThread->SetVmEnv(gEnvs.Make());
    return pThread->GetVmEnv();
}


// ---- the machine's state

volatile long gnInterrupted = 0;

void Interrupt() { InterlockedExchange(&gnInterrupted, 1); }
void ClearInterrupt() { InterlockedExchange(&gnInterrupted, 0); }

Interp::Interp() : pEnv(EnvOfThisThread()) {
    // The lowest address a call may reach on this thread's stack: its reservation's base plus
    // the spare room kept for the deepest level.
    MEMORY_BASIC_INFORMATION mbi = {};
    char cHere = 0;
    if (VirtualQuery(&cHere, &mbi, sizeof mbi))
        pStackFloor = static_cast<const char*>(mbi.AllocationBase) + kStackSpare;
    vFrames.reserve(kMaxCallDepth + 2);
}

Interp::~Interp() = default;

void Interp::Raise(int nCode, const KxString& sText, int nLine) {
    throw ScriptError{nCode, sText, nLine, psPath, Calls(nLine)};
}

// A call repeated at once (a recursion) is one text, with how many more times it came. At
// most 20 texts: past that, the innermost 19 and how many more calls there were.
std::vector<KxString> Interp::Calls(int nLine) const {
    const size_t kMost = 20;
    std::vector<KxString> v;
    size_t n = vFrames.size();
    for (size_t i = n; i-- > 0;) {
        const Frame& f = vFrames[i];
        int nAt = i + 1 == n ? nLine : vFrames[i + 1].nCallLine;
        size_t nSame = 0;  // the same call in the frames below
        while (i > 0 && vFrames[i - 1].Name() == f.Name() && vFrames[i - 1].psPath == f.psPath &&
               vFrames[i].nCallLine == nAt)
            --i, ++nSame;
        if (v.size() == kMost - 1 && i > 0) {
            KxString s("... ");
            s << static_cast<int>(i + 1) << " more calls";
            v.push_back(s);
            break;
        }
        KxString s("in ");
        s << (f.Name() ? *f.Name() : KxString("top level")) << ", " << *f.psPath << ":" << nAt;
        if (nSame) s << " (and " << static_cast<int>(nSame) << " more times)";
        v.push_back(s);
    }
    return v;
}

KxScDataObject* Interp::ObjectOf(const Value& v, const char* pszWhat, const KxString& sName, int nLine) {
    if (KxScDataObject* po = v.Object()) return po;
    KxString s("cannot ");
    s << pszWhat << " " << Quoted(sName) << " of " << Named(v);
    Raise(ERR_TYPE, s, nLine);
}

void Interp::StoreGlobal(KxScGlobalSlot* pSlot, Value v, int nLine) {
    KxScDataHandle* phOld = pSlot->phValue;
    if (phOld && pSlot->bSetByHost && (phOld->wFlags & HF_FIXED))
        Raise(ERR_FIXED, KxString("global ") + Quoted(pSlot->sName) + " cannot be changed", nLine);
    // A number goes into the handle the global has when nobody else refers to it (the host
    // or a plug-in asked for the global), and is kept unboxed otherwise: loops over global
    // counters then make no handles at all.
    if (v.StoreInPlace(phOld)) return;
    pSlot->bSetByHost = false;
    pSlot->phValue = nullptr;
    if (v.IsInt()) {
        pSlot->nHeld = KxScGlobalSlot::INT;
        pSlot->nInt = v.AsInt();
    } else if (v.IsFloat()) {
        pSlot->nHeld = KxScGlobalSlot::FLT;
        pSlot->dFlt = v.AsFloat();
    } else {
        pSlot->nHeld = KxScGlobalSlot::BOXED;
        pSlot->phValue = v.NewHandle();
    }
    if (phOld) RtRelease(phOld, true);
}

void Interp::RaisePending(int nLine) {
    int nCode = 0;
    KxString sText(NULL_STRING);  // made only when a method left an exception: every call asks
    bool bPending = pEnv->TakeException(&nCode, &sText);
    RaiseMemoryShort(nLine);
    if (bPending) Raise(nCode, sText, nLine);
}

void Interp::RaiseMemoryShort(int nLine) {
    if (KxTakeMemoryShort()) RaiseNoMemory(nLine);
}

void Interp::RaiseNoMemory(int nLine) { Raise(ERR_NO_MEMORY, "out of memory", nLine); }

void Interp::Reserve(KxString& s, unsigned long long qwLength, int nLine) {
    if (qwLength <= KxString::MAX_LENGTH && s.Reserve(static_cast<unsigned>(qwLength))) return;
    KxTakeMemoryShort();
    Raise(ERR_TOO_LONG, "string too long", nLine);
}

// ---- functions

KxString Quoted(const KxString& sName) { return KxString("'") + sName + "'"; }

Function* FindFunction(const KxString& sName) {
    void* pv = nullptr;
    return gFunctions.Lookup(sName, &pv) ? static_cast<Function*>(pv) : nullptr;
}

// The function's value, made once and kept by its program.
Value FunctionValue(Function& fn) {
    if (!fn.phValue) fn.phValue = KxScDataHandle::CreateData(new KxScFunctionObject(fn));
    return Value::Share(fn.phValue);
}

bool IsFunction(const Value& v) {
    KxScDataObject* po = v.Object();
    return po && po->DynamicCast(KxScFunctionObject::_ptiTypeInfo.TypeName());
}

int FunctionParams(const Value& v) { return FunctionOf(v).nParams; }

Function& FunctionOf(const Value& fn) { return static_cast<KxScFunctionObject*>(fn.Object())->fn; }

void WrongArity(Interp& in, const KxString& sName, int nWanted, int nGiven, int nLine) {
    KxString s(Quoted(sName));
    s << " takes " << nWanted << (nWanted == 1 ? " argument, " : " arguments, ") << nGiven << " given";
    in.Raise(ERR_ARGUMENTS, s, nLine);
}

// ---- values

Value MakeError(const ScriptError& e) { return Value::Adopt(KxScDataHandle::CreateData(new KxScErrorObject(e))); }

void ThrowError(Interp& in, const Value& v, int nLine) {
    if (!v.Is(HF_ERROR)) in.Raise(ERR_TYPE, "only errors can be thrown", nLine);
    throw static_cast<KxScErrorObject*>(v.Object())->error;
}

Value NewString(KxString&& s) { return Value::Adopt(RtCreateString(static_cast<KxString&&>(s))); }

KxScDataHandle* TextHandle(Interp& in, const char* p, unsigned long long qwLength, int nLine) {
    if (qwLength <= kShortText) return RtCreateText(p, static_cast<unsigned>(qwLength));
    KxString s(NULL_STRING);
    in.Reserve(s, qwLength, nLine);
    s.Append(p, static_cast<unsigned>(qwLength));
    return RtCreateString(static_cast<KxString&&>(s));
}

Value NewList(Interp& in, int nRoom, int nLine) {
    KxScListObject* pList = new KxScListObject;
    Value v = Value::Adopt(RtWrap(pList, HF_LIST));
    if (!pList->Reserve(nRoom)) in.RaiseNoMemory(nLine);
    return v;
}

Value NewMap(Interp&, int) { return Value::Adopt(RtWrap(new KxScMapObject, HF_MAP)); }

void Push(Interp& in, KxScListObject* pList, const Value& v, int nLine) {
    if (!pList->Reserve(1)) in.RaiseNoMemory(nLine);
    pList->Insert(pList->ItemCount(), v.NewHandle());
}

RtKey KeyOf(Interp& in, const Value& k, int nLine) {
    if (k.IsInt()) return RtKey{false, k.AsInt(), nullptr, 0};
    if (k.Is(HF_STRING)) return RtKey{true, 0, k.Text(), k.Text().Length()};
    if (k.IsFloat()) in.Raise(ERR_TYPE, KxString("a map key must be a string or an integer, not the float ") + k.ShortText() + " (write int(x))", nLine);
    in.Raise(ERR_TYPE, KxString("a map key must be a string or an integer, not ") + Describe(k), nLine);
}

void PutEntry(Interp& in, KxScMapObject* pMap, const Value& k, const Value& v, int nLine) {
    RtKey key = KeyOf(in, k, nLine);
    // A number replacing a number is written into its handle when the map holds it alone.
    auto set = [&](KxScDataHandle** pph) {
        if (v.StoreInPlace(*pph)) return;
        KxScDataHandle* phOld = *pph;
        *pph = v.NewHandle();
        if (phOld) RtRelease(phOld, true);
    };
    if (!pMap->Put(key, set, [&] { return k.NewHandle(); })) in.RaiseNoMemory(nLine);
}

int ItemIndex(Interp& in, const Value& ix, int nCount, int nLine) {
    if (!ix.IsInt()) in.Raise(ERR_TYPE, KxString("an index must be an integer, not ") + Describe(ix), nLine);
    int64_t i = ix.AsInt();
    int64_t j = i < 0 ? i + nCount : i;
    if (j >= 0 && j < nCount) return static_cast<int>(j);
    KxString s("index ");
    s << ix.ShortText() << " out of range (" << nCount << (nCount == 1 ? " item)" : " items)");
    in.Raise(ERR_INDEX, s, nLine);
}

// ---- items, properties and methods

namespace {
// Plug-ins know integers of 32 bits and no floats: a number they could not take whole is an
// error naming where it was going (Where(), made only then), never a cut one.
template <class W>
void CheckContractNumber(Interp& in, const Value& v, W Where, int nLine) {
    if (v.IsFloat())
        in.Raise(ERR_TYPE, Where() + " is the float " + v.ShortText() + ", where an integer is taken (write int(x))", nLine);
    if (v.IsInt() && (v.AsInt() < INT32_MIN || v.AsInt() > INT32_MAX))
        in.Raise(ERR_INDEX, Where() + " is " + v.ShortText() + ", past the 32-bit integers it takes", nLine);
}

}  // namespace

Value ReadProperty(Interp& in, const Value& v, const KxString& sName, int nLine) {
    KxScDataObject* po = in.ObjectOf(v, "read property", sName, nLine);
    KxScDataHandle* ph = nullptr;
    KxPropertyErrorCode code = po->GetProperty(sName, &ph);
    if (code != KX_PROP_OK)
        in.Raise(code, Named(v) + " has no property " + Quoted(sName), nLine);
    // A property a plug-in could not make is raised as a method's error is.
    Value result = Value::Adopt(ph);
    in.RaisePending(nLine);
    return result;
}

void SetProperty(Interp& in, const Value& target, const KxString& sName, const Value& v, int nLine) {
    KxScDataObject* po = in.ObjectOf(target, "set property", sName, nLine);
    KxString sRefused = KxString("property ") + Quoted(sName) + " of " + Named(target) + " cannot be set";
    if (target.Handle()->wFlags & HF_FIXED) in.Raise(KX_PROP_REFUSED, sRefused, nLine);
    // A map holds any value; the properties of other objects are their classes' own.
    if (!target.Is(HF_MAP))
        CheckContractNumber(in, v, [&] { return KxString("property ") + Quoted(sName) + " of " + Named(target); }, nLine);
    KxPropertyErrorCode code = po->SetProperty(target.Handle(), sName, v.NewHandle(), true);
    if (code != KX_PROP_OK) in.Raise(code, sRefused, nLine);
    in.RaisePending(nLine);
}

Value LookUpMethod(Interp& in, const Value& self, const KxString& sName, const Builtin* pBuiltin, int nLine) {
    // `x.f(a)` on a string, list or map is the built-in function `f(x, a)`.
    if (pBuiltin && self.Is(HF_STRING | HF_LIST | HF_MAP)) return Value::Nil();
    KxScDataObject* po = in.ObjectOf(self, "call method", sName, nLine);
    KxScDataHandle* ph = nullptr;
    KxPropertyErrorCode code = po->GetProperty(sName, &ph);
    if (code != KX_PROP_OK)
        in.Raise(code, Named(self) + " has no method " + Quoted(sName), nLine);
    Value method = Value::Adopt(ph);
    if (!method.Is(HF_METHOD))
        in.Raise(ERR_NOT_A_METHOD, Quoted(sName) + " of " + Named(self) + " is not a method", nLine);
    const KxScDataMethod* pm = static_cast<KxScDataMethod*>(method.Object());
    if (!pm->BelongsTo(po))
        in.Raise(ERR_WRONG_CLASS, Quoted(pm->QualifiedName()) + " cannot be called on " + Named(self), nLine);
    return method;
}

Value CallMethod(Interp& in, const Value& method, const KxString&, const Builtin* pBuiltin, Value* pArgs, int nArgs,
                 int nLine) {
    if (method.IsNil()) return CallBuiltin(in, *pBuiltin, pArgs, nArgs + 1, nLine);
    const KxScDataMethod* pm = static_cast<KxScDataMethod*>(method.Object());
    const Value& self = pArgs[0];
    Value* pValues = pArgs + 1;
    for (int i = 0; i < nArgs; ++i) {
        auto where = [&] {
            KxString sWhere(pm->QualifiedName());
            sWhere << "(): argument " << (i + 1);
            return sWhere;
        };
        CheckContractNumber(in, pValues[i], where, nLine);
    }
    // The method sees handles, nil as a null handle (no value); the machine keeps one
    // reference on each during the call.
    KxScDataHandle* aphFew[8];
    std::unique_ptr<KxScDataHandle*[]> pMany(nArgs > 8 ? new (std::nothrow) KxScDataHandle*[nArgs] : nullptr);
    if (nArgs > 8 && !pMany) in.RaiseNoMemory(nLine);
    KxScDataHandle** pphArgs = nArgs > 8 ? pMany.get() : aphFew;
    for (int i = 0; i < nArgs; ++i) pphArgs[i] = pValues[i].IsNil() ? nullptr : pValues[i].NewHandle();
    struct Release {
        KxScDataHandle** pph;
        int n;
        ~Release() {
            for (int i = 0; i < n; ++i)
                if (pph[i]) RtRelease(pph[i], false);
        }
    } release{pphArgs, nArgs};
    if (!pm->Accepts(nArgs, pphArgs)) {
        const char* pszWanted = nullptr;
        int i = pm->Misfit(nArgs, pphArgs, &pszWanted);
        KxString s(pm->QualifiedName());
        if (i >= 0) s << "(): argument " << (i + 1) << " must be " << pszWanted << ", not " << Describe(pValues[i]);
        else s << " takes " << pm->Forms() << ", " << nArgs << " given";
        in.Raise(ERR_ARGUMENTS, s, nLine);
    }
    Value result = Value::Adopt(pm->Call(self.Object(), self.Handle(), nArgs, pphArgs));
    in.RaisePending(nLine);
    return result;
}

// An item of a list, a byte of a string (indexes from the end when negative), or the value
// of a map's key (nil when absent).
Value Index(Interp& in, const Value& v, const Value& ix, int nLine) {
    if (v.Is(HF_MAP)) return Value::Share(MapObject(v)->Get(KeyOf(in, ix, nLine)));
    if (v.Is(HF_LIST)) {
        KxScListObject* pList = ListObject(v);
        return Value::Share(pList->GetItem(ItemIndex(in, ix, pList->ItemCount(), nLine)));
    }
    if (v.Is(HF_STRING)) {
        int i = ItemIndex(in, ix, static_cast<int>(v.Text().Length()), nLine);
        return Value::Adopt(RtCreateText(static_cast<const char*>(v.Text()) + i, 1));
    }
    in.Raise(ERR_TYPE, KxString("cannot index ") + Named(v), nLine);
}
void CheckSettable(Interp& in, const Value& target, int nLine) {
    if (target.Is(HF_MAP | HF_LIST)) return;
    if (target.Is(HF_STRING)) in.Raise(ERR_TYPE, "the bytes of a string cannot be changed: make a new string", nLine);
    in.Raise(ERR_TYPE, KxString("cannot index ") + Named(target), nLine);
}

void SetIndex(Interp& in, const Value& target, const Value& k, const Value& v, int nLine) {
    if (target.Is(HF_MAP)) {
        PutEntry(in, MapObject(target), k, v, nLine);
        return;
    }
    CheckSettable(in, target, nLine);
    KxScListObject* pList = ListObject(target);
    // The value may have changed the list: the index is checked against it as it is now.
    int i = ItemIndex(in, k, pList->ItemCount(), nLine);
    if (v.StoreInPlace(pList->GetItem(i))) {
        pList->Changed();
        return;
    }
    pList->Set(i, v.NewHandle());
}

// ---- programs

void Run(Program& program) {
    Interp in;
    // An exception a method raised when called from outside any script (a host calling it
    // directly) belongs to no script: it must not surface in this one.
    int nCode = 0;
    KxString sText;
    in.pEnv->TakeException(&nCode, &sText);
    in.RunTopLevel(program, 0);
}

void DefineFunctions(Program& program) {
    for (auto& fn : program.vFunctions) gFunctions.Insert(fn->sName, fn.get());
    ++gnFunctionsGeneration;
}

void ForgetFunctions() {
    gFunctions.RemoveAll();
    ++gnFunctionsGeneration;
}

// ---- the built-in functions' common part

void Args::Fail(int nCode, const KxString& sText) {
    in.Raise(nCode, KxString(pszName) + "(): " + sText, nLine);
}

void Args::Expected(int i, const char* pszWhat) {
    KxString s("argument ");
    s << (i + 1) << " must be " << pszWhat << ", not " << Describe(v[i]);
    Fail(ERR_TYPE, s);
}

KxScListObject* Args::List(int i) {
    if (!v[i].Is(HF_LIST)) Expected(i, "a list");
    return ListObject(v[i]);
}

KxScMapObject* Args::Map(int i) {
    if (!v[i].Is(HF_MAP)) Expected(i, "a map");
    return MapObject(v[i]);
}

const KxString& Args::Text(int i) {
    if (!v[i].Is(HF_STRING)) Expected(i, "a string");
    return v[i].Text();
}

int64_t Args::Int(int i) {
    if (!v[i].IsInt()) Expected(i, "an integer");
    return v[i].AsInt();
}

int Args::Int32(int i) {
    int64_t n = Int(i);
    if (n < INT32_MIN || n > INT32_MAX) {
        KxString s("argument ");
        s << (i + 1) << " (" << v[i].ShortText() << ") is out of range: it must fit 32 bits";
        Fail(ERR_INDEX, s);
    }
    return static_cast<int>(n);
}

const Builtin* FindBuiltin(const KxString& sName) {
    for (const Builtin* pLib : {kCoreLibrary, kListLibrary, kTextLibrary, kHostLibrary})
        for (const Builtin* p = pLib; p->pszName; ++p)
            if (sName == p->pszName) return p;
    return nullptr;
}

Value CallBuiltin(Interp& in, const Builtin& b, Value* pArgs, int n, int nLine) {
    if (n < b.nMin || (b.nMax >= 0 && n > b.nMax)) {
        KxString s(Quoted(b.pszName));
        s << " takes ";
        if (b.nMax < 0) s << "at least " << b.nMin;
        else if (b.nMax == b.nMin) s << b.nMin;
        else s << b.nMin << (b.nMax == b.nMin + 1 ? " or " : " to ") << b.nMax;
        s << ((b.nMax < 0 ? b.nMin : b.nMax) == 1 ? " argument, " : " arguments, ") << n << " given";
        in.Raise(ERR_ARGUMENTS, s, nLine);
    }
    Args args{in, b.pszName, pArgs, n, nLine};
    Value result = b.pfn(args);
    in.RaiseMemoryShort(nLine);
    return result;
}

}  // namespace tarvo
