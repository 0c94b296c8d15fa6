// Tarvo's lexer and parser. Expressions are parsed by precedence climbing over one table of
// binary operators; statements by recursive descent.
#include <cstring>

#include "TarvoLib.h"

namespace tarvo {
namespace {

struct Token {
    Tok type = T_END;
    int nLine = 1;
    const char* pStart = nullptr;
    unsigned nLength = 0;
    uint64_t qwNumber = 0;  // an integer literal's value (2^63 only after a minus)
    bool bFloat = false;
    double dNumber = 0;     // a float literal's
    KxString sText;  // a string literal's text, escapes resolved
};

const struct {
    const char* psz;
    Tok type;
} kKeywords[] = {
    {"global", T_GLOBAL}, {"if", T_IF}, {"else", T_ELSE}, {"while", T_WHILE}, {"for", T_FOR},
    {"in", T_IN}, {"break", T_BREAK}, {"continue", T_CONTINUE}, {"function", T_FUNCTION},
    {"return", T_RETURN}, {"try", T_TRY}, {"catch", T_CATCH}, {"throw", T_THROW}, {"nil", T_NIL},
};

// Binary operators, loosest first: the precedence of each.
int Precedence(Tok t) {
    switch (t) {
    case T_OROR: return 1;
    case T_ANDAND: return 2;
    case T_BAR: return 3;
    case T_CARET: return 4;
    case T_AMP: return 5;
    case T_EQ: case T_NE: return 6;
    case T_LT: case T_LE: case T_GT: case T_GE: return 7;
    case T_PLUS: case T_MINUS: return 8;
    case T_STAR: case T_SLASH: case T_PERCENT: return 9;
    default: return 0;
    }
}

const int kMaxNesting = 200;  // deeper texts are refused rather than overflowing the stack

class Lexer {
public:
    Lexer(const char* pText, unsigned nLength) : p(pText), pEnd(pText + nLength) {}

    Token Next() {
        SkipSpaceAndComments();
        Token t;
        t.nLine = nLine;
        t.pStart = p;
        if (p >= pEnd) return t;
        char c = *p;
        if (IsDigit(c)) {
            LexNumber(t);
        } else if (IsNameStart(c)) {
            while (p < pEnd && (IsNameStart(*p) || IsDigit(*p))) ++p;
            t.type = T_NAME;
            for (const auto& kw : kKeywords)
                if (std::strlen(kw.psz) == unsigned(p - t.pStart) &&
                    std::memcmp(kw.psz, t.pStart, p - t.pStart) == 0)
                    t.type = kw.type;
        } else if (c == '"') {
            LexString(t);
        } else {
            LexPunctuation(t);
        }
        t.nLength = unsigned(p - t.pStart);
        return t;
    }

private:
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    static bool IsNameStart(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    }
    [[noreturn]] void Fail(const char* pszMessage) { throw SyntaxError{nLine, pszMessage, p}; }

    void SkipSpaceAndComments() {
        while (p < pEnd) {
            if (*p == '\n') {
                ++nLine;
                ++p;
            } else if (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\f' || *p == '\v') {
                ++p;
            } else if (*p == '/' && p + 1 < pEnd && p[1] == '/') {
                while (p < pEnd && *p != '\n') ++p;
            } else if (*p == '/' && p + 1 < pEnd && p[1] == '*') {
                int nStart = nLine;
                const char* pStart = p;
                p += 2;
                while (p < pEnd && !(*p == '*' && p + 1 < pEnd && p[1] == '/')) {
                    if (*p == '\n') ++nLine;
                    ++p;
                }
                if (p >= pEnd) throw SyntaxError{nStart, "unterminated comment", pStart};
                p += 2;
            } else {
                return;
            }
        }
    }

