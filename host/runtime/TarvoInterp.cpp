// Runs compiled Tarvo: each node evaluates itself against the interpreter's current frame.
#include <windows.h>

#include <cstring>

#include "KxDblList.h"
#include "KxMemory.h"
#include "KxThread.h"
#include "TarvoLib.h"

namespace tarvo {
namespace {

const int kMaxCallDepth = 1000;

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

Function* FindFunction(const KxString& sName) {
    void* pv = nullptr;
    return gFunctions.Lookup(sName, &pv) ? static_cast<Function*>(pv) : nullptr;
}

// The function's value, made once and kept by its program.
Value FunctionValue(Function& fn) {
    if (!fn.phValue) fn.phValue = KxScDataHandle::CreateData(new KxScFunctionObject(fn));
    return Value::Share(fn.phValue);
}

KxString Quoted(const KxString& sName) { return KxString("'") + sName + "'"; }

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

KxScVmEnv* EnvOfThisThread() {
    KxThread* pThread = KxThread::GetThread();
    if (!pThread->GetVmEnv()) pThread->SetVmEnv(gEnvs.Make());
    return pThread->GetVmEnv();
}


// ---- the interpreter

namespace {
volatile LONG gnInterrupted = 0;

// A run asked to stop ends at its next statement, or the next round of a loop.
void StopIfInterrupted() {
    if (gnInterrupted) throw ScriptInterrupt{};
}
}  // namespace

void Interrupt() { InterlockedExchange(&gnInterrupted, 1); }
void ClearInterrupt() { InterlockedExchange(&gnInterrupted, 0); }

Interp::Interp(const KxString* psPath)
    : vFrames{{nullptr, psPath, 0}}, psPath(psPath), pEnv(EnvOfThisThread()), pStackFloor(nullptr) {
    // The lowest address evaluation may reach on this thread's stack: its reservation's base
    // plus the spare room kept for the deepest level.
    MEMORY_BASIC_INFORMATION mbi = {};
    char cHere = 0;
    if (VirtualQuery(&cHere, &mbi, sizeof mbi))
        pStackFloor = static_cast<const char*>(mbi.AllocationBase) + kStackSpare;
}

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
        while (i > 0 && vFrames[i - 1].psName == f.psName && vFrames[i - 1].psPath == f.psPath &&
               vFrames[i].nCallLine == nAt)
            --i, ++nSame;
        if (v.size() == kMost - 1 && i > 0) {
            KxString s("... ");
            s << static_cast<int>(i + 1) << " more calls";
            v.push_back(s);
            break;
        }
        KxString s("in ");
        s << (f.psName ? *f.psName : KxString("top level")) << ", " << *f.psPath << ":" << nAt;
        if (nSame) s << " (and " << static_cast<int>(nSame) << " more times)";
        v.push_back(s);
    }
    return v;
}

KxScDataObject* Interp::ObjectOf(const Value& v, const char* pszWhat, const KxString& sName, int nLine) {
    if (KxScDataObject* po = v.Object()) return po;
    KxString s("cannot ");
    s << pszWhat << " " << Quoted(sName) << " of " << v.ShortText();
    Raise(ERR_TYPE, s, nLine);
}

// A name no variable has is the function of that name, as a value.
Value Interp::Load(const VarRef& var, int nLine) {
    if (var.nLocal >= 0) {
        const Value& v = pLocals[var.nLocal];
        if (v.GetKind() != Value::UNSET) return v;
    } else if (var.pSlot->phValue) {
        return Value::Share(var.pSlot->phValue);
    } else if (Function* pFn = FindFunction(var.sName)) {
        return FunctionValue(*pFn);
    }
    Raise(ERR_UNKNOWN_VARIABLE, KxString("unknown variable ") + Quoted(var.sName), nLine);
}

void Interp::Store(const VarRef& var, Value v, int nLine) {
    if (var.nLocal >= 0) {
        pLocals[var.nLocal] = std::move(v);
    } else {
        StoreGlobal(var.pSlot, std::move(v), nLine);
    }
}

void Interp::StoreGlobal(KxScGlobalSlot* pSlot, Value v, int nLine) {
    KxScDataHandle* phOld = pSlot->phValue;
    if (phOld && pSlot->bSetByHost && (phOld->wFlags & HF_FIXED))
        Raise(ERR_FIXED, KxString("global ") + Quoted(pSlot->sName) + " cannot be changed", nLine);
    // A number global nobody else refers to is updated in place: loops over global
    // counters then make no handles at all.
    if (v.StoreInPlace(phOld)) return;
    pSlot->phValue = v.NewHandle();
    pSlot->bSetByHost = false;
    if (phOld) phOld->Drop();
}

