// The machine: one loop runs the instructions of every chunk. Script calls push a frame and
// go on in the same loop; only built-in functions that call scripts (sort, include) run it
// again inside themselves. Values live on a stack of segments; the slots above the top are
// always unset, so a frame's values are let go by clearing its slots.
#include <windows.h>

#include <new>

#include "KxMemory.h"
#include "TarvoLib.h"

namespace tarvo {

namespace {
const size_t kFirstSegment = 4096;

// Two integers compared as ==, !=, <, <=, >, >= (nKind 0 to 5, the order of OP_EQ to OP_GE).
// `<`, the counting loops' test, is tried first by a branch of its own: the switch's table
// is an indirect jump more.
inline bool CompareInts(int nKind, int64_t m, int64_t n) {
    if (__builtin_expect(nKind == 2, 1)) return m < n;
    switch (nKind) {
    case 0: return m == n;
    case 1: return m != n;
    case 2: return m < n;
    case 3: return m <= n;
    case 4: return m > n;
    default: return m >= n;
    }
}

[[noreturn]] void UnknownVariable(Interp& in, const KxString& sName, int nLine) {
    in.Raise(ERR_UNKNOWN_VARIABLE, KxString("unknown variable ") + Quoted(sName), nLine);
}
}  // namespace

void Interp::PushFrame(Function* pFunction, const KxString* psFramePath, int nCallLine, Chunk& chunk, int nArgs,
                       const Value* pArgs) {
    if (vFrames.size() > static_cast<size_t>(kMaxCallDepth)) Raise(ERR_TOO_DEEP, "calls nested too deeply", nCallLine);
    char cHere = 0;
    if (&cHere < pStackFloor) Raise(ERR_TOO_DEEP, "calls nested too deeply", nCallLine);
    int nLocals = pFunction ? pFunction->nLocals : 0;
    // Room for the locals, the values the chunk stacks, and a result a built-in function's
    // call of a script leaves.
    size_t nNeed = static_cast<size_t>(nLocals) + chunk.nMaxStack + 2;
    auto useSegment = [&](size_t nSeg) {
        if (nSeg >= vSegments.size() || vSegments[nSeg].nSize < nNeed) {
            size_t nSize = vSegments.empty() ? kFirstSegment : vSegments.back().nSize * 2;
            if (nSize < nNeed) nSize = nNeed;
            Segment seg{std::unique_ptr<Value[]>(new (std::nothrow) Value[nSize]), nSize};
            if (!seg.pValues) RaiseNoMemory(nCallLine);
            if (nSeg < vSegments.size()) vSegments[nSeg] = std::move(seg);
            else vSegments.push_back(std::move(seg));
        }
        nSegment = static_cast<int>(nSeg);
        pSegmentEnd = vSegments[nSeg].pValues.get() + vSegments[nSeg].nSize;
        return vSegments[nSeg].pValues.get();
    };
    if (vSegments.empty()) sp = useSegment(0);
    Value* pResult = pArgs ? sp : sp - nArgs;
    Value* base = pResult;
    // A frame that does not fit where its caller's values end starts the next segment.
    if (static_cast<size_t>(pSegmentEnd - base) < nNeed) base = useSegment(nSegment + 1);
    if (pArgs) {
        for (int i = 0; i < nArgs; ++i) base[i] = pArgs[i];
    } else if (base != pResult) {
        for (int i = 0; i < nArgs; ++i) base[i] = std::move(pResult[i]);
    }
    Value* pTop = base + nLocals + chunk.nMaxStack;
    // Written field by field where it stays: a frame built aside and copied in is read back
    // wider than it was written, which the processor cannot forward from its stores.
    vFrames.emplace_back();
    Frame& f = vFrames.back();
    f.psPath = psFramePath;
    f.nCallLine = nCallLine;
    f.pFunction = pFunction;
    f.pChunk = &chunk;
    f.ip = chunk.code.data();
    f.base = base;
    f.pTop = pTop;
    f.pResult = pResult;
    f.nSegment = nSegment;
    f.nHandlers = vHandlers.size();
    sp = base + nLocals;
    psPath = psFramePath;
}

void Interp::PopFrame(Value* pFrom, Value* pTo) {
    Frame& f = vFrames.back();
    for (Value* p = pFrom; p < pTo; ++p) p->Clear();
    if (vHandlers.size() > f.nHandlers) vHandlers.resize(f.nHandlers);
    vFrames.pop_back();
    if (vFrames.empty()) psPath = nullptr;
    else Resume(vFrames.back());
}

void Interp::Resume(const Frame& f) {
    psPath = f.psPath;
    nSegment = f.nSegment;
    pSegmentEnd = vSegments[nSegment].pValues.get() + vSegments[nSegment].nSize;
}

Value Interp::CallValue(const Value& fn, const Value* pArgs, int nArgs, const KxString& sName, int nLine) {
    if (!IsFunction(fn)) Raise(ERR_NOT_A_METHOD, Quoted(sName) + " is " + Describe(fn) + ", not a function", nLine);
    Function& f = FunctionOf(fn);
    CheckArity(*this, f.sName, f.nParams, nArgs, nLine);
    PushFrame(&f, f.psPath, nLine, f.chunk, nArgs, pArgs);
    return Execute(vFrames.size() - 1);
}

void Interp::RunTopLevel(Program& program, int nLine) {
    PushFrame(nullptr, &program.sPath, nLine, program.top, 0, nullptr);
    Execute(vFrames.size() - 1);
}

bool Interp::Catch(size_t nEntry, const ScriptError& e) {
    if (vHandlers.empty() || vHandlers.back().nFrame < nEntry) {
        Unwind(nEntry);
        return false;
    }
    Handler h = vHandlers.back();
    while (vFrames.size() - 1 > h.nFrame) PopFrame(vFrames.back().base, vFrames.back().pTop);
    vHandlers.pop_back();
    Frame& f = vFrames.back();
    for (Value* p = h.sp; p < f.pTop; ++p) p->Clear();
    Resume(f);
    *h.sp = MakeError(e);
    sp = h.sp + 1;
    f.ip = h.ip;
    return true;
}

// The frames from nEntry up go, and the arguments of the entry frame with them (cleared with
// its locals, or moved to its own segment).
void Interp::Unwind(size_t nEntry) {
    Value* pResult = vFrames[nEntry].pResult;
    while (vFrames.size() > nEntry) PopFrame(vFrames.back().base, vFrames.back().pTop);
    sp = pResult;
}

Value Interp::Execute(size_t nEntry) {
    for (;;) {
        try {
            return Loop(nEntry);
        } catch (ScriptError& e) {
            if (!Catch(nEntry, e)) throw;
        } catch (std::bad_alloc&) {
            // Memory a container of the C++ library could not have: the statement's error.
            const Frame& f = vFrames.back();
            int nLine = f.pChunk->lines[f.ip - 1 - f.pChunk->code.data()];
            ScriptError e{ERR_NO_MEMORY, "out of memory", nLine, psPath, Calls(nLine)};
            if (!Catch(nEntry, e)) throw e;
        } catch (...) {
            Unwind(nEntry);
            throw;
        }
    }
}

void Interp::Append(Chunk& chunk, Value* base, int a, bool bLocal, Value* pOld, int nOperands, int nLine) {
    KxScDataHandle* phVariable = bLocal ? base[a].Handle() : chunk.globals[a]->phValue;
    if (!AppendInPlace(phVariable, pOld, nOperands, nLine)) {
        Value v = *pOld;
        for (int i = 1; i <= nOperands; ++i) v = Binary(*this, T_PLUS, v, pOld[i], nLine);
        if (bLocal) base[a] = std::move(v);
        else StoreGlobal(chunk.globals[a], std::move(v), nLine);
    }
    for (int i = nOperands; i >= 0; --i) pOld[i].Clear();
}

bool Interp::AppendInPlace(KxScDataHandle* phVariable, Value* pOld, int nOperands, int nLine) {
    // Held by the variable and by the old value on the stack alone, and still the variable's.
    KxScDataHandle* ph = pOld->Handle();
    if (!pOld->Is(HF_STRING) || ph != phVariable || ph->wRefCount != 2 || (ph->wFlags & HF_FIXED)) return false;
    // Operands that are not strings are put in words on the stack where they lie (their slots
    // are the machine's own, and cleared after this): strings, the common case, need no copy.
    Value* pOperands = pOld + 1;
    KxString& s = static_cast<KxScStringObject*>(ph->Object())->sText;
    unsigned long long qwLength = s.Length();
    for (int i = 0; i < nOperands; ++i) {
        if (!pOperands[i].Is(HF_STRING)) pOperands[i] = NewString(pOperands[i].ShortText());
        qwLength += pOperands[i].Text().Length();
    }
    RaiseMemoryShort(nLine);
    unsigned nHeld = s.Length();
    Reserve(s, qwLength, nLine);
    for (int i = 0; i < nOperands; ++i) s << pOperands[i].Text();
    RtAddPaceBytes(qwLength - nHeld);
    return true;
}

// A global, or the function of its name (error 101 when there is neither).
Value Interp::GlobalValue(const Chunk& chunk, int n, int nLine) {
    KxScGlobalSlot* pSlot = chunk.globals[n];
    if (pSlot->HasValue()) return Value::OfGlobal(pSlot);
    if (Function* pFn = FindFunction(pSlot->sName)) return FunctionValue(*pFn);
    UnknownVariable(*this, pSlot->sName, nLine);
}

void Interp::UnsetLocal(int n, int nLine) { UnknownVariable(*this, vFrames.back().pFunction->vLocalNames[n], nLine); }

// An operand of a fused instruction as its own instruction would have pushed it.
Value Interp::OperandValue(const Chunk& chunk, const Value* base, uint32_t u, int nLine) {
    int n = Operand::IndexOf(u);
    switch (Operand::KindOf(u)) {
    case Operand::LOCAL:
        if (base[n].GetKind() == Value::UNSET) UnsetLocal(n, nLine);
        return base[n];
    case Operand::GLOBAL: return GlobalValue(chunk, n, nLine);
    case Operand::CONSTANT: return chunk.constants[n];
    default: return Value::Int(Operand::IntOf(u));
    }
}

namespace {
const Tok kCompareToks[] = {T_EQ, T_NE, T_LT, T_LE, T_GT, T_GE};

// The kinds of operand a variant of a fused instruction takes, a set of Operand::Kind bits:
// every kind, or (the variants for a function's own variables) locals and small integers.
enum : unsigned {
    kLocal = 1u << Operand::LOCAL,
    kGlobal = 1u << Operand::GLOBAL,
    kConstant = 1u << Operand::CONSTANT,
    kInt = 1u << Operand::INT,
    kAnyKind = kLocal | kGlobal | kConstant | kInt,
    kLocalOrInt = kLocal | kInt
};

// A global as an integer, when it is one.
inline bool GlobalInt(const Chunk& chunk, int n, int64_t* pn) {
    const KxScGlobalSlot* pSlot = chunk.globals[n];
    if (__builtin_expect(pSlot->nHeld == KxScGlobalSlot::INT, 1)) {
        *pn = pSlot->nInt;
        return true;
    }
    return pSlot->phValue && RtHandleInteger(pSlot->phValue, pn);
}

// An operand of a fused instruction, of one of the kinds kKinds, as an integer when it is
// one. A kind the variant does not take is neither tested nor compiled in, so the variants
// for locals keep the loop's state in registers. The variants that take globals are those of
// a text's top level, whose variables are globals: a global is tried first.
template <unsigned kKinds>
inline bool IntOperand(const Chunk& chunk, const Value* base, uint32_t u, int64_t* pn) {
    Operand::Kind k = Operand::KindOf(u);
    constexpr unsigned kRest = kKinds & ~kGlobal;
    if ((kKinds & kGlobal) && (kRest == 0 || __builtin_expect(k == Operand::GLOBAL, 1)))
        return GlobalInt(chunk, Operand::IndexOf(u), pn);
    if ((kRest & kLocal) && (kRest == kLocal || k == Operand::LOCAL)) {
        const Value& v = base[Operand::IndexOf(u)];
        *pn = v.AsInt();
        return v.IsInt();
    }
    if ((kRest & kInt) && ((kRest & ~kLocal) == kInt || k == Operand::INT)) {
        *pn = Operand::IntOf(u);
        return true;
    }
    if constexpr ((kRest & kConstant) != 0) {
        const Value& v = chunk.constants[Operand::IndexOf(u)];
        *pn = v.AsInt();
        return v.IsInt();
    }
    __builtin_unreachable();
}

// `left OP right` of two operands that are integers (false when they are not).
template <unsigned kKinds>
inline bool IntCompare(const Chunk& chunk, const Value* base, uint32_t u, uint32_t nCompare, bool* pb) {
    int64_t x, y;
    if (!IntOperand<kKinds>(chunk, base, u & 0xFFFF, &x) || !IntOperand<kKinds>(chunk, base, u >> 16, &y)) return false;
    *pb = CompareInts(static_cast<int>(nCompare), x, y);
    return true;
}

// `variable += operand` on two integers whose sum fits, the sum in *pr (false, the variable
// left as it was, otherwise). The variable is a local or a global; a variant for locals takes
// no global.
template <unsigned kKinds>
inline bool IntStep(const Chunk& chunk, Value* base, uint32_t uVar, uint32_t uOperand, int64_t* pr) {
    int64_t x, y;
    if ((kKinds & kGlobal) && Operand::KindOf(uVar) != Operand::LOCAL) {
        // Where the global keeps its number, unboxed or in a handle nothing else holds, as a
        // store would (one the host made fixed takes the store's way, which refuses it).
        KxScGlobalSlot* pSlot = chunk.globals[Operand::IndexOf(uVar)];
        if (__builtin_expect(pSlot->nHeld == KxScGlobalSlot::INT, 1)) {
            if (!IntOperand<kKinds>(chunk, base, uOperand, &y) || __builtin_add_overflow(pSlot->nInt, y, pr))
                return false;
            pSlot->nInt = *pr;
            return true;
        }
        KxScDataHandle* ph = pSlot->phValue;
        return ph && RtHandleInteger(ph, &x) && IntOperand<kKinds>(chunk, base, uOperand, &y) &&
               !__builtin_add_overflow(x, y, pr) && !(ph->wFlags & HF_FIXED) && Value::StoreIntInPlace(ph, *pr);
    }
    Value& v = base[Operand::IndexOf(uVar)];
    if (!v.IsInt() || !IntOperand<kKinds>(chunk, base, uOperand, &y) || __builtin_add_overflow(v.AsInt(), y, pr))
        return false;
    v.SetInt(*pr);
    return true;
}
}  // namespace

// `left OP right` of a fused test, the operands in the low and high halves of u, when they
// are not two integers.
bool Interp::CompareOperands(const Chunk& chunk, const Value* base, uint32_t u, uint32_t nCompare, int nLine) {
    Value vx = OperandValue(chunk, base, u & 0xFFFF, nLine);
    Value vy = OperandValue(chunk, base, u >> 16, nLine);
    return Binary(*this, kCompareToks[nCompare], vx, vy, nLine).Truthy();
}

// A counter's step the long way, as the instructions written out would take it: the
// variable's value and the operand stacked at sp, joined, and the statement's end.
void Interp::Step(Chunk& chunk, Value* base, Value* sp, uint32_t uVar, uint32_t uOperand, int nLine) {
    sp[0] = OperandValue(chunk, base, uVar, nLine);
    sp[1] = OperandValue(chunk, base, uOperand, nLine);
    this->sp = sp + 2;
    Append(chunk, base, Operand::IndexOf(uVar), Operand::KindOf(uVar) == Operand::LOCAL, sp, 1, nLine);
    this->sp = sp;
    if (gnRtHandlesMade != nMadeSeen) StatementEnd(nLine);
}

void Interp::StatementEnd(int nLine) {
    nMadeSeen = gnRtHandlesMade;
    RaiseMemoryShort(nLine);
    if (RtCollectDue()) KxScDataHandle::GarbageCollect();
}

// The loop. Its state (the frame, its chunk, the next instruction, the stack's top) is kept in
// locals and written back to the machine before anything that may run a script or look at
// the frames (a call of any kind, an error). What the instructions share of it is written as
// macros, not lambdas: a lambda's closure holds the locals' addresses, and a local whose address
// is taken lives in memory, loaded again by every instruction. The two optimisations turned
// off here would merge the instructions' own jumps to the next one back into a single shared
// jump (as the machine code of this loop showed), which the processor predicts far worse.
__attribute__((optimize("no-gcse", "no-crossjumping"))) Value Interp::Loop(size_t nEntry) {
    Frame* pf = &vFrames.back();
    Chunk* pc = pf->pChunk;
    const uint32_t* ip = pf->ip;
    Value* base = pf->base;
    Value* sp = this->sp;
#define LINE() (pc->lines[ip - 1 - pc->code.data()])
#define SAVE() (pf->ip = ip, this->sp = sp)
#define LOAD() (pf = &vFrames.back(), pc = pf->pChunk, ip = pf->ip, base = pf->base, sp = this->sp)
// A local, which must have been assigned (error 101).
#define LOCAL(n) (__builtin_expect(base[n].GetKind() == Value::UNSET, 0) ? (UnsetLocal(n, LINE()), base[n]) : base[n])
// A statement's end: memory that ran short raises, and a collection comes when it is due.
#define CHECK()                          \
    if (gnRtHandlesMade != nMadeSeen) {  \
        SAVE();                          \
        StatementEnd(LINE());            \
    }
// `left OP right` of a fused test, its operands (of the kinds kKinds) in the low and high
// halves of u.
#define COMPARE(kKinds, b, u, nCompare)                                         \
    if (__builtin_expect(!IntCompare<kKinds>(*pc, base, u, nCompare, &b), 0)) { \
        SAVE();                                                                 \
        b = CompareOperands(*pc, base, u, nCompare, LINE());                    \
    }
// A counter's step, `variable += operand`, and its statement's end. uKnown is then the
// variable's operand when its new value, nKnown, is at hand (the integers' way), ~0u when not
// (nKnown starts at 0: it never holds what a register had before).
#define STEP(kKinds, uVar, uOperand, uKnown, nKnown)                                   \
    int64_t nKnown = 0;                                                                \
    uint32_t uKnown = uVar;                                                            \
    if (__builtin_expect(!IntStep<kKinds>(*pc, base, uKnown, uOperand, &nKnown), 0)) { \
        SAVE();                                                                        \
        Step(*pc, base, sp, uKnown, uOperand, LINE());                                 \
        uKnown = ~0u;                                                                  \
    }
// The fused instructions, each written once for its variants' kinds of operand.
#define ADD_VAR(kKinds)                               \
    {                                                 \
        uint32_t u = *ip++;                           \
        STEP(kKinds, uint32_t(a), u, uKnown, nKnown); \
        NEXT;                                         \
    }
#define JUMP_UNLESS(kKinds)                 \
    {                                       \
        ip += 2;                            \
        bool b;                             \
        COMPARE(kKinds, b, ip[-2], ip[-1]); \
        if (!b) ip += a - 2;                \
        NEXT;                               \
    }
// A loop's test at the end of its round. When its left operand is uKnown (the counter the
// round just stepped, most often), that operand's value is nKnown, taken as it is.
#define LOOP_BACK_IF(kKinds, uKnown, nKnown)                                                    \
    {                                                                                           \
        if (Interrupted()) throw ScriptInterrupt{};                                             \
        ip += 2;                                                                                \
        bool b;                                                                                 \
        int64_t y;                                                                              \
        if ((ip[-2] & 0xFFFF) == (uKnown) && IntOperand<kKinds>(*pc, base, ip[-2] >> 16, &y)) { \
            b = CompareInts(static_cast<int>(ip[-1]), nKnown, y);                               \
        } else {                                                                                \
            COMPARE(kKinds, b, ip[-2], ip[-1]);                                                 \
        }                                                                                       \
        if (b) ip -= a + 2;                                                                     \
        NEXT;                                                                                   \
    }
#define LOOP_IF(kKinds) LOOP_BACK_IF(kKinds, ~0u, 0)
// The step's words: the variable in the low half, the operand in the high one.
#define STEP_LOOP_IF(kKinds)                               \
    {                                                      \
        uint32_t u = *ip++;                                \
        STEP(kKinds, u & 0xFFFF, u >> 16, uKnown, nKnown); \
        LOOP_BACK_IF(kKinds, uKnown, nKnown);              \
    }
    // Each instruction ends by going to the next one's code itself: one indirect jump per
    // place, which the processor predicts from what that instruction is usually followed by.
    static const void* const kDispatch[] = {
        &&L_OP_NIL,
        &&L_OP_INT,
        &&L_OP_CONST,
        &&L_OP_LOAD_LOCAL,
        &&L_OP_STORE_LOCAL,
        &&L_OP_LOAD_GLOBAL,
        &&L_OP_STORE_GLOBAL,
        &&L_OP_POP,
        &&L_OP_POPN,
        &&L_OP_DUP,
        &&L_OP_DUP2,
        &&L_OP_ADD,
        &&L_OP_SUB,
        &&L_OP_MUL,
        &&L_OP_DIV,
        &&L_OP_MOD,
        &&L_OP_BAND,
        &&L_OP_BOR,
        &&L_OP_BXOR,
        &&L_OP_EQ,
        &&L_OP_NE,
        &&L_OP_LT,
        &&L_OP_LE,
        &&L_OP_GT,
        &&L_OP_GE,
        &&L_OP_NEG,
        &&L_OP_NOT,
        &&L_OP_BNOT,
        &&L_OP_TRUTH,
        &&L_OP_JUMP,
        &&L_OP_JUMP_FALSE,
        &&L_OP_JUMP_TRUE,
        &&L_OP_LOOP,
        &&L_OP_JUMP_NOT_EQ,
        &&L_OP_JUMP_NOT_NE,
        &&L_OP_JUMP_NOT_LT,
        &&L_OP_JUMP_NOT_LE,
        &&L_OP_JUMP_NOT_GT,
        &&L_OP_JUMP_NOT_GE,
        &&L_OP_NEW_LIST,
        &&L_OP_LIST_ADD,
        &&L_OP_NEW_MAP,
        &&L_OP_MAP_ADD,
        &&L_OP_INDEX,
        &&L_OP_INDEX_CHECK,
        &&L_OP_SET_INDEX,
        &&L_OP_GET_PROP,
        &&L_OP_PROP_CHECK,
        &&L_OP_SET_PROP,
        &&L_OP_CALL_BUILTIN,
        &&L_OP_NAMED_CHECK,
        &&L_OP_CALL_NAMED,
        &&L_OP_CALL_LOCAL,
        &&L_OP_METHOD,
        &&L_OP_CALL_METHOD,
        &&L_OP_RETURN,
        &&L_OP_RETURN_NIL,
        &&L_OP_FOR_PREP,
        &&L_OP_FOR_SPLIT,
        &&L_OP_FOR_NEXT,
        &&L_OP_TRY,
        &&L_OP_END_TRY,
        &&L_OP_THROW,
        &&L_OP_APPEND_LOCAL,
        &&L_OP_APPEND_GLOBAL,
        &&L_OP_CHECK,
        &&L_OP_ADD_VAR,
        &&L_OP_ADD_VAR_LOCAL,
        &&L_OP_JUMP_UNLESS,
        &&L_OP_JUMP_UNLESS_LOCAL,
        &&L_OP_LOOP_IF,
        &&L_OP_LOOP_IF_LOCAL,
        &&L_OP_STEP_LOOP_IF,
        &&L_OP_STEP_LOOP_IF_LOCAL,
        &&L_OP_ADD_INT,
        &&L_OP_SUB_INT,
    };
    static_assert(sizeof kDispatch / sizeof kDispatch[0] == OP_COUNT, "an instruction without its code");
// The frame's own ip is written by SAVE(), before whatever may raise or allocate.
#define NEXT                      \
    do {                          \
        w = *ip++;                \
        a = ArgOf(w);             \
        goto* kDispatch[OpOf(w)]; \
    } while (0)
    uint32_t w;
    int32_t a;
    NEXT;
    L_OP_NIL:
        *sp++ = Value::Nil();
        NEXT;
    L_OP_INT:
        (sp++)->SetInt(a);
        NEXT;
    L_OP_CONST:
        *sp++ = pc->constants[a];
        NEXT;
    L_OP_LOAD_LOCAL:
        *sp++ = LOCAL(a);
        NEXT;
    L_OP_STORE_LOCAL:
        base[a] = std::move(*--sp);
        NEXT;
    L_OP_LOAD_GLOBAL:
        SAVE();
        *sp++ = GlobalValue(*pc, a, LINE());
        NEXT;
    L_OP_STORE_GLOBAL:
        SAVE();
        StoreGlobal(pc->globals[a], std::move(sp[-1]), LINE());
        (--sp)->Clear();
        NEXT;
    L_OP_POP:
        (--sp)->Clear();
        NEXT;
    L_OP_POPN:
        while (a-- > 0) (--sp)->Clear();
        NEXT;
    L_OP_DUP:
        sp[0] = sp[-1];
        ++sp;
        NEXT;
    L_OP_DUP2:
        sp[0] = sp[-2];
        sp[1] = sp[-1];
        sp += 2;
        NEXT;
    L_OP_ADD:
    L_OP_SUB:
    L_OP_MUL: {
        Value& x = sp[-2];
        const Value& y = sp[-1];
        int64_t r;
        if (x.IsInt() && y.IsInt()) {
            bool bOver = OpOf(w) == OP_ADD   ? __builtin_add_overflow(x.AsInt(), y.AsInt(), &r)
                         : OpOf(w) == OP_SUB ? __builtin_sub_overflow(x.AsInt(), y.AsInt(), &r)
                                             : __builtin_mul_overflow(x.AsInt(), y.AsInt(), &r);
            if (!bOver) {
                x.SetInt(r);
                (--sp)->Clear();
                NEXT;
            }
        }
        SAVE();
        x = Binary(*this, static_cast<Tok>(T_PLUS + (OpOf(w) - OP_ADD)), x, y, LINE());
        (--sp)->Clear();
        NEXT;
    }
    L_OP_ADD_INT:
    L_OP_SUB_INT: {
        Value& x = sp[-1];
        bool bAdd = OpOf(w) == OP_ADD_INT;
        int64_t r;
        if (x.IsInt() && !(bAdd ? __builtin_add_overflow(x.AsInt(), a, &r) : __builtin_sub_overflow(x.AsInt(), a, &r))) {
            x.SetInt(r);
            NEXT;
        }
        SAVE();
        x = Binary(*this, bAdd ? T_PLUS : T_MINUS, x, Value::Int(a), LINE());
        NEXT;
    }
    L_OP_LT:
    L_OP_LE:
    L_OP_GT:
    L_OP_GE:
    L_OP_EQ:
    L_OP_NE: {
        Value& x = sp[-2];
        const Value& y = sp[-1];
        if (x.IsInt() && y.IsInt()) {
            x.SetInt(CompareInts(OpOf(w) - OP_EQ, x.AsInt(), y.AsInt()));
            (--sp)->Clear();
            NEXT;
        }
        SAVE();
        x = Binary(*this, kCompareToks[OpOf(w) - OP_EQ], x, y, LINE());
        (--sp)->Clear();
        NEXT;
    }
    L_OP_DIV:
    L_OP_MOD:
    L_OP_BAND:
    L_OP_BOR:
    L_OP_BXOR: {
        static const Tok kToks[] = {T_SLASH, T_PERCENT, T_AMP, T_BAR, T_CARET};
        SAVE();
        sp[-2] = Binary(*this, kToks[OpOf(w) - OP_DIV], sp[-2], sp[-1], LINE());
        (--sp)->Clear();
        NEXT;
    }
    L_OP_NEG:
        if (sp[-1].IsInt() && sp[-1].AsInt() != INT64_MIN) {
            sp[-1].SetInt(-sp[-1].AsInt());
            NEXT;
        }
        SAVE();
        sp[-1] = Unary(*this, T_MINUS, sp[-1], LINE());
        NEXT;
    L_OP_NOT:
        sp[-1] = Value::Int(!sp[-1].Truthy());
        NEXT;
    L_OP_BNOT:
        SAVE();
        sp[-1] = Unary(*this, T_TILDE, sp[-1], LINE());
        NEXT;
    L_OP_TRUTH:
        sp[-1] = Value::Int(sp[-1].Truthy());
        NEXT;
    L_OP_JUMP:
        ip += a;
        NEXT;
    L_OP_JUMP_FALSE:
    L_OP_JUMP_TRUE: {
        bool b = sp[-1].Truthy();
        (--sp)->Clear();
        if (b == (OpOf(w) == OP_JUMP_TRUE)) ip += a;
        NEXT;
    }
    L_OP_JUMP_NOT_EQ:
    L_OP_JUMP_NOT_NE:
    L_OP_JUMP_NOT_LT:
    L_OP_JUMP_NOT_LE:
    L_OP_JUMP_NOT_GT:
    L_OP_JUMP_NOT_GE: {
        const Value& x = sp[-2];
        const Value& y = sp[-1];
        bool b;
        if (x.IsInt() && y.IsInt()) {
            b = CompareInts(OpOf(w) - OP_JUMP_NOT_EQ, x.AsInt(), y.AsInt());
        } else {
            SAVE();
            b = Binary(*this, kCompareToks[OpOf(w) - OP_JUMP_NOT_EQ], x, y, LINE()).Truthy();
        }
        (--sp)->Clear();
        (--sp)->Clear();
        if (!b) ip += a;
        NEXT;
    }
    L_OP_LOOP:
        ip -= a;
        if (Interrupted()) throw ScriptInterrupt{};
        NEXT;
    L_OP_NEW_LIST:
        SAVE();
        *sp = NewList(*this, a, LINE());
        ++sp;
        NEXT;
    L_OP_LIST_ADD:
        SAVE();
        Push(*this, ListObject(sp[-2]), sp[-1], LINE());
        (--sp)->Clear();
        NEXT;
    L_OP_NEW_MAP:
        SAVE();
        *sp++ = NewMap(*this, LINE());
        NEXT;
    L_OP_MAP_ADD:
        SAVE();
        PutEntry(*this, MapObject(sp[-3]), sp[-2], sp[-1], LINE());
        (--sp)->Clear();
        (--sp)->Clear();
        NEXT;
    L_OP_INDEX: {
        Value& v = sp[-2];
        const Value& ix = sp[-1];
        if (v.Is(HF_LIST) && ix.IsInt()) {
            KxScListObject* pList = ListObject(v);
            int64_t i = ix.AsInt() < 0 ? ix.AsInt() + pList->ItemCount() : ix.AsInt();
            if (i >= 0 && i < pList->ItemCount()) {
                v = Value::Share(pList->GetItem(static_cast<int>(i)));
                (--sp)->Clear();
                NEXT;
            }
        }
        SAVE();
        v = Index(*this, v, ix, LINE());
        (--sp)->Clear();
        NEXT;
    }
    L_OP_INDEX_CHECK:
        SAVE();
        CheckSettable(*this, sp[-2], LINE());
        NEXT;
    L_OP_SET_INDEX:
        SAVE();
        SetIndex(*this, sp[-3], sp[-2], sp[-1], LINE());
        for (int i = 0; i < 3; ++i) (--sp)->Clear();
        NEXT;
    L_OP_GET_PROP:
        SAVE();
        sp[-1] = ReadProperty(*this, sp[-1], pc->names[a], LINE());
        NEXT;
    L_OP_PROP_CHECK:
        SAVE();
        ObjectOf(sp[-1], "set property", pc->names[a], LINE());
        NEXT;
    L_OP_SET_PROP:
        SAVE();
        SetProperty(*this, sp[-2], pc->names[a], sp[-1], LINE());
        (--sp)->Clear();
        (--sp)->Clear();
        NEXT;
    L_OP_CALL_BUILTIN: {
        int nArgs = static_cast<int>(*ip++);
        SAVE();
        Value r = CallBuiltin(*this, *pc->builtins[a], sp - nArgs, nArgs, LINE());
        for (int i = 0; i < nArgs; ++i) (--sp)->Clear();
        *sp++ = std::move(r);
        NEXT;
    }
    L_OP_NAMED_CHECK:
    L_OP_CALL_NAMED:
    L_OP_CALL_LOCAL: {
        int nArgs = static_cast<int>(*ip++);
        Function* pFn = nullptr;
        if (OpOf(w) == OP_CALL_LOCAL) {
            Value* pValue = sp - nArgs - 1;
            SAVE();
            if (!IsFunction(*pValue))
                Raise(ERR_NOT_A_METHOD, Quoted(pf->pFunction->vLocalNames[a]) + " is " + Describe(*pValue) + ", not a function",
                      LINE());
            pFn = &FunctionOf(*pValue);
            CheckArity(*this, pFn->sName, pFn->nParams, nArgs, LINE());
            // The arguments take the function's place: the result goes there.
            for (int i = 0; i < nArgs; ++i) pValue[i] = std::move(pValue[i + 1]);
            (--sp)->Clear();
        } else {
            CallSite& site = pc->sites[a];
            if (site.nGeneration != FunctionsGeneration()) {
                site.pFunction = FindFunction(site.sName);
                site.nGeneration = FunctionsGeneration();
            }
            pFn = site.pFunction;
            SAVE();
            if (OpOf(w) == OP_NAMED_CHECK) {
                if (pFn) CheckArity(*this, site.sName, pFn->nParams, nArgs, LINE());
                else if (!site.pSlot->HasValue())
                    Raise(ERR_UNKNOWN_FUNCTION, KxString("unknown function ") + Quoted(site.sName), LINE());
                NEXT;
            }
            if (!pFn) {
                // A global that holds a function, called as such.
                Value fn = Value::OfGlobal(site.pSlot);
                if (!IsFunction(fn))
                    Raise(ERR_NOT_A_METHOD, Quoted(site.sName) + " is " + Describe(fn) + ", not a function", LINE());
                pFn = &FunctionOf(fn);
                CheckArity(*this, pFn->sName, pFn->nParams, nArgs, LINE());
            }
        }
        SAVE();
        PushFrame(pFn, pFn->psPath, LINE(), pFn->chunk, nArgs, nullptr);
        LOAD();
        if (Interrupted()) throw ScriptInterrupt{};
        NEXT;
    }
    L_OP_METHOD: {
        uint32_t nBuiltin = *ip++;
        SAVE();
        Value self = std::move(sp[-1]);
        sp[-1] = LookUpMethod(*this, self, pc->names[a], nBuiltin == ~0u ? nullptr : pc->builtins[nBuiltin], LINE());
        *sp++ = std::move(self);
        NEXT;
    }
    L_OP_CALL_METHOD: {
        int nArgs = static_cast<int>(*ip++);
        uint32_t nBuiltin = *ip++;
        SAVE();
        Value* pMethod = sp - nArgs - 2;
        Value r = CallMethod(*this, *pMethod, pc->names[a], nBuiltin == ~0u ? nullptr : pc->builtins[nBuiltin],
                             pMethod + 1, nArgs, LINE());
        while (sp > pMethod) (--sp)->Clear();
        *sp++ = std::move(r);
        NEXT;
    }
    L_OP_RETURN:
    L_OP_RETURN_NIL: {
        Value r = OpOf(w) == OP_RETURN ? std::move(sp[-1]) : Value::Nil();
        Value* pResult = pf->pResult;
        this->sp = sp;
        PopFrame(base, sp);
        if (vFrames.size() == nEntry) {
            this->sp = pResult;
            return r;
        }
        *pResult = std::move(r);
        this->sp = pResult + 1;
        LOAD();
        NEXT;
    }
    L_OP_FOR_PREP: {
        SAVE();
        Value& v = sp[-1];
        if (v.Is(HF_MAP)) {
            // The keys the map has now; those deleted by the loop are passed over.
            KxScMapObject* pMap = MapObject(v);
            Value keys = NewList(*this, pMap->Count(), LINE());
            for (int i = pMap->Next(0); i >= 0; i = pMap->Next(i + 1))
                Push(*this, ListObject(keys), Value::Share(pMap->KeyAt(i)), LINE());
            *sp++ = std::move(keys);
        } else if (v.Is(HF_LIST)) {
            *sp++ = Value::Nil();
        } else {
            Raise(ERR_TYPE, KxString("cannot loop over ") + Named(v), LINE());
        }
        (sp++)->SetInt(0);
        NEXT;
    }
    L_OP_FOR_SPLIT: {
        SAVE();
        if (sp[-2].Is(HF_STRING) && sp[-1].Is(HF_STRING) && sp[-1].Text().Length() == 1) {
            (sp++)->SetInt(0);
            NEXT;
        }
        Value r = CallBuiltin(*this, *pc->builtins[a], sp - 2, 2, LINE());
        sp[-2] = std::move(r);
        sp[-1] = Value::Nil();
        (sp++)->SetInt(0);
        NEXT;
    }
    L_OP_FOR_NEXT: {
        Value& v = sp[-3];
        int64_t i = sp[-1].AsInt();
        if (sp[-2].IsNil()) {
            KxScListObject* pList = ListObject(v);
            if (i < pList->ItemCount()) {
                sp[-1].SetInt(i + 1);
                *sp++ = Value::Share(pList->GetItem(static_cast<int>(i)));
                NEXT;
            }
        } else if (sp[-2].Is(HF_STRING)) {
            SAVE();
            if (NextField(*this, v, sp[-2].Text()[0], sp[-1], sp, LINE())) {
                ++sp;
                NEXT;
            }
        } else {
            KxScListObject* pKeys = ListObject(sp[-2]);
            KxScMapObject* pMap = MapObject(v);
            bool bFound = false;
            while (!bFound && i < pKeys->ItemCount()) {
                Value k = Value::Share(pKeys->GetItem(static_cast<int>(i++)));
                SAVE();
                if (pMap->Get(KeyOf(*this, k, LINE()))) {
                    *sp++ = std::move(k);
                    bFound = true;
                }
            }
            sp[bFound ? -2 : -1].SetInt(i);
            if (bFound) NEXT;
        }
        for (int k = 0; k < 3; ++k) (--sp)->Clear();
        ip += a;
        NEXT;
    }
    L_OP_TRY:
        SAVE();
        vHandlers.push_back(Handler{vFrames.size() - 1, ip + a, sp});
        NEXT;
    L_OP_END_TRY:
        vHandlers.pop_back();
        NEXT;
    L_OP_THROW:  // it does not come back
        SAVE();
        ThrowError(*this, sp[-1], LINE());
    L_OP_APPEND_LOCAL:
    L_OP_APPEND_GLOBAL: {
        int nOperands = static_cast<int>(*ip++);
        Value* pOld = sp - nOperands - 1;
        bool bLocal = OpOf(w) == OP_APPEND_LOCAL;
        if (nOperands == 1 && pOld->IsInt() && pOld[1].IsInt()) {
            int64_t r;
            if (!__builtin_add_overflow(pOld->AsInt(), pOld[1].AsInt(), &r)) {
                (--sp)->Clear();
                (--sp)->Clear();
                if (bLocal) {
                    base[a] = Value::Int(r);
                } else {
                    SAVE();
                    StoreGlobal(pc->globals[a], Value::Int(r), LINE());
                }
                NEXT;
            }
        }
        SAVE();
        sp -= nOperands + 1;
        Append(*pc, base, a, bLocal, sp, nOperands, LINE());
        NEXT;
    }
    L_OP_CHECK:
        CHECK();
        NEXT;
    L_OP_ADD_VAR:
        ADD_VAR(kAnyKind);
    L_OP_ADD_VAR_LOCAL:
        ADD_VAR(kLocalOrInt);
    L_OP_JUMP_UNLESS:
        JUMP_UNLESS(kAnyKind);
    L_OP_JUMP_UNLESS_LOCAL:
        JUMP_UNLESS(kLocalOrInt);
    L_OP_LOOP_IF:
        LOOP_IF(kAnyKind);
    L_OP_LOOP_IF_LOCAL:
        LOOP_IF(kLocalOrInt);
    L_OP_STEP_LOOP_IF:
        STEP_LOOP_IF(kAnyKind);
    L_OP_STEP_LOOP_IF_LOCAL:
        STEP_LOOP_IF(kLocalOrInt);
#undef NEXT
#undef STEP_LOOP_IF
#undef LOOP_IF
#undef JUMP_UNLESS
#undef ADD_VAR
#undef STEP
#undef COMPARE
#undef CHECK
#undef LOCAL
#undef LOAD
#undef SAVE
#undef LINE
}

}  // namespace tarvo