    // Decimal integers up to 2^63 (which only a minus before it may take), hexadecimal ones
    // up to 64 bits (taken as the bits of the integer), and floats: digits with a fraction
    // and/or an exponent ("1.5", "2e3", ".5", "1.e-3" is not one).
    void LexNumber(Token& t) {
        t.type = T_NUMBER;
        const char* pStart = p;
        uint64_t qwValue = 0;
        bool bHex = *p == '0' && p + 1 < pEnd && (p[1] == 'x' || p[1] == 'X');
        if (bHex) {
            p += 2;
            const char* pDigits = p;
            for (; p < pEnd; ++p) {
                int d = IsDigit(*p) ? *p - '0'
                        : (*p >= 'a' && *p <= 'f') ? *p - 'a' + 10
                        : (*p >= 'A' && *p <= 'F') ? *p - 'A' + 10 : -1;
                if (d < 0) break;
                if (qwValue >> 60) {
                    p = pStart;
                    Fail("number too large: an integer holds 64 bits");
                }
                qwValue = qwValue * 16 + d;
            }
            if (p == pDigits) Fail("hexadecimal number without digits");
        } else {
            bool bOver = false;
            for (; p < pEnd && IsDigit(*p); ++p) {
                unsigned d = *p - '0';
                bOver = bOver || qwValue > (0x8000000000000000ull - d) / 10;
                qwValue = qwValue * 10 + d;
            }
            bool bFraction = p + 1 < pEnd && *p == '.' && IsDigit(p[1]);
            if (bFraction)
                for (++p; p < pEnd && IsDigit(*p); ++p) {}
            bool bExponent = p < pEnd && (*p == 'e' || *p == 'E') &&
                             ((p + 1 < pEnd && IsDigit(p[1])) ||
                              (p + 2 < pEnd && (p[1] == '+' || p[1] == '-') && IsDigit(p[2])));
            if (bExponent)
                for (p += 2; p < pEnd && IsDigit(*p); ++p) {}
            if (bFraction || bExponent) {
                t.bFloat = true;
                if (!RtParseFloat(pStart, unsigned(p - pStart), &t.dNumber)) Fail("malformed number");
            } else if (bOver) {
                p = pStart;
                Fail("number too large: an integer holds 64 bits (write a float, 1e20, for more)");
            }
        }
        if (p < pEnd && (IsNameStart(*p) || IsDigit(*p))) Fail("malformed number");
        t.qwNumber = qwValue;
    }

    void LexString(Token& t) {
        t.type = T_STRING;
        t.sText = "";
        ++p;
        const char* pRun = p;  // unescaped bytes are appended in runs
        // A literal that memory cannot hold whole is not compiled cut short.
        unsigned nWhole = 0;
        auto append = [&](const char* pText, unsigned n) {
            t.sText.Append(pText, n);
            nWhole += n;
            if (t.sText.Length() != nWhole) Fail("out of memory");
        };
        for (;;) {
            if (p >= pEnd || *p == '\n') Fail("unterminated string");
            char c = *p;
            if (c == '"') break;
            if (c != '\\') {
                ++p;
                continue;
            }
            append(pRun, unsigned(p - pRun));
            if (p + 1 >= pEnd) Fail("unterminated string");
            const char* pszOut;
            switch (p[1]) {
            case 'n': pszOut = "\n"; break;
            case 'r': pszOut = "\r"; break;
            case 't': pszOut = "\t"; break;
            case '\\': pszOut = "\\"; break;
            case '"': pszOut = "\""; break;
            default: Fail("unknown escape in string");
            }
            append(pszOut, 1);
            p += 2;
            pRun = p;
        }
        append(pRun, unsigned(p - pRun));
        ++p;
    }