void Interp::RaisePending(int nLine) {
    int nCode = 0;
    KxString sText;
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

namespace {
// Restores the caller's frame however the call ends.
struct FrameGuard {
    FrameGuard(Interp& in, Value* pLocals, const KxString* psName, const KxString* psPath, int nLine)
        : in(in), pSavedLocals(in.pLocals), psSavedPath(in.psPath) {
        in.vFrames.push_back({psName, psPath, nLine});
        in.pLocals = pLocals;
        in.psPath = psPath;
        ++in.nDepth;
    }
    ~FrameGuard() {
        in.pLocals = pSavedLocals;
        in.psPath = psSavedPath;
        in.vFrames.pop_back();
        --in.nDepth;
    }
    Interp& in;
    Value* pSavedLocals;
    const KxString* psSavedPath;
};

void CheckArity(Interp& in, const KxString& sName, int nWanted, size_t nGiven, int nLine) {
    if (nGiven == size_t(nWanted)) return;
    KxString s(Quoted(sName));
    s << " takes " << nWanted << (nWanted == 1 ? " argument, " : " arguments, ") << int(nGiven)
      << " given";
    in.Raise(ERR_ARGUMENTS, s, nLine);
}
}  // namespace

Value Interp::Call(Function& fn, std::vector<Value>& vArgs, int nLine) {
    CheckArity(*this, fn.sName, fn.nParams, vArgs.size(), nLine);
    if (nDepth >= kMaxCallDepth) Raise(ERR_TOO_DEEP, "calls nested too deeply", nLine);
    std::vector<Value> vLocals(fn.nLocals);
    for (int i = 0; i < fn.nParams; ++i) vLocals[i] = std::move(vArgs[i]);
    FrameGuard guard(*this, vLocals.data(), &fn.sName, fn.psPath, nLine);
    Value result = fn.body.Exec(*this) == Flow::RETURN ? std::move(retval) : Value::Nil();
    retval = Value();
    return result;
}

void Interp::RunTopLevel(Program& program, int nLine) {
    if (nDepth >= kMaxCallDepth) Raise(ERR_TOO_DEEP, "calls nested too deeply", nLine);
    FrameGuard guard(*this, nullptr, nullptr, &program.sPath, nLine);
    program.top.Exec(*this);
}

bool IsFunction(const Value& v) {
    KxScDataObject* po = v.Object();
    return po && po->DynamicCast(KxScFunctionObject::_ptiTypeInfo.TypeName());
}

Value Interp::CallValue(const Value& fn, std::vector<Value>& vArgs, const KxString& sName, int nLine) {
    if (!IsFunction(fn)) Raise(ERR_NOT_A_METHOD, Quoted(sName) + " is " + Describe(fn) + ", not a function", nLine);
    return Call(static_cast<KxScFunctionObject*>(fn.Object())->fn, vArgs, nLine);
}

// ---- values

Value MakeError(const ScriptError& e) { return Value::Adopt(KxScDataHandle::CreateData(new KxScErrorObject(e))); }

Value NewString(KxString&& s) { return Value::Adopt(RtCreateString(static_cast<KxString&&>(s))); }

Value NewList(Interp& in, int nRoom, int nLine) {
    KxScListObject* pList = new KxScListObject;
    Value v = Value::Adopt(KxScDataHandle::CreateData(pList));
    if (!pList->Reserve(nRoom)) in.RaiseNoMemory(nLine);
    return v;
}

Value NewMap(Interp&, int) { return Value::Adopt(KxScDataHandle::CreateData(new KxScMapObject)); }

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
        if (phOld) phOld->Drop();
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

// ---- expressions

Value NameExpr::Eval(Interp& in) { return in.Load(var, nLine); }

Value UnaryExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    return Unary(in, op, e->Eval(in), nLine);
}

Value ChainExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    Value acc = first->Eval(in);
    for (Step& step : steps) {
        if (step.op == T_ANDAND || step.op == T_OROR) {
            bool bLeft = acc.Truthy();
            acc = Value::Int(bLeft == (step.op == T_OROR) ? bLeft : step.operand->Eval(in).Truthy());
        } else {
            acc = Binary(in, step.op, acc, step.operand->Eval(in), step.nLine);
        }
    }
    return acc;
}

