// Runs compiled Tarvo: each node evaluates itself against the interpreter's current frame.
#include <windows.h>

#include <cstring>

#include "KxDblList.h"
#include "KxThread.h"
#include "TarvoNodes.h"

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
        else return KX_PROP_NOT_FOUND;
        return KX_PROP_OK;
    }
    ScriptError error;
    static __TarvoTypeInfo _ptiTypeInfo;
};
__TarvoTypeInfo KxScErrorObject::_ptiTypeInfo("KxScError", &KxScData::_ptiTypeInfo);

KxHashTable gFunctions;  // name -> Function*, owned by their programs

KxString Quoted(const KxString& sName) { return KxString("'") + sName + "'"; }

// The list a value known to be a list refers to.
KxScStdLibList* ListOf(const Value& v) { return KxScStdLib::pslliListInterface->ListOf(v.Handle()); }

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

class Interp {
public:
    explicit Interp(const KxString* psPath)
        : psPath(psPath), pEnv(EnvOfThisThread()), pStackFloor(StackFloor()) {}

    // The lowest address evaluation may reach on this thread's stack: its reservation's base
    // plus the spare room kept for the deepest level.
    static const char* StackFloor() {
        MEMORY_BASIC_INFORMATION mbi = {};
        char cHere = 0;
        if (!VirtualQuery(&cHere, &mbi, sizeof mbi)) return nullptr;
        return static_cast<const char*>(mbi.AllocationBase) + kStackSpare;
    }

    [[noreturn]] void Raise(int nCode, const KxString& sText, int nLine) {
        throw ScriptError{nCode, sText, nLine, psPath};
    }

    // The object a value refers to, or an error naming what was asked of it.
    KxScDataObject* ObjectOf(const Value& v, const char* pszWhat, const KxString& sName, int nLine) {
        if (KxScDataObject* po = v.Object()) return po;
        KxString s("cannot ");
        s << pszWhat << " " << Quoted(sName) << " of " << v.ShortText();
        Raise(ERR_TYPE, s, nLine);
    }

    void Store(const VarRef& var, Value v, int nLine) {
        if (var.nLocal >= 0) {
            pLocals[var.nLocal] = std::move(v);
        } else {
            StoreGlobal(var.pSlot, std::move(v), nLine);
        }
    }

    void StoreGlobal(KxScGlobalSlot* pSlot, Value v, int nLine) {
        KxScDataHandle* phOld = pSlot->phValue;
        if (phOld && pSlot->bSetByHost && (phOld->wFlags & HF_FIXED))
            Raise(ERR_FIXED, KxString("global ") + Quoted(pSlot->sName) + " cannot be changed", nLine);
        // An integer global nobody else refers to is updated in place: loops over global
        // counters then make no handles at all.
        if (v.IsInt() && phOld && phOld->wFlags == HF_INTEGER && phOld->wRefCount == 1) {
            phOld->dwValue = static_cast<uintptr_t>(static_cast<unsigned>(v.AsInt()));
            return;
        }
        pSlot->phValue = v.NewHandle();
        pSlot->bSetByHost = false;
        if (phOld) phOld->Drop();
    }

    // Pending exception of a native method, raised in the script.
    void RaisePending(int nLine) {
        int nCode = 0;
        KxString sText;
        if (pEnv->TakeException(&nCode, &sText)) Raise(nCode, sText, nLine);
    }

    void MaybeCollect() {
        if (RtCollectDue()) KxScDataHandle::GarbageCollect();
    }

    // Room in s for nLength bytes: a text longer than a string can hold (or than memory
    // gives) is a script error, not a cut text.
    void Reserve(KxString& s, unsigned nLength, int nLine) {
        if (!s.Reserve(nLength)) Raise(ERR_TOO_LONG, "string too long", nLine);
    }

    // Guards the interpreter's own recursion: each node that evaluates others inside it (a
    // chain, a postfix, a unary operator, a call, a block) is one level, up to kMaxEvalLevels
    // of them and while the stack keeps its spare room.
    // The stack position is a local's address, not the frame address: reading the frame
    // address gives the function a frame pointer set before its stack is allocated, and the
    // x86_64 compiler then records the saved xmm registers at offsets the unwinder reads from
    // another base, so a caller of a function that a script error leaves gets them back wrong.
    struct Deeper {
        Deeper(Interp& in, int nLine) : in(in) {
            char cHere = 0;
            const char* pHere = &cHere;
            if (++in.nLevels <= kMaxEvalLevels && pHere > in.pStackFloor) return;
            --in.nLevels;
            in.Raise(ERR_TOO_DEEP, "evaluation nested too deeply", nLine);
        }
        ~Deeper() { --in.nLevels; }
        Interp& in;
    };