    void LexPunctuation(Token& t) {
        char c = *p++;
        char n = p < pEnd ? *p : '\0';
        auto two = [&](Tok tok) {
            ++p;
            t.type = tok;
        };
        switch (c) {
        case '(': t.type = T_LPAREN; break;
        case ')': t.type = T_RPAREN; break;
        case '{': t.type = T_LBRACE; break;
        case '}': t.type = T_RBRACE; break;
        case '[': t.type = T_LBRACKET; break;
        case ']': t.type = T_RBRACKET; break;
        case ',': t.type = T_COMMA; break;
        case ';': t.type = T_SEMICOLON; break;
        case '.':
            if (IsDigit(n)) {  // a float without its leading zero: .5
                --p;
                LexNumber(t);
            } else {
                t.type = T_DOT;
            }
            break;
        case ':': t.type = T_COLON; break;
        case '?': t.type = T_QUESTION; break;
        case '+':
            if (n == '+') --p, Fail("'++' is not an operator here: write 'x += 1'");
            if (n == '=') two(T_PLUS_ASSIGN); else t.type = T_PLUS;
            break;
        case '-':
            if (n == '-') --p, Fail("'--' is not an operator here: write 'x -= 1' (or '- -x' for a double negation)");
            if (n == '=') two(T_MINUS_ASSIGN); else t.type = T_MINUS;
            break;
        case '*': if (n == '=') two(T_STAR_ASSIGN); else t.type = T_STAR; break;
        case '/': if (n == '=') two(T_SLASH_ASSIGN); else t.type = T_SLASH; break;
        case '%': if (n == '=') two(T_PERCENT_ASSIGN); else t.type = T_PERCENT; break;
        case '^': t.type = T_CARET; break;
        case '~': t.type = T_TILDE; break;
        case '=':
        case '!':
            if (n == '=' && p + 1 < pEnd && p[1] == '=') {
                --p;
                Fail(c == '=' ? "'===' is not an operator here: write '=='" : "'!==' is not an operator here: write '!='");
            }
            if (c == '=') {
                if (n == '=') two(T_EQ); else t.type = T_ASSIGN;
            } else {
                if (n == '=') two(T_NE); else t.type = T_BANG;
            }
            break;
        case '<': if (n == '=') two(T_LE); else t.type = T_LT; break;
        case '>': if (n == '=') two(T_GE); else t.type = T_GT; break;
        case '&': if (n == '&') two(T_ANDAND); else t.type = T_AMP; break;
        case '|': if (n == '|') two(T_OROR); else t.type = T_BAR; break;
        case '\'': --p; Fail("strings are written in double quotes: \"text\"");
        default: --p; Fail("unexpected character");
        }
    }

    const char* p;
    const char* pEnd;
    int nLine = 1;
};

// The names of one function body: its parameters and assigned names are its locals, unless
// the body also defines the name with `global`. Names are found by hashing, so a body with
// any number of names compiles in time proportional to its length.
struct Scope {
    std::vector<KxString> vLocals;  // parameters first, in order, then assigned names, once each
    KxHashTable hLocals;            // the same names
    KxHashTable hGlobals;
    std::vector<VarRef*> vRefs;

    static bool Has(const KxHashTable& h, const KxString& s) {
        void* pv = nullptr;
        return h.Lookup(s, &pv);
    }
    void AddLocal(const KxString& s) {
        if (hLocals.Insert(s, nullptr)) vLocals.push_back(s);
    }
    void Resolve(Function& fn) {
        KxHashTable hSlots;  // name -> slot index
        int nSlots = 0;
        for (size_t i = 0; i < vLocals.size(); ++i)
            if (int(i) < fn.nParams || !Has(hGlobals, vLocals[i])) {
                hSlots.Insert(vLocals[i], reinterpret_cast<void*>(static_cast<intptr_t>(nSlots++)));
                fn.vLocalNames.push_back(vLocals[i]);
            }
        for (VarRef* pRef : vRefs) {
            void* pv = nullptr;
            if (!Has(hGlobals, pRef->sName) && hSlots.Lookup(pRef->sName, &pv))
                pRef->nLocal = static_cast<int>(reinterpret_cast<intptr_t>(pv));
            else
                pRef->pSlot = RtGlobalSlot(pRef->sName);
        }
        fn.nLocals = nSlots;
    }
};

class Parser {
public:
    Parser(const char* pText, unsigned nLength, Program& program)
        : lexer(pText, nLength), program(program) {
        Advance();
    }