Value CondExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    return cond->Eval(in).Truthy() ? yes->Eval(in) : no->Eval(in);
}

Value ListExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    Value list = NewList(in, static_cast<int>(items.size()), nLine);
    for (auto& item : items) Push(in, ListObject(list), item->Eval(in), item->nLine);
    return list;
}

Value MapExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    Value map = NewMap(in, nLine);
    for (size_t i = 0; i < parts.size(); i += 2) {
        Value k = parts[i]->Eval(in);
        PutEntry(in, MapObject(map), k, parts[i + 1]->Eval(in), parts[i]->nLine);
    }
    return map;
}

namespace {
std::vector<Value> EvalArgs(Interp& in, ExprList& args, const Value* pFirst = nullptr) {
    std::vector<Value> v;
    v.reserve(args.size() + (pFirst ? 1 : 0));
    if (pFirst) v.push_back(*pFirst);
    for (auto& arg : args) v.push_back(arg->Eval(in));
    return v;
}
}  // namespace

Value CallExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    if (pBuiltin) {
        std::vector<Value> vArgs = EvalArgs(in, args);
        return CallBuiltin(in, *pBuiltin, vArgs, nLine);
    }
    // A local holding a function is called before any function of that name; a global
    // variable only when no function has the name.
    Value fn;
    Function* pFn = nullptr;
    if (var.nLocal >= 0) {
        fn = in.Load(var, nLine);
    } else if (!(pFn = FindFunction(sName))) {
        if (!var.pSlot || !var.pSlot->phValue)
            in.Raise(ERR_UNKNOWN_FUNCTION, KxString("unknown function ") + Quoted(sName), nLine);
        fn = Value::Share(var.pSlot->phValue);
    }
    if (pFn) CheckArity(in, sName, pFn->nParams, args.size(), nLine);
    std::vector<Value> vArgs = EvalArgs(in, args);
    return pFn ? in.Call(*pFn, vArgs, nLine) : in.CallValue(fn, vArgs, sName, nLine);
}

namespace {
// Plug-ins know integers of 32 bits and no floats: a number they could not take whole is an
// error naming where it was going, never a cut one.
void CheckContractNumber(Interp& in, const Value& v, const KxString& sWhere, int nLine) {
    if (v.IsFloat())
        in.Raise(ERR_TYPE, sWhere + " is the float " + v.ShortText() + ", where an integer is taken (write int(x))", nLine);
    if (v.IsInt() && (v.AsInt() < INT32_MIN || v.AsInt() > INT32_MAX))
        in.Raise(ERR_INDEX, sWhere + " is " + v.ShortText() + ", past the 32-bit integers it takes", nLine);
}

Value ReadProperty(Interp& in, const Value& v, const KxString& sName, int nLine) {
    KxScDataObject* po = in.ObjectOf(v, "read property", sName, nLine);
    KxScDataHandle* ph = nullptr;
    KxPropertyErrorCode code = po->GetProperty(sName, &ph);
    if (code != KX_PROP_OK)
        in.Raise(code, v.ShortText() + " has no property " + Quoted(sName), nLine);
    // A property a plug-in could not make is raised as a method's error is.
    Value result = Value::Adopt(ph);
    in.RaisePending(nLine);
    return result;
}

Value CallMethod(Interp& in, const Value& self, PostfixExpr::Step& step) {
    const KxString& sName = step.sName;
    int nLine = step.nLine;
    // `x.f(a)` on a string, list or map is the built-in function `f(x, a)`.
    if (step.pBuiltin && self.Is(HF_STRING | HF_LIST | HF_MAP)) {
        std::vector<Value> vArgs = EvalArgs(in, step.args, &self);
        return CallBuiltin(in, *step.pBuiltin, vArgs, nLine);
    }
    KxScDataObject* po = in.ObjectOf(self, "call method", sName, nLine);
    KxScDataHandle* ph = nullptr;
    KxPropertyErrorCode code = po->GetProperty(sName, &ph);
    if (code != KX_PROP_OK)
        in.Raise(code, self.ShortText() + " has no method " + Quoted(sName), nLine);
    Value method = Value::Adopt(ph);
    if (!method.Is(HF_METHOD))
        in.Raise(ERR_NOT_A_METHOD, Quoted(sName) + " of " + self.ShortText() + " is not a method",
                 nLine);
    const KxScDataMethod* pm = static_cast<KxScDataMethod*>(method.Object());
    if (!pm->BelongsTo(po))
        in.Raise(ERR_WRONG_CLASS, Quoted(pm->QualifiedName()) + " cannot be called on " + self.ShortText(),
                 nLine);

    std::vector<Value> vArgs = EvalArgs(in, step.args);
    for (size_t i = 0; i < vArgs.size(); ++i) {
        KxString sWhere(pm->QualifiedName());
        sWhere << "(): argument " << static_cast<int>(i + 1);
        CheckContractNumber(in, vArgs[i], sWhere, nLine);
    }
    // The method sees handles, nil as a null handle (no value); the interpreter keeps one
    // reference on each during the call.
    std::vector<KxScDataHandle*> vHandles(vArgs.size());
    for (size_t i = 0; i < vArgs.size(); ++i) vHandles[i] = vArgs[i].IsNil() ? nullptr : vArgs[i].NewHandle();
    struct Release {
        std::vector<KxScDataHandle*>& v;
        ~Release() {
            for (KxScDataHandle* ph : v)
                if (ph) ph->Drop();
        }
    } release{vHandles};

    int nArgs = static_cast<int>(vHandles.size());
    if (!pm->Accepts(nArgs, vHandles.data()))
        in.Raise(ERR_ARGUMENTS, KxString("arguments do not fit ") + pm->QualifiedName(), nLine);
    Value result = Value::Adopt(pm->Call(po, self.Handle(), nArgs, vHandles.data()));
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
        return NewString(KxString(v.Text() + i, 1));
    }
    in.Raise(ERR_TYPE, KxString("cannot index ") + v.ShortText(), nLine);
}
}  // namespace

