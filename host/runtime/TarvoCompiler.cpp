// Compiles the parsed tree of a function or a text's top level to its chunk. Each node emits
// its own code; the compiler keeps the tables of the chunk, the height of the stack at each
// point (for the chunk's nMaxStack), and the loops and `try`s the code is in.
#include "TarvoLib.h"

namespace tarvo {

class Compiler {
public:
    explicit Compiler(Chunk& chunk) : ch(chunk) {}

    // An instruction: its operation, its operand, the stack's change, and the line it is for.
    size_t Emit(Op op, int64_t nArg, int nChange, int nLine) {
        if (nArg < -(1 << 23) || nArg >= (1 << 23)) throw SyntaxError{nLine, "text too large to compile"};
        ch.code.push_back(static_cast<uint32_t>(op) | (static_cast<uint32_t>(nArg) << 8));
        ch.lines.push_back(nLine);
        Change(nChange);
        return ch.code.size() - 1;
    }
    // The second word of an instruction (of its line, or another's).
    void Word(uint32_t w) { Word(w, ch.lines.back()); }
    void Word(uint32_t w, int nLine) {
        ch.code.push_back(w);
        ch.lines.push_back(nLine);
    }
    // The instruction at nAt when it is the last one emitted, a counter's step (OP_ADD_VAR or
    // its variant for locals): taken back, its operands and line given. A jump to nAt still
    // finds what replaces it.
    bool TakeStep(size_t nAt, uint32_t* puStep, int* pnLine) {
        if (nAt == SIZE_MAX || ch.code.size() != nAt + 2 ||
            (OpOf(ch.code[nAt]) != OP_ADD_VAR && OpOf(ch.code[nAt]) != OP_ADD_VAR_LOCAL))
            return false;
        *puStep = static_cast<uint32_t>(ArgOf(ch.code[nAt])) | ch.code[nAt + 1] << 16;
        *pnLine = ch.lines[nAt];
        ch.code.resize(nAt);
        ch.lines.resize(nAt);
        return true;
    }
    void Change(int n) {
        nHeight += n;
        if (nHeight > ch.nMaxStack) ch.nMaxStack = nHeight;
    }
    // A jump forward, its place filled in by Land.
    size_t Jump(Op op, int nChange, int nLine) { return Emit(op, 0, nChange, nLine); }
    void Land(size_t nJump) {
        int64_t nOffset = static_cast<int64_t>(ch.code.size()) - static_cast<int64_t>(nJump) - 1;
        if (nOffset >= (1 << 23)) throw SyntaxError{ch.lines[nJump], "text too large to compile"};
        ch.code[nJump] = (ch.code[nJump] & 0xFF) | (static_cast<uint32_t>(nOffset) << 8);
    }
    // A jump back to nTarget (a loop's round).
    void Back(size_t nTarget, int nLine) {
        Emit(OP_LOOP, static_cast<int64_t>(ch.code.size()) + 1 - static_cast<int64_t>(nTarget), 0, nLine);
    }
    size_t Here() const { return ch.code.size(); }
    // The statement just emitted ended with its own end check (OP_ADD_VAR): no OP_CHECK.
    void EndChecked() { nCheckedAt = ch.code.size(); }
    void EndCheck(int nLine) {
        if (nCheckedAt != ch.code.size()) Emit(OP_CHECK, 0, 0, nLine);
    }

    int Constant(Value v) {
        ch.constants.push_back(std::move(v));
        return static_cast<int>(ch.constants.size() - 1);
    }
    // A global's place in the chunk's table, and a property's or method's name's: each is
    // there once, found by its name.
    int Global(KxScGlobalSlot* pSlot) { return Index(hGlobals, pSlot->sName, ch.globals, pSlot); }
    int Name(const KxString& sName) { return Index(hNames, sName, ch.names, sName); }
    int Site(const KxString& sName, KxScGlobalSlot* pSlot) {
        ch.sites.push_back(CallSite{sName, pSlot, nullptr, 0});
        return static_cast<int>(ch.sites.size() - 1);
    }
    int BuiltinIndex(const Builtin* p) {
        for (size_t i = 0; i < ch.builtins.size(); ++i)
            if (ch.builtins[i] == p) return static_cast<int>(i);
        ch.builtins.push_back(p);
        return static_cast<int>(ch.builtins.size() - 1);
    }