    Value* pLocals = nullptr;
    const KxString* psPath;
    KxScVmEnv* pEnv;
    const char* pStackFloor;
    int nDepth = 0;   // script function calls
    int nLevels = 0;  // nested evaluation, calls included
    Value retval;
};

// ---- expressions

Value NameExpr::Eval(Interp& in) {
    if (var.nLocal >= 0) {
        const Value& v = in.pLocals[var.nLocal];
        if (v.GetKind() != Value::UNSET) return v;
    } else if (var.pSlot->phValue) {
        return Value::Share(var.pSlot->phValue);
    }
    in.Raise(ERR_UNKNOWN_VARIABLE, KxString("unknown variable ") + Quoted(var.sName), nLine);
}

namespace {
const char* OpText(Tok op) {
    switch (op) {
    case T_PLUS: return "+"; case T_MINUS: return "-"; case T_STAR: return "*";
    case T_SLASH: return "/"; case T_PERCENT: return "%"; case T_AMP: return "&";
    case T_BAR: return "|"; case T_CARET: return "^"; case T_LT: return "<";
    case T_LE: return "<="; case T_GT: return ">"; case T_GE: return ">=";
    case T_BANG: return "!"; case T_TILDE: return "~"; default: return "?";
    }
}

int CompareText(const KxString& a, const KxString& b);

bool Equal(const Value& a, const Value& b) {
    if (a.IsInt() || b.IsInt()) return a.IsInt() && b.IsInt() && a.AsInt() == b.AsInt();
    if (a.IsNil() || b.IsNil()) return a.IsNil() && b.IsNil();
    if (a.Is(HF_STRING) && b.Is(HF_STRING)) return CompareText(a.Text(), b.Text()) == 0;
    return a.Object() == b.Object();
}

// The short texts of a and b joined. The room is asked for once, before anything is copied,
// and the text goes into its string object without another copy.
Value Join(Interp& in, const Value& a, const Value& b, int nLine) {
    KxString sA(NULL_STRING), sB(NULL_STRING);
    const KxString& tA = a.Is(HF_STRING) ? a.Text() : (sA = a.ShortText());
    const KxString& tB = b.Is(HF_STRING) ? b.Text() : (sB = b.ShortText());
    KxString s(NULL_STRING);
    in.Reserve(s, tA.Length() + tB.Length(), nLine);
    s << tA << tB;
    return Value::Adopt(RtCreateString(static_cast<KxString&&>(s)));
}

// Byte order of two texts, as memcmp gives it, the shorter first on a tie. A string without
// text (a plug-in may make one from a null text) has no bytes: it is the empty text here, as
// it is to len(), `+` and print.
int CompareText(const KxString& a, const KxString& b) {
    unsigned n = a.Length() < b.Length() ? a.Length() : b.Length();
    int c = n ? std::memcmp(static_cast<const char*>(a), static_cast<const char*>(b), n) : 0;
    if (c != 0) return c;
    return a.Length() < b.Length() ? -1 : a.Length() > b.Length() ? 1 : 0;
}
}  // namespace

Value UnaryExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    Value v = e->Eval(in);
    if (op == T_BANG) return Value::Int(!v.Truthy());
    if (!v.IsInt())
        in.Raise(ERR_TYPE, KxString("operand of '") + OpText(op) + "' must be an integer", nLine);
    unsigned u = static_cast<unsigned>(v.AsInt());
    return Value::Int(static_cast<int>(op == T_MINUS ? 0u - u : ~u));
}

