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
inline bool CompareInts(int nKind, int64_t m, int64_t n) {
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
    vFrames.push_back(Frame{psFramePath, nCallLine, pFunction, &chunk, chunk.code.data(), base, pTop, pResult,
                            nSegment, vHandlers.size()});
    sp = base + nLocals;
    psPath = psFramePath;
}

void Interp::PopFrame(Value* pFrom) {
    Frame& f = vFrames.back();
    for (Value* p = pFrom; p < f.pTop; ++p) p->Clear();
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
    while (vFrames.size() - 1 > h.nFrame) PopFrame(vFrames.back().base);
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
    while (vFrames.size() > nEntry) PopFrame(vFrames.back().base);
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

// The loop. Its state (the frame, its chunk, the next instruction, the stack's top) is kept in
// locals and written back to the machine before anything that may run a script or look at
// the frames (a call of any kind, an error).
Value Interp::Loop(size_t nEntry) {
    Frame* pf = &vFrames.back();
    Chunk* pc = pf->pChunk;
    const uint32_t* ip = pf->ip;
    Value* base = pf->base;
    Value* sp = this->sp;
    auto line = [&] { return pc->lines[ip - 1 - pc->code.data()]; };
    auto save = [&] {
        pf->ip = ip;
        this->sp = sp;
    };
    auto load = [&] {
        pf = &vFrames.back();
        pc = pf->pChunk;
        ip = pf->ip;
        base = pf->base;
        sp = this->sp;
    };
    // A local, which must have been assigned (error 101).
    auto local = [&](int n) -> const Value& {
        if (base[n].GetKind() == Value::UNSET) UnknownVariable(*this, pf->pFunction->vLocalNames[n], line());
        return base[n];
    };
    // A global, or the function of its name (error 101 when there is neither).
    auto global = [&](int n) -> Value {
        KxScGlobalSlot* pSlot = pc->globals[n];
        if (pSlot->phValue) return Value::Share(pSlot->phValue);
        if (Function* pFn = FindFunction(pSlot->sName)) return FunctionValue(*pFn);
        UnknownVariable(*this, pSlot->sName, line());
    };
    // An operand of a fused instruction as an integer, when it is one.
    auto intOf = [&](uint32_t u, int64_t* pn) __attribute__((always_inline)) {
        Operand::Kind k = Operand::KindOf(u);
        if (__builtin_expect(k == Operand::LOCAL, 1)) {
            const Value& v = base[Operand::IndexOf(u)];
            *pn = v.AsInt();
            return v.IsInt();
        }
        if (k == Operand::INT) {
            *pn = Operand::IntOf(u);
            return true;
        }
        if (k == Operand::CONSTANT) {
            const Value& v = pc->constants[Operand::IndexOf(u)];
            *pn = v.AsInt();
            return v.IsInt();
        }
        // A global's handle holds an integer of 32 bits itself, a wider one in its object.
        const KxScDataHandle* ph = pc->globals[Operand::IndexOf(u)]->phValue;
        if (!ph) return false;
        if (ph->wFlags == HF_INTEGER) {
            *pn = static_cast<int32_t>(ph->dwValue);
            return true;
        }
        const KxScNumberObject* pNumber = static_cast<const KxScNumberObject*>(ph->Object());
        if (!(ph->wFlags & HF_NUMBER) || pNumber->bFloat) return false;
        *pn = pNumber->nValue;
        return true;
    };
    // An operand as its own instruction would have pushed it.
    auto valueOf = [&](uint32_t u) -> Value {
        switch (Operand::KindOf(u)) {
        case Operand::LOCAL: return local(Operand::IndexOf(u));
        case Operand::GLOBAL: return global(Operand::IndexOf(u));
        case Operand::CONSTANT: return pc->constants[Operand::IndexOf(u)];
        default: return Value::Int(Operand::IntOf(u));
        }
    };
    static const Tok kCompareToks[] = {T_EQ, T_NE, T_LT, T_LE, T_GT, T_GE};
    // `left OP right`, the operands in the low and high halves of u.
    auto compare = [&](uint32_t u, uint32_t nCompare) {
        int64_t x, y;
        if (intOf(u & 0xFFFF, &x) && intOf(u >> 16, &y)) return CompareInts(nCompare, x, y);
        Value vx = valueOf(u & 0xFFFF);
        Value vy = valueOf(u >> 16);
        save();
        return Binary(*this, kCompareToks[nCompare], vx, vy, line()).Truthy();
    };
    auto append = [&](int a, bool bLocal, int nOperands) {
        save();
        sp -= nOperands + 1;
        Append(*pc, base, a, bLocal, sp, nOperands, line());
    };
    // A statement's end: memory that ran short raises, and a collection comes when it is due.
    auto check = [&] {
        if (gnRtHandlesMade != nMadeSeen) {
            nMadeSeen = gnRtHandlesMade;
            save();
            RaiseMemoryShort(line());
            if (RtCollectDue()) KxScDataHandle::GarbageCollect();
        }
    };
    for (;;) {
        uint32_t w = *ip++;
        pf->ip = ip;
        int32_t a = ArgOf(w);
        switch (OpOf(w)) {
        case OP_NIL:
            *sp++ = Value::Nil();
            break;
        case OP_INT:
            (sp++)->SetInt(a);
            break;
        case OP_CONST:
            *sp++ = pc->constants[a];
            break;
        case OP_LOAD_LOCAL:
            *sp++ = local(a);
            break;
        case OP_STORE_LOCAL:
            base[a] = std::move(*--sp);
            break;
        case OP_LOAD_GLOBAL:
            *sp++ = global(a);
            break;
        case OP_STORE_GLOBAL:
            save();
            StoreGlobal(pc->globals[a], std::move(sp[-1]), line());
            (--sp)->Clear();
            break;
        case OP_POP:
            (--sp)->Clear();
            break;
        case OP_POPN:
            while (a-- > 0) (--sp)->Clear();
            break;
        case OP_DUP:
            sp[0] = sp[-1];
            ++sp;
            break;
        case OP_DUP2:
            sp[0] = sp[-2];
            sp[1] = sp[-1];
            sp += 2;
            break;
        case OP_ADD:
        case OP_SUB:
        case OP_MUL: {
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
                    break;
                }
            }
            save();
            x = Binary(*this, static_cast<Tok>(T_PLUS + (OpOf(w) - OP_ADD)), x, y, line());
            (--sp)->Clear();
            break;
        }
        case OP_LT:
        case OP_LE:
        case OP_GT:
        case OP_GE:
        case OP_EQ:
        case OP_NE: {
            Value& x = sp[-2];
            const Value& y = sp[-1];
            if (x.IsInt() && y.IsInt()) {
                x.SetInt(CompareInts(OpOf(w) - OP_EQ, x.AsInt(), y.AsInt()));
                (--sp)->Clear();
                break;
            }
            save();
            x = Binary(*this, kCompareToks[OpOf(w) - OP_EQ], x, y, line());
            (--sp)->Clear();
            break;
        }
        case OP_DIV:
        case OP_MOD:
        case OP_BAND:
        case OP_BOR:
        case OP_BXOR: {
            static const Tok kToks[] = {T_SLASH, T_PERCENT, T_AMP, T_BAR, T_CARET};
            save();
            sp[-2] = Binary(*this, kToks[OpOf(w) - OP_DIV], sp[-2], sp[-1], line());
            (--sp)->Clear();
            break;
        }
        case OP_NEG:
            if (sp[-1].IsInt() && sp[-1].AsInt() != INT64_MIN) {
                sp[-1].SetInt(-sp[-1].AsInt());
                break;
            }
            save();
            sp[-1] = Unary(*this, T_MINUS, sp[-1], line());
            break;
        case OP_NOT:
            sp[-1] = Value::Int(!sp[-1].Truthy());
            break;
        case OP_BNOT:
            save();
            sp[-1] = Unary(*this, T_TILDE, sp[-1], line());
            break;
        case OP_TRUTH:
            sp[-1] = Value::Int(sp[-1].Truthy());
            break;
        case OP_JUMP:
            ip += a;
            break;
        case OP_JUMP_FALSE:
        case OP_JUMP_TRUE: {
            bool b = sp[-1].Truthy();
            (--sp)->Clear();
            if (b == (OpOf(w) == OP_JUMP_TRUE)) ip += a;
            break;
        }
        case OP_JUMP_NOT_EQ:
        case OP_JUMP_NOT_NE:
        case OP_JUMP_NOT_LT:
        case OP_JUMP_NOT_LE:
        case OP_JUMP_NOT_GT:
        case OP_JUMP_NOT_GE: {
            const Value& x = sp[-2];
            const Value& y = sp[-1];
            bool b;
            if (x.IsInt() && y.IsInt()) {
                b = CompareInts(OpOf(w) - OP_JUMP_NOT_EQ, x.AsInt(), y.AsInt());
            } else {
                save();
                b = Binary(*this, kCompareToks[OpOf(w) - OP_JUMP_NOT_EQ], x, y, line()).Truthy();
            }
            (--sp)->Clear();
            (--sp)->Clear();
            if (!b) ip += a;
            break;
        }
        case OP_LOOP:
            ip -= a;
            if (Interrupted()) throw ScriptInterrupt{};
            break;
        case OP_NEW_LIST:
            save();
            *sp = NewList(*this, a, line());
            ++sp;
            break;
        case OP_LIST_ADD:
            save();
            Push(*this, ListObject(sp[-2]), sp[-1], line());
            (--sp)->Clear();
            break;
        case OP_NEW_MAP:
            *sp++ = NewMap(*this, line());
            break;
        case OP_MAP_ADD:
            save();
            PutEntry(*this, MapObject(sp[-3]), sp[-2], sp[-1], line());
            (--sp)->Clear();
            (--sp)->Clear();
            break;
        case OP_INDEX: {
            Value& v = sp[-2];
            const Value& ix = sp[-1];
            if (v.Is(HF_LIST) && ix.IsInt()) {
                KxScListObject* pList = ListObject(v);
                int64_t i = ix.AsInt() < 0 ? ix.AsInt() + pList->ItemCount() : ix.AsInt();
                if (i >= 0 && i < pList->ItemCount()) {
                    v = Value::Share(pList->GetItem(static_cast<int>(i)));
                    (--sp)->Clear();
                    break;
                }
            }
            save();
            v = Index(*this, v, ix, line());
            (--sp)->Clear();
            break;
        }
        case OP_INDEX_CHECK:
            save();
            CheckSettable(*this, sp[-2], line());
            break;
        case OP_SET_INDEX:
            save();
            SetIndex(*this, sp[-3], sp[-2], sp[-1], line());
            for (int i = 0; i < 3; ++i) (--sp)->Clear();
            break;
        case OP_GET_PROP:
            save();
            sp[-1] = ReadProperty(*this, sp[-1], pc->names[a], line());
            break;
        case OP_PROP_CHECK:
            save();
            ObjectOf(sp[-1], "set property", pc->names[a], line());
            break;
        case OP_SET_PROP:
            save();
            SetProperty(*this, sp[-2], pc->names[a], sp[-1], line());
            (--sp)->Clear();
            (--sp)->Clear();
            break;
        case OP_CALL_BUILTIN: {
            int nArgs = static_cast<int>(*ip++);
            save();
            Value r = CallBuiltin(*this, *pc->builtins[a], sp - nArgs, nArgs, line());
            for (int i = 0; i < nArgs; ++i) (--sp)->Clear();
            *sp++ = std::move(r);
            break;
        }
        case OP_NAMED_CHECK:
        case OP_CALL_NAMED:
        case OP_CALL_LOCAL: {
            int nArgs = static_cast<int>(*ip++);
            Function* pFn = nullptr;
            if (OpOf(w) == OP_CALL_LOCAL) {
                Value* pValue = sp - nArgs - 1;
                save();
                if (!IsFunction(*pValue))
                    Raise(ERR_NOT_A_METHOD, Quoted(pf->pFunction->vLocalNames[a]) + " is " + Describe(*pValue) + ", not a function",
                          line());
                pFn = &FunctionOf(*pValue);
                CheckArity(*this, pFn->sName, pFn->nParams, nArgs, line());
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
                save();
                if (OpOf(w) == OP_NAMED_CHECK) {
                    if (pFn) CheckArity(*this, site.sName, pFn->nParams, nArgs, line());
                    else if (!site.pSlot->phValue)
                        Raise(ERR_UNKNOWN_FUNCTION, KxString("unknown function ") + Quoted(site.sName), line());
                    break;
                }
                if (!pFn) {
                    // A global that holds a function, called as such.
                    Value fn = Value::Share(site.pSlot->phValue);
                    if (!IsFunction(fn))
                        Raise(ERR_NOT_A_METHOD, Quoted(site.sName) + " is " + Describe(fn) + ", not a function", line());
                    pFn = &FunctionOf(fn);
                    CheckArity(*this, pFn->sName, pFn->nParams, nArgs, line());
                }
            }
            save();
            PushFrame(pFn, pFn->psPath, line(), pFn->chunk, nArgs, nullptr);
            load();
            if (Interrupted()) throw ScriptInterrupt{};
            break;
        }
        case OP_METHOD: {
            uint32_t nBuiltin = *ip++;
            save();
            Value self = std::move(sp[-1]);
            sp[-1] = LookUpMethod(*this, self, pc->names[a], nBuiltin == ~0u ? nullptr : pc->builtins[nBuiltin], line());
            *sp++ = std::move(self);
            break;
        }
        case OP_CALL_METHOD: {
            int nArgs = static_cast<int>(*ip++);
            uint32_t nBuiltin = *ip++;
            save();
            Value* pMethod = sp - nArgs - 2;
            Value r = CallMethod(*this, *pMethod, pc->names[a], nBuiltin == ~0u ? nullptr : pc->builtins[nBuiltin],
                                 pMethod + 1, nArgs, line());
            while (sp > pMethod) (--sp)->Clear();
            *sp++ = std::move(r);
            break;
        }
        case OP_RETURN:
        case OP_RETURN_NIL: {
            Value r = OpOf(w) == OP_RETURN ? std::move(sp[-1]) : Value::Nil();
            Value* pResult = pf->pResult;
            this->sp = sp;
            PopFrame(base);
            if (vFrames.size() == nEntry) {
                this->sp = pResult;
                return r;
            }
            *pResult = std::move(r);
            this->sp = pResult + 1;
            load();
            break;
        }
        case OP_FOR_PREP: {
            save();
            Value& v = sp[-1];
            if (v.Is(HF_MAP)) {
                // The keys the map has now; those deleted by the loop are passed over.
                KxScMapObject* pMap = MapObject(v);
                Value keys = NewList(*this, pMap->Count(), line());
                for (int i = pMap->Next(0); i >= 0; i = pMap->Next(i + 1))
                    Push(*this, ListObject(keys), Value::Share(pMap->KeyAt(i)), line());
                *sp++ = std::move(keys);
            } else if (v.Is(HF_LIST)) {
                *sp++ = Value::Nil();
            } else {
                Raise(ERR_TYPE, KxString("cannot loop over ") + Named(v), line());
            }
            (sp++)->SetInt(0);
            break;
        }
        case OP_FOR_SPLIT: {
            save();
            if (sp[-2].Is(HF_STRING) && sp[-1].Is(HF_STRING) && sp[-1].Text().Length() == 1) {
                (sp++)->SetInt(0);
                break;
            }
            Value r = CallBuiltin(*this, *pc->builtins[a], sp - 2, 2, line());
            sp[-2] = std::move(r);
            sp[-1] = Value::Nil();
            (sp++)->SetInt(0);
            break;
        }
        case OP_FOR_NEXT: {
            Value& v = sp[-3];
            int64_t i = sp[-1].AsInt();
            if (sp[-2].IsNil()) {
                KxScListObject* pList = ListObject(v);
                if (i < pList->ItemCount()) {
                    sp[-1].SetInt(i + 1);
                    *sp++ = Value::Share(pList->GetItem(static_cast<int>(i)));
                    break;
                }
            } else if (sp[-2].Is(HF_STRING)) {
                save();
                if (NextField(*this, v, sp[-2].Text()[0], sp[-1], sp, line())) {
                    ++sp;
                    break;
                }
            } else {
                KxScListObject* pKeys = ListObject(sp[-2]);
                KxScMapObject* pMap = MapObject(v);
                bool bFound = false;
                while (!bFound && i < pKeys->ItemCount()) {
                    Value k = Value::Share(pKeys->GetItem(static_cast<int>(i++)));
                    save();
                    if (pMap->Get(KeyOf(*this, k, line()))) {
                        *sp++ = std::move(k);
                        bFound = true;
                    }
                }
                sp[bFound ? -2 : -1].SetInt(i);
                if (bFound) break;
            }
            for (int k = 0; k < 3; ++k) (--sp)->Clear();
            ip += a;
            break;
        }
        case OP_TRY:
            vHandlers.push_back(Handler{vFrames.size() - 1, ip + a, sp});
            break;
        case OP_END_TRY:
            vHandlers.pop_back();
            break;
        case OP_THROW:  // it does not come back
            save();
            ThrowError(*this, sp[-1], line());
        case OP_APPEND_LOCAL:
        case OP_APPEND_GLOBAL: {
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
                        save();
                        StoreGlobal(pc->globals[a], Value::Int(r), line());
                    }
                    break;
                }
            }
            append(a, bLocal, nOperands);
            break;
        }
        case OP_CHECK:
            check();
            break;
        case OP_ADD_VAR: {
            uint32_t u = *ip++;
            int64_t x, y, r;
            if (intOf(a, &x) && intOf(u, &y) && !__builtin_add_overflow(x, y, &r)) {
                if (Operand::KindOf(a) == Operand::LOCAL) {
                    base[Operand::IndexOf(a)].SetInt(r);
                    break;
                }
                // Into the global's handle when nothing else holds it, as a store would (one the
                // host made fixed takes the store's way, which refuses it).
                KxScDataHandle* ph = pc->globals[Operand::IndexOf(a)]->phValue;
                if (!(ph->wFlags & HF_FIXED) && Value::Int(r).StoreInPlace(ph)) break;
            }
            *sp++ = valueOf(a);
            *sp++ = valueOf(u);
            append(Operand::IndexOf(a), Operand::KindOf(a) == Operand::LOCAL, 1);
            check();
            break;
        }
        case OP_JUMP_UNLESS:
            ip += 2;
            if (!compare(ip[-2], ip[-1])) ip += a - 2;
            break;
        case OP_LOOP_IF:
            if (Interrupted()) throw ScriptInterrupt{};
            ip += 2;
            if (compare(ip[-2], ip[-1])) ip -= a + 2;
            break;
        }
    }
}

}  // namespace tarvo