    void ParseProgram() {
        Block top;
        while (cur.type != T_END) {
            if (cur.type == T_FUNCTION) {
                ParseFunction();
            } else {
                top.vStmts.push_back(ParseStatement());
            }
        }
        CompileTopLevel(program, top);
    }

private:
    void Advance() {
        prev = std::move(cur);
        cur = lexer.Next();
    }
    bool Match(Tok t) {
        if (cur.type != t) return false;
        Advance();
        return true;
    }
    KxString Describe(const Token& t) {
        if (t.type == T_END) return "end of text";
        if (t.type == T_STRING) return "a string";
        KxString s("'");
        s.Append(t.pStart, t.nLength);
        s << "'";
        return s;
    }
    // At the token; at the end of the text, just after the last token.
    [[noreturn]] void FailAt(const Token& t, const KxString& sMessage) {
        if (t.type == T_END && prev.pStart) throw SyntaxError{prev.nLine, sMessage, prev.pStart + prev.nLength};
        throw SyntaxError{t.nLine, sMessage, t.pStart};
    }
    // The `;` that ends a statement; when it is missing, the error points at the end of the
    // statement, not at whatever comes next (often on the next line).
    void ExpectEnd() {
        if (Match(T_SEMICOLON)) return;
        if (cur.type == T_ASSIGN) FailAt(cur, "an assignment is not a value: assign one variable at a time");
        KxString s("expected ';' at the end of the statement, found ");
        s << Describe(cur);
        throw SyntaxError{prev.nLine, s, prev.pStart + prev.nLength};
    }
    void Expect(Tok t, const char* pszWhat) {
        if (Match(t)) return;
        KxString s("expected ");
        s << pszWhat << ", found " << Describe(cur);
        FailAt(cur, s);
    }
    KxString ExpectName(const char* pszWhat) {
        Expect(T_NAME, pszWhat);
        return KxString(prev.pStart, prev.nLength);
    }

    struct Nest {  // guards the parser's own recursion
        explicit Nest(Parser& p) : p(p) {
            if (++p.nNesting > kMaxNesting) p.FailAt(p.cur, "text nested too deeply");
        }
        ~Nest() { --p.nNesting; }
        Parser& p;
    };

    // A name the code uses; bAssigned when this use assigns it.
    void UseName(VarRef& ref, const KxString& sName, bool bAssigned) {
        ref.sName = sName;
        if (!pScope) {
            ref.pSlot = RtGlobalSlot(sName);
            return;
        }
        pScope->vRefs.push_back(&ref);
        if (bAssigned) pScope->AddLocal(sName);
    }

    void ParseFunction() {
        int nLine = cur.nLine;
        Advance();
        auto fn = std::make_unique<Function>();
        fn->sName = ExpectName("a function name");
        fn->nLine = nLine;
        fn->psPath = &program.sPath;
        if (FindBuiltin(fn->sName)) FailAt(prev, KxString("'") + fn->sName + "' is a built-in function");
        if (!hFunctionNames.Insert(fn->sName, nullptr))
            FailAt(prev, KxString("function '") + fn->sName + "' is defined twice");
        Scope scope;
        Expect(T_LPAREN, "'('");
        if (cur.type != T_RPAREN) {
            do {
                KxString sParam = ExpectName("a parameter name");
                if (Scope::Has(scope.hLocals, sParam))
                    FailAt(prev, KxString("parameter '") + sParam + "' is named twice");
                scope.AddLocal(sParam);
            } while (Match(T_COMMA));
        }
        Expect(T_RPAREN, "')'");
        fn->nParams = int(scope.vLocals.size());
        pScope = &scope;
        nLoops = 0;
        Block body;
        ParseBlock(body);
        pScope = nullptr;
        scope.Resolve(*fn);
        CompileFunction(*fn, body);
        program.vFunctions.push_back(std::move(fn));
    }

    void ParseBlock(Block& block) {
        Nest nest(*this);
        Expect(T_LBRACE, "'{' (a body is a block, even of one statement: { ... })");
        int nOpened = prev.nLine;
        while (cur.type != T_RBRACE) {
            if (cur.type == T_END) {
                KxString s("expected '}' to close the '{' of line ");
                s << nOpened << ", found end of text";
                FailAt(cur, s);
            }
            if (cur.type == T_FUNCTION) FailAt(cur, "functions are defined at the top level");
            block.vStmts.push_back(ParseStatement());
        }
        Advance();
    }

