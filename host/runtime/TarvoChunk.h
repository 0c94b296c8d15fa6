#pragma once
// Compiled Tarvo: each function and each text's top level is a chunk of instructions for the
// stack machine of TarvoVM.cpp. An instruction is one 32-bit word, its operation in the low
// byte and its operand A (signed) in the other 24 bits; a few take a second word B.
#include <memory>
#include <vector>

#include "TarvoValue.h"

namespace tarvo {

struct Builtin;
struct Function;

enum Op : uint8_t {
    OP_NIL,           // push nil
    OP_INT,           // push the integer A
    OP_CONST,         // push constant A
    OP_LOAD_LOCAL,    // push local A (unassigned: error 101)
    OP_STORE_LOCAL,   // pop into local A
    OP_LOAD_GLOBAL,   // push global A, or the function of its name, or error 101
    OP_STORE_GLOBAL,  // pop into global A
    OP_POP,           // drop the top
    OP_POPN,          // drop A values
    OP_DUP,           // push the top again
    OP_DUP2,          // push the two top values again, in order
    // Binary operators: pop b, pop a, push a OP b. Their order is Tok's from T_OROR on.
    OP_ADD, OP_SUB, OP_MUL, OP_DIV, OP_MOD, OP_BAND, OP_BOR, OP_BXOR,
    OP_EQ, OP_NE, OP_LT, OP_LE, OP_GT, OP_GE,
    OP_NEG, OP_NOT, OP_BNOT,  // unary operators on the top
    OP_TRUTH,         // the top as 1 or 0
    OP_JUMP,          // go on A words further (from the next instruction)
    OP_JUMP_FALSE,    // pop; jump when false
    OP_JUMP_TRUE,     // pop; jump when true
    OP_LOOP,          // jump back A words; a run asked to stop ends here
    // A condition that is one comparison: pop b, pop a, jump A when `a OP b` is false. In the
    // order of OP_EQ to OP_GE.
    OP_JUMP_NOT_EQ, OP_JUMP_NOT_NE, OP_JUMP_NOT_LT, OP_JUMP_NOT_LE, OP_JUMP_NOT_GT, OP_JUMP_NOT_GE,
    OP_NEW_LIST,      // push a new list with room for A items
    OP_LIST_ADD,      // pop an item onto the list below it
    OP_NEW_MAP,       // push a new map
    OP_MAP_ADD,       // pop a key and a value into the map below them
    OP_INDEX,         // pop key, pop value, push value[key]
    OP_INDEX_CHECK,   // error unless the value below the key can have its items set
    OP_SET_INDEX,     // pop item value, key, container: container[key] = item value
    OP_GET_PROP,      // pop an object, push its property of name A
    OP_PROP_CHECK,    // error unless the top is an object (for setting property A)
    OP_SET_PROP,      // pop the value, pop the object: set its property of name A
    OP_CALL_BUILTIN,  // built-in function A with B arguments from the stack
    OP_NAMED_CHECK,   // call site A (B arguments): its function exists and takes B
    OP_CALL_NAMED,    // call site A with B arguments
    OP_CALL_LOCAL,    // the function value in local A, with B arguments
    OP_METHOD,        // pop the object; push its method of name A (or, for a string, list
                      // or map whose built-in function B exists, nil), then the object
    OP_CALL_METHOD,   // method and object below B arguments: call it (name A; a third word:
                      // the built-in function, as for OP_METHOD)
    OP_RETURN,        // pop the result and return it
    OP_RETURN_NIL,
    OP_FOR_PREP,      // pop a list or map; push it, the map's keys (nil for a list), index 0
    OP_FOR_SPLIT,     // pop a separator and a text: push them and index 0 when the separator
                      // is one byte (the loop takes their fields, NextField), else what
                      // split() of them gives, nil and index 0
    OP_FOR_NEXT,      // the next item (or key, or field) of the loop below: push it, or pop
                      // the loop and jump A
    OP_TRY,           // a handler at A words further, until OP_END_TRY
    OP_END_TRY,
    OP_THROW,         // pop an error and raise it again
    OP_APPEND_LOCAL,  // local A joined with the B values on the stack (above its old value)
    OP_APPEND_GLOBAL, // the same for global A
    OP_CHECK,         // a statement's end: memory that ran short, the collector's pace
    // The steps of counting loops, each in one instruction, on variables and small integers
    // (Operand below): what is not two integers takes the long way, as the steps written out.
    // Each is followed by its variant for a function's own variables, which the compiler
    // takes when every operand is a local or a small integer: it looks for no other kind.
    OP_ADD_VAR,       // variable A += operand B (a second word), then the statement's end
    OP_ADD_VAR_LOCAL, // the same, of a local and a local or small integer
    OP_JUMP_UNLESS,   // jump A when `operand OP operand` is false: the operands in a second
                      // word (the left one in its low half), the comparison (0 to 5, in the
                      // order of OP_EQ to OP_GE) in a third
    OP_JUMP_UNLESS_LOCAL,  // the same, of locals and small integers
    OP_LOOP_IF,       // a loop's test again at its end: its words as OP_JUMP_UNLESS's; jump
                      // back A words when it holds (a run asked to stop ends here)
    OP_LOOP_IF_LOCAL,  // the same, of locals and small integers
    OP_STEP_LOOP_IF,  // a counting loop's step and its test, in one: OP_ADD_VAR's two operands
                      // in a second word (the variable in its low half), then OP_LOOP_IF's words
    OP_STEP_LOOP_IF_LOCAL,  // the same, of locals and small integers
    OP_ADD_INT,       // the top + the integer A
    OP_SUB_INT,       // the top - the integer A
    OP_COUNT
};

// An operand of OP_ADD_VAR and OP_JUMP_UNLESS, in 16 bits: its kind in the top two, then a
// local, a global of the chunk's table or one of its constants (each of the first 2^14), or
// an integer from -2^13 to 2^13 - 1.
struct Operand {
    enum Kind : uint32_t { LOCAL, GLOBAL, CONSTANT, INT };
    static const int kMaxIndex = (1 << 14) - 1, kMinInt = -(1 << 13), kMaxInt = (1 << 13) - 1;
    static uint32_t Make(Kind k, int64_t n) { return k << 14 | (static_cast<uint32_t>(n) & 0x3FFF); }
    static Kind KindOf(uint32_t u) { return static_cast<Kind>(u >> 14 & 3); }
    static int IndexOf(uint32_t u) { return static_cast<int>(u & 0x3FFF); }
    static int64_t IntOf(uint32_t u) { return static_cast<int16_t>(static_cast<uint16_t>(u << 2)) >> 2; }
};

// A call by a name that is not a local: the script function of that name, else a function
// value in the global of that name. The function found is kept until functions change.
struct CallSite {
    KxString sName;
    KxScGlobalSlot* pSlot;
    Function* pFunction;
    unsigned nGeneration;
};

struct Chunk {
    std::vector<uint32_t> code;
    std::vector<int> lines;  // the line of each word
    std::vector<Value> constants;
    std::vector<KxScGlobalSlot*> globals;
    std::vector<CallSite> sites;
    std::vector<KxString> names;  // of properties and methods
    std::vector<const Builtin*> builtins;
    int nMaxStack = 0;  // values on the stack at most, above the locals
};

inline Op OpOf(uint32_t w) { return static_cast<Op>(w & 0xFF); }
inline int32_t ArgOf(uint32_t w) { return static_cast<int32_t>(w) >> 8; }

}  // namespace tarvo