namespace {
Value Binary(Interp& in, Tok op, const Value& a, const Value& b, int nLine) {
    if (op == T_EQ) return Value::Int(Equal(a, b));
    if (op == T_NE) return Value::Int(!Equal(a, b));
    if (op == T_PLUS && (a.Is(HF_STRING) || b.Is(HF_STRING))) return Join(in, a, b, nLine);
    if (op == T_LT || op == T_LE || op == T_GT || op == T_GE) {
        int c;
        if (a.IsInt() && b.IsInt()) c = a.AsInt() < b.AsInt() ? -1 : a.AsInt() > b.AsInt();
        else if (a.Is(HF_STRING) && b.Is(HF_STRING)) c = CompareText(a.Text(), b.Text());
        else in.Raise(ERR_TYPE, KxString("operands of '") + OpText(op) +
                                    "' must be two integers or two strings", nLine);
        bool bResult = op == T_LT ? c < 0 : op == T_LE ? c <= 0 : op == T_GT ? c > 0 : c >= 0;
        return Value::Int(bResult);
    }
    if (!a.IsInt() || !b.IsInt())
        in.Raise(ERR_TYPE, KxString("operands of '") + OpText(op) + "' must be integers", nLine);
    // Integers wrap on overflow: the arithmetic is done unsigned.
    int x = a.AsInt(), y = b.AsInt();
    unsigned ux = static_cast<unsigned>(x), uy = static_cast<unsigned>(y);
    switch (op) {
    case T_PLUS: return Value::Int(static_cast<int>(ux + uy));
    case T_MINUS: return Value::Int(static_cast<int>(ux - uy));
    case T_STAR: return Value::Int(static_cast<int>(ux * uy));
    case T_SLASH:
    case T_PERCENT:
        if (y == 0) in.Raise(ERR_DIVISION_BY_ZERO, "division by zero", nLine);
        if (y == -1) return Value::Int(op == T_SLASH ? static_cast<int>(0u - ux) : 0);
        return Value::Int(op == T_SLASH ? x / y : x % y);
    case T_AMP: return Value::Int(x & y);
    case T_BAR: return Value::Int(x | y);
    case T_CARET: return Value::Int(x ^ y);
    default: return Value::Nil();
    }
}
}  // namespace

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

namespace {
void CheckArity(Interp& in, const KxString& sName, int nWanted, size_t nGiven, int nLine) {
    if (nGiven == size_t(nWanted)) return;
    KxString s(Quoted(sName));
    s << " takes " << nWanted << (nWanted == 1 ? " argument, " : " arguments, ") << int(nGiven)
      << " given";
    in.Raise(ERR_ARGUMENTS, s, nLine);
}

// Restores the caller's frame however the call ends.
struct FrameGuard {
    FrameGuard(Interp& in, Value* pLocals, const KxString* psPath)
        : in(in), pSavedLocals(in.pLocals), psSavedPath(in.psPath) {
        in.pLocals = pLocals;
        in.psPath = psPath;
        ++in.nDepth;
    }
    ~FrameGuard() {
        in.pLocals = pSavedLocals;
        in.psPath = psSavedPath;
        --in.nDepth;
    }
    Interp& in;
    Value* pSavedLocals;
    const KxString* psSavedPath;
};
}  // namespace

Value CallExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    switch (builtin) {
    case B_PRINT: {
        KxString s("");
        for (auto& arg : args) {
            KxString sArg = arg->Eval(in).ShortText();
            in.Reserve(s, s.Length() + sArg.Length(), nLine);
            s << sArg;
        }
        KxScConsoleManager::pcmManager->PrintStringNl(s);
        return Value::Nil();
    }
    case B_LEN: {
        CheckArity(in, sName, 1, args.size(), nLine);
        Value v = args[0]->Eval(in);
        if (v.Is(HF_LIST)) return Value::Int(ListOf(v)->ItemCount());
        if (v.Is(HF_STRING)) return Value::Int(static_cast<int>(v.Text().Length()));
        in.Raise(ERR_TYPE, KxString("len() needs a list or a string, not ") + v.ShortText(), nLine);
    }
    case B_STR:
        CheckArity(in, sName, 1, args.size(), nLine);
        return Value::Adopt(KxScDataHandle::CreateData(args[0]->Eval(in).ShortText(), false));
    case B_ERROR: {
        CheckArity(in, sName, 2, args.size(), nLine);
        Value code = args[0]->Eval(in);
        Value text = args[1]->Eval(in);
        if (!code.IsInt() || !text.Is(HF_STRING))
            in.Raise(ERR_TYPE, "error() needs an integer code and a string text", nLine);
        ScriptError e{code.AsInt(), text.Text(), nLine, in.psPath};
        return Value::Adopt(KxScDataHandle::CreateData(new KxScErrorObject(e)));
    }
    case B_NONE: break;
    }
    void* pv = nullptr;
    if (!gFunctions.Lookup(sName, &pv))
        in.Raise(ERR_UNKNOWN_FUNCTION, KxString("unknown function ") + Quoted(sName), nLine);
    Function& fn = *static_cast<Function*>(pv);
    CheckArity(in, sName, fn.nParams, args.size(), nLine);
    if (in.nDepth >= kMaxCallDepth) in.Raise(ERR_TOO_DEEP, "calls nested too deeply", nLine);
    std::vector<Value> vLocals(fn.nLocals);
    for (int i = 0; i < fn.nParams; ++i) vLocals[i] = args[i]->Eval(in);
    FrameGuard guard(in, vLocals.data(), fn.psPath);
    Value result = fn.body.Exec(in) == Flow::RETURN ? std::move(in.retval) : Value::Nil();
    in.retval = Value();
    return result;
}