Value PostfixExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    Value v = base->Eval(in);
    for (Step& step : steps) {
        if (step.index) v = Index(in, v, step.index->Eval(in), step.nLine);
        else if (step.bCall) v = CallMethod(in, v, step);
        else v = ReadProperty(in, v, step.sName, step.nLine);
    }
    return v;
}

// ---- statements

Flow Block::Exec(Interp& in) {
    if (vStmts.empty()) return Flow::NORMAL;
    Interp::Deeper deeper(in, vStmts[0]->nLine);
    for (auto& stmt : vStmts) {
        StopIfInterrupted();
        in.MaybeCollect();
        Flow flow = stmt->Exec(in);
        in.RaiseMemoryShort(stmt->nLine);
        if (flow != Flow::NORMAL) return flow;
    }
    return Flow::NORMAL;
}

Flow ExprStmt::Exec(Interp& in) {
    e->Eval(in);
    return Flow::NORMAL;
}

namespace {
// The value an assignment stores: the new value, or for `x op= v` the old one and v combined.
Value Assigned(Interp& in, Tok op, const Value& old, ExprPtr& value, int nLine) {
    if (op == T_ASSIGN) return value->Eval(in);
    return Binary(in, op, old, value->Eval(in), nLine);
}
}  // namespace

Flow AssignStmt::Exec(Interp& in) {
    if (bAppends) return AppendTo(in);
    Value old = op == T_ASSIGN ? Value() : in.Load(var, nLine);
    in.Store(var, Assigned(in, op, old, value, nLine), nLine);
    return Flow::NORMAL;
}