    void Load(const VarRef& var, int nLine) {
        if (var.nLocal >= 0) Emit(OP_LOAD_LOCAL, var.nLocal, 1, nLine);
        else Emit(OP_LOAD_GLOBAL, Global(var.pSlot), 1, nLine);
    }
    void Store(const VarRef& var, int nLine) {
        if (var.nLocal >= 0) Emit(OP_STORE_LOCAL, var.nLocal, -1, nLine);
        else Emit(OP_STORE_GLOBAL, Global(var.pSlot), -1, nLine);
    }

    // A loop being compiled: where `continue` goes (back to nContinue, or forward by the
    // jumps in vContinues), the `break`s to land after it, the `try`s open around it, and the
    // values it keeps on the stack (a for-in's three) that a break drops.
    struct Loop {
        size_t nContinue;
        bool bContinueBack;
        std::vector<size_t> vContinues, vBreaks;
        int nTries;
    };
    std::vector<Loop> vLoops;
    int nTries = 0;
    int nHeight = 0;
    size_t nCheckedAt = SIZE_MAX;
    // Where the last statement of the block emitted last begins (a while loop's step).
    size_t nLastStatementAt = SIZE_MAX;

private:
    template <class T>
    static int Index(KxHashTable& h, const KxString& sKey, std::vector<T>& v, const T& t) {
        void* pv = nullptr;
        if (h.Lookup(sKey, &pv)) return static_cast<int>(reinterpret_cast<intptr_t>(pv));
        v.push_back(t);
        h.Insert(sKey, reinterpret_cast<void*>(static_cast<intptr_t>(v.size() - 1)));
        return static_cast<int>(v.size() - 1);
    }
    Chunk& ch;
    KxHashTable hGlobals, hNames;
};

namespace {
Op BinaryOp(Tok t) { return static_cast<Op>(OP_ADD + (t - T_PLUS)); }

// The operators' instructions follow the order of their tokens.
static_assert(OP_SUB - OP_ADD == T_MINUS - T_PLUS && OP_MUL - OP_ADD == T_STAR - T_PLUS &&
                  OP_DIV - OP_ADD == T_SLASH - T_PLUS && OP_MOD - OP_ADD == T_PERCENT - T_PLUS,
              "arithmetic operators in token order");

Op OperatorOp(Tok t) {
    switch (t) {
    case T_PLUS: case T_MINUS: case T_STAR: case T_SLASH: case T_PERCENT: return BinaryOp(t);
    case T_AMP: return OP_BAND;
    case T_BAR: return OP_BOR;
    case T_CARET: return OP_BXOR;
    case T_EQ: return OP_EQ;
    case T_NE: return OP_NE;
    case T_LT: return OP_LT;
    case T_LE: return OP_LE;
    case T_GT: return OP_GT;
    default: return OP_GE;
    }
}

void EmitArgs(Compiler& c, ExprList& args) {
    for (auto& arg : args) arg->Emit(c);
}

// A fused instruction whose operands (16 bits each, two to a word) are all locals and small
// integers takes its variant for them, the instruction after it.
Op ForLocals(Op op, std::initializer_list<uint32_t> operandWords) {
    for (uint32_t w : operandWords) {
        for (uint32_t u : {w & 0xFFFF, w >> 16}) {
            if (Operand::KindOf(u) != Operand::LOCAL && Operand::KindOf(u) != Operand::INT) return op;
        }
    }
    return static_cast<Op>(op + 1);
}

// A variable of the code.
bool VarOperand(Compiler& c, const VarRef& var, uint32_t* pu) {
    int n = var.nLocal >= 0 ? var.nLocal : c.Global(var.pSlot);
    if (n > Operand::kMaxIndex) return false;
    *pu = Operand::Make(var.nLocal >= 0 ? Operand::LOCAL : Operand::GLOBAL, n);
    return true;
}

// A variable or an integer on the line nLine, as the operand of a fused instruction.
bool SmallOperand(Compiler& c, const Expr& e, int nLine, uint32_t* pu) {
    if (e.nLine != nLine) return false;
    if (auto* pName = dynamic_cast<const NameExpr*>(&e)) return VarOperand(c, pName->var, pu);
    // An integer, or minus one (`i += -1`).
    auto* pMinus = dynamic_cast<const UnaryExpr*>(&e);
    auto* pInt = dynamic_cast<const IntExpr*>(pMinus && pMinus->op == T_MINUS ? pMinus->e.get() : &e);
    if (!pInt || (pMinus && pInt->n == INT64_MIN)) return false;
    int64_t n = pMinus ? -pInt->n : pInt->n;
    if (n >= Operand::kMinInt && n <= Operand::kMaxInt) {
        *pu = Operand::Make(Operand::INT, n);
    } else {
        int nConstant = c.Constant(Value::Int(n));
        if (nConstant > Operand::kMaxIndex) return false;
        *pu = Operand::Make(Operand::CONSTANT, nConstant);
    }
    return true;
}

// A condition that is one comparison (`a < b`): its chain, and the comparison's operation.
ChainExpr* OneComparison(Expr& cond, Op* pOp) {
    auto* pChain = dynamic_cast<ChainExpr*>(&cond);
    if (!pChain || pChain->steps.size() != 1) return nullptr;
    Tok t = pChain->steps[0].op;
    *pOp = OperatorOp(t);
    return *pOp >= OP_EQ && *pOp <= OP_GE && t != T_ANDAND && t != T_OROR ? pChain : nullptr;
}

// A loop's or an `if`'s test as one instruction: one comparison of variables and integers,
// all on one line. Its two words (OP_JUMP_UNLESS's and OP_LOOP_IF's) and its line.
struct FusedTest {
    bool bFused = false;
    uint32_t uOperands = 0, uCompare = 0;
    int nLine = 0;
    void Emit(Compiler& c, Op op, int64_t nArg) const {
        c.Emit(ForLocals(op, {uOperands}), nArg, 0, nLine);
        c.Word(uOperands);
        c.Word(uCompare);
    }
};

FusedTest Fuse(Compiler& c, Expr& cond) {
    FusedTest t;
    Op op;
    ChainExpr* pChain = OneComparison(cond, &op);
    uint32_t uLeft, uRight;
    if (!pChain || !SmallOperand(c, *pChain->first, pChain->steps[0].nLine, &uLeft) ||
        !SmallOperand(c, *pChain->steps[0].operand, pChain->steps[0].nLine, &uRight))
        return t;
    t.bFused = true;
    t.uOperands = uLeft | uRight << 16;
    t.uCompare = static_cast<uint32_t>(op - OP_EQ);
    t.nLine = pChain->steps[0].nLine;
    return t;
}

// A condition and the jump taken when it is false (to be landed): one comparison tests and
// jumps in one instruction, of its operands too when they are variables and integers (test).
size_t EmitJumpUnless(Compiler& c, Expr& cond, int nLine, const FusedTest& test) {
    size_t nJump = c.Here();
    if (test.bFused) {
        test.Emit(c, OP_JUMP_UNLESS, 0);
        return nJump;
    }
    Op op;
    if (ChainExpr* pChain = OneComparison(cond, &op)) {
        pChain->first->Emit(c);
        pChain->steps[0].operand->Emit(c);
        return c.Jump(static_cast<Op>(OP_JUMP_NOT_EQ + (op - OP_EQ)), -2, pChain->steps[0].nLine);
    }
    cond.Emit(c);
    return c.Jump(OP_JUMP_FALSE, -1, nLine);
}
}  // namespace

// ---- expressions

void IntExpr::Emit(Compiler& c) {
    if (n >= -(1 << 23) && n < (1 << 23)) c.Emit(OP_INT, n, 1, nLine);
    else c.Emit(OP_CONST, c.Constant(Value::Int(n)), 1, nLine);
}

void FloatExpr::Emit(Compiler& c) { c.Emit(OP_CONST, c.Constant(Value::Float(d)), 1, nLine); }

void NilExpr::Emit(Compiler& c) { c.Emit(OP_NIL, 0, 1, nLine); }

void ConstExpr::Emit(Compiler& c) {
    c.Emit(OP_CONST, c.Constant(NewString(KxString(sText))), 1, nLine);
}

void NameExpr::Emit(Compiler& c) { c.Load(var, nLine); }

void UnaryExpr::Emit(Compiler& c) {
    e->Emit(c);
    c.Emit(op == T_MINUS ? OP_NEG : op == T_BANG ? OP_NOT : OP_BNOT, 0, 0, nLine);
}

// `&&` and `||` give 1 or 0, and evaluate their right side only when the left does not
// decide.
void ChainExpr::Emit(Compiler& c) {
    first->Emit(c);
    for (Step& step : steps) {
        if (step.op == T_ANDAND || step.op == T_OROR) {
            size_t nDecided = c.Jump(step.op == T_ANDAND ? OP_JUMP_FALSE : OP_JUMP_TRUE, -1, step.nLine);
            step.operand->Emit(c);
            c.Emit(OP_TRUTH, 0, 0, step.nLine);
            size_t nEnd = c.Jump(OP_JUMP, 0, step.nLine);
            c.Land(nDecided);
            c.Change(-1);
            c.Emit(OP_INT, step.op == T_OROR, 1, step.nLine);
            c.Land(nEnd);
        } else if (auto* pInt = dynamic_cast<IntExpr*>(step.operand.get());
                   pInt && (step.op == T_PLUS || step.op == T_MINUS) && pInt->n >= -(1 << 23) && pInt->n < (1 << 23)) {
            // `x + 1`, `n - 2`: the integer rides in the instruction.
            c.Emit(step.op == T_PLUS ? OP_ADD_INT : OP_SUB_INT, pInt->n, 0, step.nLine);
        } else {
            step.operand->Emit(c);
            c.Emit(OperatorOp(step.op), 0, -1, step.nLine);
        }
    }
}

void CondExpr::Emit(Compiler& c) {
    cond->Emit(c);
    size_t nNo = c.Jump(OP_JUMP_FALSE, -1, nLine);
    yes->Emit(c);
    size_t nEnd = c.Jump(OP_JUMP, 0, nLine);
    c.Land(nNo);
    c.Change(-1);
    no->Emit(c);
    c.Land(nEnd);
}

void ListExpr::Emit(Compiler& c) {
    c.Emit(OP_NEW_LIST, items.size() < (1u << 23) ? static_cast<int64_t>(items.size()) : 0, 1, nLine);
    for (auto& item : items) {
        item->Emit(c);
        c.Emit(OP_LIST_ADD, 0, -1, item->nLine);
    }
}

void MapExpr::Emit(Compiler& c) {
    c.Emit(OP_NEW_MAP, 0, 1, nLine);
    for (size_t i = 0; i < parts.size(); i += 2) {
        parts[i]->Emit(c);
        parts[i + 1]->Emit(c);
        c.Emit(OP_MAP_ADD, 0, -2, parts[i]->nLine);
    }
}

// A built-in function; a local that holds a function; else the script function of the name
// (checked, with its count of arguments, before they are evaluated), or a function value in
// the global of that name.
void CallExpr::Emit(Compiler& c) {
    int nArgs = static_cast<int>(args.size());
    if (pBuiltin) {
        EmitArgs(c, args);
        c.Emit(OP_CALL_BUILTIN, c.BuiltinIndex(pBuiltin), 1 - nArgs, nLine);
        c.Word(nArgs);
    } else if (var.nLocal >= 0) {
        c.Load(var, nLine);
        EmitArgs(c, args);
        c.Emit(OP_CALL_LOCAL, 0, -nArgs, nLine);
        c.Word(nArgs);
    } else {
        int nSite = c.Site(sName, var.pSlot);
        c.Emit(OP_NAMED_CHECK, nSite, 0, nLine);
        c.Word(nArgs);
        EmitArgs(c, args);
        c.Emit(OP_CALL_NAMED, nSite, 1 - nArgs, nLine);
        c.Word(nArgs);
    }
}

void PostfixExpr::Emit(Compiler& c) {
    base->Emit(c);
    for (Step& step : steps) {
        if (step.index) {
            step.index->Emit(c);
            c.Emit(OP_INDEX, 0, -1, step.nLine);
        } else if (!step.bCall) {
            c.Emit(OP_GET_PROP, c.Name(step.sName), 0, step.nLine);
        } else {
            int nName = c.Name(step.sName);
            int nArgs = static_cast<int>(step.args.size());
            uint32_t nBuiltin = step.pBuiltin ? c.BuiltinIndex(step.pBuiltin) : ~0u;
            c.Emit(OP_METHOD, nName, 1, step.nLine);
            c.Word(nBuiltin);
            EmitArgs(c, step.args);
            c.Emit(OP_CALL_METHOD, nName, -1 - nArgs, step.nLine);
            c.Word(nArgs);
            c.Word(nBuiltin);
        }
    }
}

// ---- statements

// Each statement's end checks memory and the collector's pace.
void Block::Emit(Compiler& c) {
    size_t nLast = SIZE_MAX;
    for (auto& stmt : vStmts) {
        nLast = c.Here();
        stmt->Emit(c);
        c.EndCheck(stmt->nLine);
    }
    c.nLastStatementAt = nLast;
}

void ExprStmt::Emit(Compiler& c) {
    e->Emit(c);
    c.Emit(OP_POP, 0, -1, nLine);
}

void AssignStmt::Emit(Compiler& c) {
    uint32_t uVar, uOperand;
    const Expr* pOperand = !pJoined ? value.get() : pJoined->steps.size() == 1 ? pJoined->steps[0].operand.get() : nullptr;
    if (bAppends && pOperand && VarOperand(c, var, &uVar) && SmallOperand(c, *pOperand, nLine, &uOperand)) {
        // A counter's step (`i += 1`, `s = s + i`): one instruction, its old value and
        // operand stacked only where they are not two integers.
        c.Change(2);
        c.Change(-2);
        c.Emit(ForLocals(OP_ADD_VAR, {uVar | uOperand << 16}), uVar, 0, nLine);
        c.Word(uOperand);
        c.EndChecked();
        return;
    }
    if (bAppends) {
        // The old value, then the operands; the instruction joins them onto the variable.
        c.Load(var, nLine);
        int nOperands = 1;
        if (pJoined) {
            for (auto& step : pJoined->steps) step.operand->Emit(c);
            nOperands = static_cast<int>(pJoined->steps.size());
        } else {
            value->Emit(c);
        }
        if (var.nLocal >= 0) c.Emit(OP_APPEND_LOCAL, var.nLocal, -1 - nOperands, nLine);
        else c.Emit(OP_APPEND_GLOBAL, c.Global(var.pSlot), -1 - nOperands, nLine);
        c.Word(nOperands);
        return;
    }
    if (op != T_ASSIGN) c.Load(var, nLine);
    value->Emit(c);
    if (op != T_ASSIGN) c.Emit(OperatorOp(op), 0, -1, nLine);
    c.Store(var, nLine);
}

void IndexAssignStmt::Emit(Compiler& c) {
    obj->Emit(c);
    index->Emit(c);
    c.Emit(OP_INDEX_CHECK, 0, 0, nLine);
    if (op != T_ASSIGN) {
        c.Emit(OP_DUP2, 0, 2, nLine);
        c.Emit(OP_INDEX, 0, -1, nLine);
    }
    value->Emit(c);
    if (op != T_ASSIGN) c.Emit(OperatorOp(op), 0, -1, nLine);
    c.Emit(OP_SET_INDEX, 0, -3, nLine);
}

void GlobalStmt::Emit(Compiler& c) {
    value->Emit(c);
    c.Emit(OP_STORE_GLOBAL, c.Global(pSlot), -1, nLine);
}

void PropAssignStmt::Emit(Compiler& c) {
    int nName = c.Name(sName);
    obj->Emit(c);
    c.Emit(OP_PROP_CHECK, nName, 0, nLine);
    if (op != T_ASSIGN) {
        c.Emit(OP_DUP, 0, 1, nLine);
        c.Emit(OP_GET_PROP, nName, 0, nLine);
    }
    value->Emit(c);
    if (op != T_ASSIGN) c.Emit(OperatorOp(op), 0, -1, nLine);
    c.Emit(OP_SET_PROP, nName, -2, nLine);
}

void IfStmt::Emit(Compiler& c) {
    std::vector<size_t> vEnds;
    for (Arm& arm : arms) {
        size_t nNext = EmitJumpUnless(c, *arm.cond, arm.cond->nLine, Fuse(c, *arm.cond));
        arm.body.Emit(c);
        vEnds.push_back(c.Jump(OP_JUMP, 0, nLine));
        c.Land(nNext);
    }
    if (bElse) otherwise.Emit(c);
    for (size_t n : vEnds) c.Land(n);
}

namespace {
// The body of a loop, then its breaks landed after what follows it (fEnd: the loop's own end).
template <class F>
void EmitLoop(Compiler& c, Block& body, size_t nContinue, bool bContinueBack, F fEnd) {
    c.vLoops.push_back(Compiler::Loop{nContinue, bContinueBack, {}, {}, c.nTries});
    body.Emit(c);
    Compiler::Loop loop = std::move(c.vLoops.back());
    c.vLoops.pop_back();
    for (size_t n : loop.vContinues) c.Land(n);
    fEnd(loop);
}

// The jump back of a loop whose test (if any) begins at nTest and its body at nBody. A fused
// test is made again here, and jumps to the body: a round then takes one instruction for both.
// When the code at nStep, the last emitted, is a counter's step (`i += 1`), the step and the
// test are one instruction.
void EmitBack(Compiler& c, const FusedTest& test, size_t nTest, size_t nBody, size_t nStep, int nLine) {
    uint32_t uStep;
    int nStepLine;
    if (test.bFused && c.TakeStep(nStep, &uStep, &nStepLine)) {
        c.Emit(ForLocals(OP_STEP_LOOP_IF, {uStep, test.uOperands}), static_cast<int64_t>(c.Here()) + 2 - static_cast<int64_t>(nBody), 0,
               test.nLine);
        c.Word(uStep, nStepLine);
        c.Word(test.uOperands, test.nLine);
        c.Word(test.uCompare, test.nLine);
    } else if (test.bFused) {
        test.Emit(c, OP_LOOP_IF, static_cast<int64_t>(c.Here()) + 1 - static_cast<int64_t>(nBody));
    } else {
        c.Back(nTest, nLine);
    }
}
}  // namespace

void WhileStmt::Emit(Compiler& c) {
    size_t nCond = c.Here();
    FusedTest test = Fuse(c, *cond);
    size_t nExit = EmitJumpUnless(c, *cond, nLine, test);
    size_t nBody = c.Here();
    EmitLoop(c, body, nCond, true, [&](Compiler::Loop& loop) {
        // A `continue` goes back to the test, and no jump lands after the body's last
        // statement: that statement, when it is a step, may join the test.
        EmitBack(c, test, nCond, nBody, c.nLastStatementAt, nLine);
        c.Land(nExit);
        for (size_t n : loop.vBreaks) c.Land(n);
    });
}

void CForStmt::Emit(Compiler& c) {
    if (init) {
        init->Emit(c);
        c.EndCheck(init->nLine);
    }
    size_t nCond = c.Here();
    size_t nExit = SIZE_MAX;
    FusedTest test = cond ? Fuse(c, *cond) : FusedTest();
    if (cond) nExit = EmitJumpUnless(c, *cond, nLine, test);
    size_t nBody = c.Here();
    EmitLoop(c, body, 0, false, [&](Compiler::Loop& loop) {
        size_t nStep = c.Here();
        if (step) {
            step->Emit(c);
            c.EndCheck(step->nLine);
        }
        EmitBack(c, test, nCond, nBody, step ? nStep : SIZE_MAX, nLine);
        if (nExit != SIZE_MAX) c.Land(nExit);
        for (size_t n : loop.vBreaks) c.Land(n);
    });
}

// The list or map, the keys taken when the loop began (a map's), and the place reached stay
// on the stack while the loop runs.
void ForStmt::Emit(Compiler& c) {
    auto* pCall = dynamic_cast<CallExpr*>(list.get());
    if (pCall && pCall->pBuiltin && pCall->pBuiltin->pszName == kSplit && pCall->args.size() == 2) {
        EmitArgs(c, pCall->args);
        c.Emit(OP_FOR_SPLIT, c.BuiltinIndex(pCall->pBuiltin), 1, pCall->nLine);
    } else {
        list->Emit(c);
        c.Emit(OP_FOR_PREP, 0, 2, nLine);
    }
    size_t nNext = c.Here();
    size_t nExit = c.Jump(OP_FOR_NEXT, 1, nLine);
    c.Store(var, nLine);
    EmitLoop(c, body, nNext, true, [&](Compiler::Loop& loop) {
        c.Back(nNext, nLine);
        if (!loop.vBreaks.empty()) {
            for (size_t n : loop.vBreaks) c.Land(n);
            c.Emit(OP_POPN, 3, -3, nLine);
            c.Change(3);  // the exit below comes with the loop's values already dropped
        }
        c.Land(nExit);
        c.Change(-3);
    });
}

// A break or continue leaves the `try`s opened inside its loop.
void JumpStmt::Emit(Compiler& c) {
    Compiler::Loop& loop = c.vLoops.back();
    for (int i = loop.nTries; i < c.nTries; ++i) c.Emit(OP_END_TRY, 0, 0, nLine);
    if (bBreak) loop.vBreaks.push_back(c.Jump(OP_JUMP, 0, nLine));
    else if (loop.bContinueBack) c.Back(loop.nContinue, nLine);
    else loop.vContinues.push_back(c.Jump(OP_JUMP, 0, nLine));
}

void ReturnStmt::Emit(Compiler& c) {
    if (!value) {
        c.Emit(OP_RETURN_NIL, 0, 0, nLine);
        return;
    }
    value->Emit(c);
    c.Emit(OP_RETURN, 0, -1, nLine);
}

void TryStmt::Emit(Compiler& c) {
    size_t nTry = c.Jump(OP_TRY, 0, nLine);
    ++c.nTries;
    body.Emit(c);
    --c.nTries;
    c.Emit(OP_END_TRY, 0, 0, nLine);
    size_t nEnd = c.Jump(OP_JUMP, 0, nLine);
    c.Land(nTry);
    c.Change(1);  // the handler starts with the error on the stack
    c.Store(var, nLine);
    handler.Emit(c);
    c.Land(nEnd);
}

void ThrowStmt::Emit(Compiler& c) {
    value->Emit(c);
    c.Emit(OP_THROW, 0, -1, nLine);
}

// ---- chunks

void CompileFunction(Function& fn, Block& body) {
    Compiler c(fn.chunk);
    body.Emit(c);
    c.Emit(OP_RETURN_NIL, 0, 0, fn.nLine);
}

void CompileTopLevel(Program& program, Block& top) {
    Compiler c(program.top);
    top.Emit(c);
    c.Emit(OP_RETURN_NIL, 0, 0, 0);
}

}  // namespace tarvo