    StmtPtr ParseStatement() {
        int nLine = cur.nLine;
        switch (cur.type) {
        case T_GLOBAL: {
            Advance();
            auto s = std::make_unique<GlobalStmt>(nLine);
            KxString sName = ExpectName("a global name");
            s->pSlot = RtGlobalSlot(sName);
            if (pScope) pScope->hGlobals.Insert(sName, nullptr);
            if (cur.type != T_ASSIGN) {
                KxString s("expected '=', found ");
                s << Describe(cur) << ": a global is made with its value, as in 'global " << sName << " = nil;'";
                FailAt(cur, s);
            }
            Advance();
            s->value = ParseExpression();
            ExpectEnd();
            return s;
        }
        case T_IF: return ParseIf();
        case T_WHILE: {
            Advance();
            auto s = std::make_unique<WhileStmt>(nLine);
            s->cond = ParseCondition();
            ParseLoopBody(s->body);
            return s;
        }
        case T_FOR: return ParseFor();
        case T_BREAK:
        case T_CONTINUE: {
            bool bBreak = cur.type == T_BREAK;
            if (nLoops == 0) FailAt(cur, bBreak ? "'break' outside a loop" : "'continue' outside a loop");
            Advance();
            ExpectEnd();
            return std::make_unique<JumpStmt>(nLine, bBreak);
        }
        case T_RETURN: {
            if (!pScope) FailAt(cur, "'return' outside a function");
            Advance();
            auto s = std::make_unique<ReturnStmt>(nLine);
            if (cur.type != T_SEMICOLON) s->value = ParseExpression();
            ExpectEnd();
            return s;
        }
        case T_TRY: {
            Advance();
            auto s = std::make_unique<TryStmt>(nLine);
            ParseBlock(s->body);
            Expect(T_CATCH, "'catch'");
            Expect(T_LPAREN, "'('");
            UseName(s->var, ExpectName("a variable name"), true);
            Expect(T_RPAREN, "')'");
            ParseBlock(s->handler);
            return s;
        }
        case T_THROW: {
            Advance();
            auto s = std::make_unique<ThrowStmt>(nLine);
            s->value = ParseExpression();
            ExpectEnd();
            return s;
        }
        case T_LBRACE: {
            auto s = std::make_unique<BlockStmt>(nLine);
            ParseBlock(s->block);
            return s;
        }
        case T_NAME: {
            // Words of other languages that are not statements here.
            static const struct {
                const char* pszWord;
                bool bBeforeName;  // only when a name follows
                const char* pszHint;
            } kForeign[] = {
                {"var", true, "variables need no declaration: write 'NAME = value;'"},
                {"let", true, "variables need no declaration: write 'NAME = value;'"},
                {"const", true, "variables need no declaration: write 'NAME = value;'"},
                {"local", true, "variables need no declaration: write 'NAME = value;' (names a function assigns are its own)"},
                {"elif", false, "write 'else if (...) { ... }'"},
                {"elsif", false, "write 'else if (...) { ... }'"},
                {"elseif", false, "write 'else if (...) { ... }'"},
                {"switch", false, "write 'if (...) { ... } else if (...) { ... }'"},
                {"def", true, "write 'function NAME(a, b) { ... }'"},
                {"func", true, "write 'function NAME(a, b) { ... }'"},
            };
            // The next token is looked at only for one of those words.
            for (const auto& f : kForeign) {
                if (std::strlen(f.pszWord) != cur.nLength || std::memcmp(f.pszWord, cur.pStart, cur.nLength) != 0) continue;
                Lexer ahead = lexer;
                if (!f.bBeforeName || ahead.Next().type == T_NAME)
                    FailAt(cur, KxString("'") + KxString(cur.pStart, cur.nLength) + "' is not a statement: " + f.pszHint);
            }
            return ParseSimpleStatement();
        }
        default: return ParseSimpleStatement();
        }
    }

    ExprPtr ParseCondition() {
        Expect(T_LPAREN, "'('");
        ExprPtr e = ParseExpression();
        Expect(T_RPAREN, "')'");
        return e;
    }

