#pragma once
// The node kinds of a parsed Tarvo text. The parser builds them; each compiles itself
// (TarvoCompiler.cpp), and the tree is dropped once its text is compiled.
#include "Tarvo.h"

namespace tarvo {

class Compiler;

struct Expr {
    explicit Expr(int nLine) : nLine(nLine) {}
    virtual ~Expr() = default;
    // Code that leaves the value on the stack.
    virtual void Emit(Compiler& c) = 0;
    int nLine;
};
typedef std::unique_ptr<Expr> ExprPtr;

struct Stmt {
    explicit Stmt(int nLine) : nLine(nLine) {}
    virtual ~Stmt() = default;
    // Code that leaves the stack as it found it.
    virtual void Emit(Compiler& c) = 0;
    int nLine;
};
typedef std::unique_ptr<Stmt> StmtPtr;

struct Block {
    std::vector<StmtPtr> vStmts;
    void Emit(Compiler& c);
};

enum Tok {
    T_END, T_NUMBER, T_STRING, T_NAME,
    // keywords
    T_GLOBAL, T_IF, T_ELSE, T_WHILE, T_FOR, T_IN, T_BREAK, T_CONTINUE, T_FUNCTION, T_RETURN,
    T_TRY, T_CATCH, T_THROW, T_NIL,
    // punctuation
    T_LPAREN, T_RPAREN, T_LBRACE, T_RBRACE, T_LBRACKET, T_RBRACKET, T_COMMA, T_SEMICOLON,
    T_DOT, T_ASSIGN, T_COLON, T_QUESTION,
    // compound assignment: each stands for its operator (CompoundOp)
    T_PLUS_ASSIGN, T_MINUS_ASSIGN, T_STAR_ASSIGN, T_SLASH_ASSIGN, T_PERCENT_ASSIGN,
    // operators
    T_OROR, T_ANDAND, T_BAR, T_CARET, T_AMP, T_EQ, T_NE, T_LT, T_LE, T_GT, T_GE, T_PLUS, T_MINUS,
    T_STAR, T_SLASH, T_PERCENT, T_BANG, T_TILDE,
};

typedef std::vector<ExprPtr> ExprList;
struct Builtin;

struct IntExpr : Expr {
    IntExpr(int nLine, int64_t n) : Expr(nLine), n(n) {}
    void Emit(Compiler& c) override;
    int64_t n;
};

struct FloatExpr : Expr {
    FloatExpr(int nLine, double d) : Expr(nLine), d(d) {}
    void Emit(Compiler& c) override;
    double d;
};

struct NilExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
};

// A string literal: its chunk keeps the string.
struct ConstExpr : Expr {
    ConstExpr(int nLine, KxString&& sText) : Expr(nLine), sText(static_cast<KxString&&>(sText)) {}
    void Emit(Compiler& c) override;
    KxString sText;
};

struct NameExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    VarRef var;
};

struct UnaryExpr : Expr {
    UnaryExpr(int nLine, Tok op, ExprPtr e) : Expr(nLine), op(op), e(std::move(e)) {}
    void Emit(Compiler& c) override;
    Tok op;
    ExprPtr e;
};

// Operands joined by binary operators, applied left to right: `a + b * c - d` is `a`, then
// `+ (b * c)`, then `- d`. A chain of any length is one node, evaluated in a loop, so long
// chains nest nothing. `&&` and `||` steps stop early.
struct ChainExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    struct Step {
        int nLine;
        Tok op;
        ExprPtr operand;
    };
    ExprPtr first;
    std::vector<Step> steps;
};

// `a ? b : c`
struct CondExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    ExprPtr cond, yes, no;
};

// `[a, b, ...]`
struct ListExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    ExprList items;
};

// `{k: v, ...}`: keys and values alternate.
struct MapExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    ExprList parts;
};

// A call by name: a built-in function, a script function, or a variable holding a function.
struct CallExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    KxString sName;
    const Builtin* pBuiltin = nullptr;
    VarRef var;  // the name as a variable, for a function value held by a local or global
    ExprList args;
};

// A value and the postfix steps applied to it in order: `.name`, `.name(args)`, `[index]`.
// Like a chain, any number of steps is one node.
struct PostfixExpr : Expr {
    using Expr::Expr;
    void Emit(Compiler& c) override;
    struct Step {
        int nLine;
        KxString sName;   // a property or method name; null for an index
        bool bCall;       // .name(args)
        ExprList args;
        const Builtin* pBuiltin;  // the built-in function of that name, for strings, lists, maps
        ExprPtr index;
    };
    ExprPtr base;
    std::vector<Step> steps;
};

struct ExprStmt : Stmt {
    ExprStmt(int nLine, ExprPtr e) : Stmt(nLine), e(std::move(e)) {}
    void Emit(Compiler& c) override;
    ExprPtr e;
};

// `op` is T_ASSIGN for a plain assignment, or a compound one (`+=`, ...), which reads the
// target once and writes it once.
struct AssignStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    VarRef var;
    Tok op = T_ASSIGN;
    ExprPtr value;
    // `x += v`, or `x = x + a + ...` (pJoined: the chain, for its operands): a string in x
    // that nothing else holds takes the texts in place.
    bool bAppends = false;
    ChainExpr* pJoined = nullptr;
};

// `x[k] = v` and its compound forms: an item of a list or an entry of a map.
struct IndexAssignStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    ExprPtr obj, index;
    Tok op = T_ASSIGN;
    ExprPtr value;
};

struct GlobalStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    KxScGlobalSlot* pSlot = nullptr;
    ExprPtr value;
};

struct PropAssignStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    ExprPtr obj;
    KxString sName;
    Tok op = T_ASSIGN;
    ExprPtr value;
};

struct BlockStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override { block.Emit(c); }
    Block block;
};

// `if` with its `else if` arms in one node, however many there are, and an optional `else`.
struct IfStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    struct Arm {
        ExprPtr cond;
        Block body;
    };
    std::vector<Arm> arms;
    bool bElse = false;
    Block otherwise;
};

struct WhileStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    ExprPtr cond;
    Block body;
};

// `for (x in list)`, and `for (k in map)` over the keys the map had when the loop began and
// still has.
struct ForStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    VarRef var;
    ExprPtr list;
    Block body;
};

// `for (init; cond; step)`: each part may be left out; `continue` goes on to the step.
struct CForStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    StmtPtr init, step;
    ExprPtr cond;
    Block body;
};

// `break` or `continue`.
struct JumpStmt : Stmt {
    JumpStmt(int nLine, bool bBreak) : Stmt(nLine), bBreak(bBreak) {}
    void Emit(Compiler& c) override;
    bool bBreak;
};

struct ReturnStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    ExprPtr value;  // null: return nil
};

struct TryStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    Block body;
    VarRef var;
    Block handler;
};

struct ThrowStmt : Stmt {
    using Stmt::Stmt;
    void Emit(Compiler& c) override;
    ExprPtr value;
};

// Compiles a function's body (its names resolved) into its chunk, and a text's top level.
// A text too large for a chunk's operands is a syntax error.
void CompileFunction(Function& fn, Block& body);
void CompileTopLevel(Program& program, Block& top);

}  // namespace tarvo