namespace {
Value ReadProperty(Interp& in, const Value& v, const KxString& sName, int nLine) {
    KxScDataObject* po = in.ObjectOf(v, "read property", sName, nLine);
    KxScDataHandle* ph = nullptr;
    KxPropertyErrorCode code = po->GetProperty(sName, &ph);
    if (code != KX_PROP_OK)
        in.Raise(code, v.ShortText() + " has no property " + Quoted(sName), nLine);
    return Value::Adopt(ph);
}

Value CallMethod(Interp& in, const Value& self, const KxString& sName, ExprList& args, int nLine) {
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

    std::vector<Value> vArgs;
    vArgs.reserve(args.size());
    for (auto& arg : args) vArgs.push_back(arg->Eval(in));
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

Value Index(Interp& in, const Value& v, const Value& ix, int nLine) {
    if (!ix.IsInt()) in.Raise(ERR_TYPE, "an index must be an integer", nLine);
    int i = ix.AsInt(), n;
    if (v.Is(HF_LIST)) {
        KxScStdLibList* pList = ListOf(v);
        n = pList->ItemCount();
        if (i >= 0 && i < n) return Value::Share(pList->GetItem(i));
    } else if (v.Is(HF_STRING)) {
        n = static_cast<int>(v.Text().Length());
        if (i >= 0 && i < n)
            return Value::Adopt(KxScDataHandle::CreateData(KxString(v.Text() + i, 1), false));
    } else {
        in.Raise(ERR_TYPE, KxString("cannot index ") + v.ShortText(), nLine);
    }
    KxString s("index ");
    s << i << " out of range (" << n << (n == 1 ? " item)" : " items)");
    in.Raise(ERR_INDEX, s, nLine);
}
}  // namespace

Value PostfixExpr::Eval(Interp& in) {
    Interp::Deeper deeper(in, nLine);
    Value v = base->Eval(in);
    for (Step& step : steps) {
        if (step.index) v = Index(in, v, step.index->Eval(in), step.nLine);
        else if (step.bCall) v = CallMethod(in, v, step.sName, step.args, step.nLine);
        else v = ReadProperty(in, v, step.sName, step.nLine);
    }
    return v;
}

// ---- statements

Flow Block::Exec(Interp& in) {
    if (vStmts.empty()) return Flow::NORMAL;
    Interp::Deeper deeper(in, vStmts[0]->nLine);
    for (auto& stmt : vStmts) {
        in.MaybeCollect();
        Flow flow = stmt->Exec(in);
        if (flow != Flow::NORMAL) return flow;
    }
    return Flow::NORMAL;
}

Flow ExprStmt::Exec(Interp& in) {
    e->Eval(in);
    return Flow::NORMAL;
}

Flow AssignStmt::Exec(Interp& in) {
    in.Store(var, value->Eval(in), nLine);
    return Flow::NORMAL;
}

Flow GlobalStmt::Exec(Interp& in) {
    in.StoreGlobal(pSlot, value->Eval(in), nLine);
    return Flow::NORMAL;
}

Flow PropAssignStmt::Exec(Interp& in) {
    Value target = obj->Eval(in);
    KxScDataObject* po = in.ObjectOf(target, "set property", sName, nLine);
    Value v = value->Eval(in);
    KxString sRefused = KxString("property ") + Quoted(sName) + " of " + target.ShortText() +
                        " cannot be set";
    if (target.Handle()->wFlags & HF_FIXED) in.Raise(KX_PROP_REFUSED, sRefused, nLine);
    KxPropertyErrorCode code = po->SetProperty(target.Handle(), sName, v.NewHandle(), true);
    if (code != KX_PROP_OK) in.Raise(code, sRefused, nLine);
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

Flow ForStmt::Exec(Interp& in) {
    Value v = list->Eval(in);
    if (!v.Is(HF_LIST)) in.Raise(ERR_TYPE, KxString("cannot loop over ") + v.ShortText(), nLine);
    KxScStdLibList* pList = ListOf(v);
    Flow out = Flow::NORMAL;
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
        in.Store(var, Value::Adopt(KxScDataHandle::CreateData(new KxScErrorObject(e))), nLine);
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

}  // namespace tarvo