    // `for (x in e)` when a name and `in` come first, otherwise `for (init; cond; step)`.
    StmtPtr ParseFor() {
        int nLine = cur.nLine;
        Advance();
        Expect(T_LPAREN, "'('");
        Lexer ahead = lexer;
        Token next = ahead.Next();
        if (cur.type == T_NAME && next.type == T_NAME && next.nLength == 2 && std::memcmp(next.pStart, "of", 2) == 0)
            FailAt(next, "write 'for (x in list)'");
        if (cur.type == T_NAME && next.type == T_IN) {
            auto s = std::make_unique<ForStmt>(nLine);
            UseName(s->var, ExpectName("a variable name"), true);
            Advance();
            s->list = ParseExpression();
            Expect(T_RPAREN, "')'");
            ParseLoopBody(s->body);
            return s;
        }
        auto s = std::make_unique<CForStmt>(nLine);
        if (cur.type != T_SEMICOLON) s->init = ParseSimple();
        Expect(T_SEMICOLON, "';' after the loop's start (for (init; condition; step) or for (x in list))");
        if (cur.type != T_SEMICOLON) s->cond = ParseExpression();
        Expect(T_SEMICOLON, "';' after the loop's condition");
        if (cur.type != T_RPAREN) s->step = ParseSimple();
        Expect(T_RPAREN, "')'");
        ParseLoopBody(s->body);
        return s;
    }

    void ParseLoopBody(Block& body) {
        ++nLoops;
        ParseBlock(body);
        --nLoops;
    }

    // An `else if` arm is one more arm of the same statement: a long chain nests nothing.
    StmtPtr ParseIf() {
        auto s = std::make_unique<IfStmt>(cur.nLine);
        do {
            Advance();
            s->arms.emplace_back();
            s->arms.back().cond = ParseCondition();
            ParseBlock(s->arms.back().body);
            if (!Match(T_ELSE)) return s;
        } while (cur.type == T_IF);
        s->bElse = true;
        ParseBlock(s->otherwise);
        return s;
    }

    StmtPtr ParseSimpleStatement() {
        StmtPtr s = ParseSimple();
        ExpectEnd();
        return s;
    }

    // The operator of a compound assignment (`+=` is `+`), T_ASSIGN for `=`, T_END for none.
    static Tok AssignOp(Tok t) {
        switch (t) {
        case T_ASSIGN: return T_ASSIGN;
        case T_PLUS_ASSIGN: return T_PLUS;
        case T_MINUS_ASSIGN: return T_MINUS;
        case T_STAR_ASSIGN: return T_STAR;
        case T_SLASH_ASSIGN: return T_SLASH;
        case T_PERCENT_ASSIGN: return T_PERCENT;
        default: return T_END;
        }
    }

    // An expression, or an assignment (plain or compound) to a variable, a property, a list's
    // item or a map's entry; without its `;`, which a `for` does not have after its step.
    StmtPtr ParseSimple() {
        int nLine = cur.nLine;
        Token first = cur;
        ExprPtr target = ParseExpression();
        Tok op = AssignOp(cur.type);
        if (op == T_END) return std::make_unique<ExprStmt>(nLine, std::move(target));
        Advance();
        auto* pPostfix = dynamic_cast<PostfixExpr*>(target.get());
        auto* pStep = pPostfix && !pPostfix->steps.back().bCall ? &pPostfix->steps.back() : nullptr;
        // What comes before the last step is the object or the list.
        auto owner = [&] {
            pPostfix->steps.pop_back();
            return pPostfix->steps.empty() ? std::move(pPostfix->base) : std::move(target);
        };
        if (auto* pName = dynamic_cast<NameExpr*>(target.get())) {
            // The name was taken as a read while it was parsed; it is an assignment instead.
            if (pScope && !pScope->vRefs.empty() && pScope->vRefs.back() == &pName->var)
                pScope->vRefs.pop_back();
            auto s = std::make_unique<AssignStmt>(nLine);
            UseName(s->var, pName->var.sName, true);
            s->op = op;
            s->value = ParseExpression();
            // `x = x + ...` with `+` alone: the chain joins onto x.
            auto* pChain = dynamic_cast<ChainExpr*>(s->value.get());
            auto* pFirst = pChain ? dynamic_cast<NameExpr*>(pChain->first.get()) : nullptr;
            bool bJoins = pFirst && pFirst->var.sName == s->var.sName;
            for (size_t i = 0; bJoins && i < pChain->steps.size(); ++i) bJoins = pChain->steps[i].op == T_PLUS;
            s->bAppends = op == T_PLUS || (op == T_ASSIGN && bJoins);
            if (op == T_ASSIGN && bJoins) s->pJoined = pChain;
            return s;
        }
        if (pStep && pStep->index) {
            auto s = std::make_unique<IndexAssignStmt>(nLine);
            s->index = std::move(pStep->index);
            s->obj = owner();
            s->op = op;
            s->value = ParseExpression();
            return s;
        }
        if (pStep) {
            auto s = std::make_unique<PropAssignStmt>(nLine);
            s->sName = pStep->sName;
            s->obj = owner();
            s->op = op;
            s->value = ParseExpression();
            return s;
        }
        FailAt(first, "only a variable, a property, a list item or a map entry can be assigned");
    }