// `s += t` and `s = s + a + b`: when the variable holds a string that nothing else holds, the
// texts are appended to it in place (its room grows by doubling), so building a text piece
// by piece costs time in proportion to its length. The operands are all evaluated first, as
// the plain assignment would, and the room for all of them is had before any is appended: a
// text too long leaves the variable as it was.
Flow AssignStmt::AppendTo(Interp& in) {
    Value old = in.Load(var, nLine);
    Value operands[4];
    size_t nOperands = op == T_PLUS ? 1 : pJoined->steps.size();
    if (nOperands > 4 || !old.Is(HF_STRING)) {
        Value v = op == T_PLUS ? Assigned(in, op, old, value, nLine) : value->Eval(in);
        in.Store(var, std::move(v), nLine);
        return Flow::NORMAL;
    }
    for (size_t i = 0; i < nOperands; ++i) operands[i] = op == T_PLUS ? value->Eval(in) : pJoined->steps[i].operand->Eval(in);
    // Held by the variable and by `old` alone, and still the variable's value.
    KxScDataHandle* ph = old.Handle();
    KxScDataHandle* phNow = var.nLocal >= 0 ? in.pLocals[var.nLocal].Handle() : var.pSlot->phValue;
    if (ph != phNow || ph->wRefCount != 2 || (ph->wFlags & HF_FIXED)) {
        Value v = old;
        for (size_t i = 0; i < nOperands; ++i) v = Binary(in, T_PLUS, v, operands[i], nLine);
        in.Store(var, std::move(v), nLine);
        return Flow::NORMAL;
    }
    KxString sTexts[4];
    const KxString* pTexts[4];
    KxString& s = static_cast<KxScStringObject*>(ph->Object())->sText;
    unsigned long long qwLength = s.Length();
    for (size_t i = 0; i < nOperands; ++i) {
        pTexts[i] = operands[i].Is(HF_STRING) ? &operands[i].Text() : &(sTexts[i] = operands[i].ShortText());
        qwLength += pTexts[i]->Length();
    }
    in.RaiseMemoryShort(nLine);
    unsigned long long qwHeld = static_cast<KxScStringObject*>(ph->Object())->HeldBytes();
    in.Reserve(s, qwLength, nLine);
    for (size_t i = 0; i < nOperands; ++i) s << *pTexts[i];
    unsigned long long qwNow = static_cast<KxScStringObject*>(ph->Object())->HeldBytes();
    if (qwNow > qwHeld) RtAddPaceBytes(qwNow - qwHeld);
    return Flow::NORMAL;
}

Flow IndexAssignStmt::Exec(Interp& in) {
    Value target = obj->Eval(in);
    Value k = index->Eval(in);
    if (target.Is(HF_MAP)) {
        KxScMapObject* pMap = MapObject(target);
        Value old = op == T_ASSIGN ? Value() : Value::Share(pMap->Get(KeyOf(in, k, nLine)));
        PutEntry(in, pMap, k, Assigned(in, op, old, value, nLine), nLine);
    } else if (target.Is(HF_LIST)) {
        KxScListObject* pList = ListObject(target);
        Value old = op == T_ASSIGN ? Value() : Value::Share(pList->GetItem(ItemIndex(in, k, pList->ItemCount(), nLine)));
        Value v = Assigned(in, op, old, value, nLine);
        // The value may have changed the list: the index is checked against it as it is now.
        int i = ItemIndex(in, k, pList->ItemCount(), nLine);
        pList->Set(i, v.NewHandle());
    } else if (target.Is(HF_STRING)) {
        in.Raise(ERR_TYPE, "the bytes of a string cannot be changed: make a new string", nLine);
    } else {
        in.Raise(ERR_TYPE, KxString("cannot index ") + target.ShortText(), nLine);
    }
    return Flow::NORMAL;
}

Flow GlobalStmt::Exec(Interp& in) {
    in.StoreGlobal(pSlot, value->Eval(in), nLine);
    return Flow::NORMAL;
}

Flow PropAssignStmt::Exec(Interp& in) {
    Value target = obj->Eval(in);
    KxScDataObject* po = in.ObjectOf(target, "set property", sName, nLine);
    Value old = op == T_ASSIGN ? Value() : ReadProperty(in, target, sName, nLine);
    Value v = Assigned(in, op, old, value, nLine);
    KxString sRefused = KxString("property ") + Quoted(sName) + " of " + target.ShortText() +
                        " cannot be set";
    if (target.Handle()->wFlags & HF_FIXED) in.Raise(KX_PROP_REFUSED, sRefused, nLine);
    // A map holds any value; the properties of other objects are their classes' own.
    if (!target.Is(HF_MAP)) CheckContractNumber(in, v, KxString("property ") + Quoted(sName) + " of " + target.ShortText(), nLine);
    KxPropertyErrorCode code = po->SetProperty(target.Handle(), sName, v.NewHandle(), true);
    if (code != KX_PROP_OK) in.Raise(code, sRefused, nLine);
    in.RaisePending(nLine);
    return Flow::NORMAL;
}

Flow IfStmt::Exec(Interp& in) {
    for (Arm& arm : arms)
        if (arm.cond->Eval(in).Truthy()) return arm.body.Exec(in);
    return bElse ? otherwise.Exec(in) : Flow::NORMAL;
}