    // `c ? a : b` is the loosest: its condition is an operator chain, and its arms are
    // expressions of their own (so `a ? b : c ? d : e` groups to the right).
    ExprPtr ParseExpression() {
        ExprPtr e = ParseBinary(1);
        if (cur.type != T_QUESTION) return e;
        Nest nest(*this);
        auto c = std::make_unique<CondExpr>(cur.nLine);
        Advance();
        c->cond = std::move(e);
        c->yes = ParseExpression();
        Expect(T_COLON, "':' of 'condition ? value : other value'");
        c->no = ParseExpression();
        return c;
    }

    // Each operator found at this level applies to everything before it, so the operands
    // of one level form one chain.
    ExprPtr ParseBinary(int nMinPrecedence) {
        ExprPtr left = ParseUnary();
        ChainExpr* pChain = nullptr;
        for (;;) {
            Tok op = cur.type;
            int nPrec = Precedence(op);
            if (nPrec == 0 || nPrec < nMinPrecedence) return left;
            int nLine = cur.nLine;
            Advance();
            ExprPtr right = ParseBinary(nPrec + 1);
            if (!pChain) {
                auto chain = std::make_unique<ChainExpr>(left->nLine);
                chain->first = std::move(left);
                pChain = chain.get();
                left = std::move(chain);
            }
            pChain->steps.push_back({nLine, op, std::move(right)});
        }
    }

    ExprPtr ParseUnary() {
        if (cur.type == T_MINUS || cur.type == T_BANG || cur.type == T_TILDE) {
            Nest nest(*this);
            Tok op = cur.type;
            int nLine = cur.nLine;
            Advance();
            // The least integer is written as a minus and 2^63, which alone does not fit.
            if (op == T_MINUS && cur.type == T_NUMBER && !cur.bFloat && cur.qwNumber == 0x8000000000000000ull &&
                cur.pStart[0] != '0') {
                Advance();
                return std::make_unique<IntExpr>(nLine, INT64_MIN);
            }
            return std::make_unique<UnaryExpr>(nLine, op, ParseUnary());
        }
        return ParsePostfix();
    }

    void ParseArguments(ExprList& args) {
        Nest nest(*this);
        if (cur.type != T_RPAREN) {
            do args.push_back(ParseExpression());
            while (Match(T_COMMA));
        }
        Expect(T_RPAREN, "')'");
    }

    // Items up to the closing token, separated by commas; a comma may follow the last.
    template <class F>
    void ParseItems(Tok close, const char* pszClose, F item) {
        while (cur.type != close) {
            item();
            if (!Match(T_COMMA)) break;
        }
        Expect(close, pszClose);
    }

    ExprPtr ParsePostfix() {
        ExprPtr e = ParsePrimary();
        PostfixExpr* pPostfix = nullptr;
        for (;;) {
            PostfixExpr::Step step{cur.nLine, NULL_STRING, false, {}, nullptr, nullptr};
            if (Match(T_DOT)) {
                step.sName = ExpectName("a property name");
                step.bCall = Match(T_LPAREN);
                if (step.bCall) {
                    ParseArguments(step.args);
                    step.pBuiltin = FindBuiltin(step.sName);
                }
            } else if (Match(T_LBRACKET)) {
                Nest nest(*this);
                step.index = ParseExpression();
                Expect(T_RBRACKET, "']'");
            } else if (cur.type == T_LPAREN) {
                FailAt(cur, "only functions and methods can be called");
            } else {
                return e;
            }
            if (!pPostfix) {
                auto postfix = std::make_unique<PostfixExpr>(e->nLine);
                postfix->base = std::move(e);
                pPostfix = postfix.get();
                e = std::move(postfix);
            }
            pPostfix->steps.push_back(std::move(step));
        }
    }