namespace {
// What a loop does with its body's flow: true when the loop ends, with *pOut its own flow.
bool LoopEnds(Flow flow, Flow* pOut) {
    StopIfInterrupted();
    *pOut = flow == Flow::RETURN ? Flow::RETURN : Flow::NORMAL;
    return flow == Flow::BREAK || flow == Flow::RETURN;
}
}  // namespace

Flow WhileStmt::Exec(Interp& in) {
    Flow out = Flow::NORMAL;
    while (cond->Eval(in).Truthy())
        if (LoopEnds(body.Exec(in), &out)) break;
    return out;
}

Flow CForStmt::Exec(Interp& in) {
    Flow out = Flow::NORMAL;
    if (init) init->Exec(in);
    for (; !cond || cond->Eval(in).Truthy(); step ? step->Exec(in) : Flow::NORMAL)
        if (LoopEnds(body.Exec(in), &out)) break;
    return out;
}

Flow ForStmt::Exec(Interp& in) {
    Value v = list->Eval(in);
    Flow out = Flow::NORMAL;
    if (v.Is(HF_MAP)) {
        KxScMapObject* pMap = MapObject(v);
        std::vector<Value> vKeys;
        vKeys.reserve(pMap->Count());
        for (int i = pMap->Next(0); i >= 0; i = pMap->Next(i + 1)) vKeys.push_back(Value::Share(pMap->KeyAt(i)));
        for (Value& k : vKeys) {
            if (!pMap->Get(KeyOf(in, k, nLine))) continue;  // deleted by the loop
            in.Store(var, std::move(k), nLine);
            if (LoopEnds(body.Exec(in), &out)) break;
        }
        return out;
    }
    if (!v.Is(HF_LIST)) in.Raise(ERR_TYPE, KxString("cannot loop over ") + v.ShortText(), nLine);
    KxScListObject* pList = ListObject(v);
    for (int i = 0; i < pList->ItemCount(); ++i) {
        in.Store(var, Value::Share(pList->GetItem(i)), nLine);
        if (LoopEnds(body.Exec(in), &out)) break;
    }
    return out;
}

Flow ReturnStmt::Exec(Interp& in) {
    in.retval = value ? value->Eval(in) : Value::Nil();
    return Flow::RETURN;
}

Flow TryStmt::Exec(Interp& in) {
    try {
        return body.Exec(in);
    } catch (ScriptError& e) {
        // The frames of the calls in between were restored as the error left them.
        in.Store(var, MakeError(e), nLine);
    }
    return handler.Exec(in);
}

Flow ThrowStmt::Exec(Interp& in) {
    Value v = value->Eval(in);
    if (!v.Is(HF_ERROR)) in.Raise(ERR_TYPE, "only errors can be thrown", nLine);
    throw static_cast<KxScErrorObject*>(v.Object())->error;
}

// ---- programs

void Run(Program& program) {
    Interp in(&program.sPath);
    // An exception a method raised when called from outside any script (a host calling it
    // directly) belongs to no script: it must not surface in this one.
    int nCode = 0;
    KxString sText;
    in.pEnv->TakeException(&nCode, &sText);
    program.top.Exec(in);
}

void DefineFunctions(Program& program) {
    for (auto& fn : program.vFunctions) gFunctions.Insert(fn->sName, fn.get());
}

void ForgetFunctions() { gFunctions.RemoveAll(); }

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

Value CallBuiltin(Interp& in, const Builtin& b, std::vector<Value>& vArgs, int nLine) {
    int n = static_cast<int>(vArgs.size());
    if (n < b.nMin || (b.nMax >= 0 && n > b.nMax)) {
        KxString s(Quoted(b.pszName));
        s << " takes ";
        if (b.nMax < 0) s << "at least " << b.nMin;
        else if (b.nMax == b.nMin) s << b.nMin;
        else s << b.nMin << (b.nMax == b.nMin + 1 ? " or " : " to ") << b.nMax;
        s << ((b.nMax < 0 ? b.nMin : b.nMax) == 1 ? " argument, " : " arguments, ") << n << " given";
        in.Raise(ERR_ARGUMENTS, s, nLine);
    }
    Args args{in, b.pszName, vArgs, nLine};
    return b.pfn(args);
}

}  // namespace tarvo