    ExprPtr ParsePrimary() {
        int nLine = cur.nLine;
        // Each pair of brackets is one level of nesting, however many calls parse its inside.
        bool bOpens = cur.type == T_LPAREN || cur.type == T_LBRACKET || cur.type == T_LBRACE;
        std::unique_ptr<Nest> nest(bOpens ? new Nest(*this) : nullptr);
        switch (cur.type) {
        case T_NUMBER:
            Advance();
            if (prev.bFloat) return std::make_unique<FloatExpr>(nLine, prev.dNumber);
            if (prev.qwNumber == 0x8000000000000000ull && prev.pStart[0] != '0')
                FailAt(prev, "number too large: an integer holds 64 bits (-9223372036854775808 is the least)");
            return std::make_unique<IntExpr>(nLine, static_cast<int64_t>(prev.qwNumber));
        case T_STRING:
            Advance();
            return std::make_unique<ConstExpr>(nLine, static_cast<KxString&&>(prev.sText));
        case T_NIL:
            Advance();
            return std::make_unique<NilExpr>(nLine);
        case T_LPAREN: {
            Advance();
            ExprPtr e = ParseExpression();
            Expect(T_RPAREN, "')'");
            return e;
        }
        case T_LBRACKET: {
            Advance();
            auto l = std::make_unique<ListExpr>(nLine);
            ParseItems(T_RBRACKET, "']'", [&] { l->items.push_back(ParseExpression()); });
            return l;
        }
        case T_LBRACE: {
            Advance();
            auto m = std::make_unique<MapExpr>(nLine);
            ParseItems(T_RBRACE, "'}'", [&] {
                m->parts.push_back(ParseExpression());
                Expect(T_COLON, "':' between a key and its value");
                m->parts.push_back(ParseExpression());
            });
            return m;
        }
        case T_NAME: {
            Advance();
            KxString sName(prev.pStart, prev.nLength);
            if (Match(T_LPAREN)) {
                auto c = std::make_unique<CallExpr>(nLine);
                c->sName = sName;
                c->pBuiltin = FindBuiltin(sName);
                if (!c->pBuiltin) UseName(c->var, sName, false);
                ParseArguments(c->args);
                return c;
            }
            auto n = std::make_unique<NameExpr>(nLine);
            UseName(n->var, sName, false);
            return n;
        }
        default: {
            KxString s("expected an expression, found ");
            s << Describe(cur);
            FailAt(cur, s);
        }
        }
    }

    Lexer lexer;
    Program& program;
    Token cur, prev;
    Scope* pScope = nullptr;
    KxHashTable hFunctionNames;  // of this text, to refuse a second definition
    int nLoops = 0;
    int nNesting = 0;
};

}  // namespace

std::unique_ptr<Program> Compile(const KxString& sSource, const KxString& sPath) {
    auto program = std::make_unique<Program>();
    program->sPath = sPath;
    KxString sText(sSource.IsNull() ? KxString("") : sSource);  // the lexer points into it
    const char* pText = sText;
    unsigned nLength = sText.Length();
    if (nLength >= 3 && std::memcmp(pText, "\xEF\xBB\xBF", 3) == 0) pText += 3, nLength -= 3;
    try {
        Parser parser(pText, nLength, *program);
        parser.ParseProgram();
    } catch (SyntaxError& e) {
        // The line the error is on, and its column, counted in bytes from 1.
        e.sPath = sPath;
        const char* pAt = e.pAt ? e.pAt : pText + nLength;
        const char* pLine = pAt;
        while (pLine > pText && pLine[-1] != '\n') --pLine;
        const char* pLineEnd = pAt;
        while (pLineEnd < pText + nLength && *pLineEnd != '\n') ++pLineEnd;
        if (pLineEnd > pLine && pLineEnd[-1] == '\r') --pLineEnd;
        e.nCol = static_cast<int>(pAt - pLine) + 1;
        e.sLineText = KxString(pLine, static_cast<unsigned>(pLineEnd - pLine));
        throw;
    }
    return program;
}

Program::~Program() {
    for (auto& fn : vFunctions)
        if (fn->phValue) fn->phValue->Drop();
}

}  // namespace tarvo
