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
    OP_FOR_NEXT,      // the next item (or key) of the loop below: push it, or pop the loop
                      // and jump A
    OP_TRY,           // a handler at A words further, until OP_END_TRY
    OP_END_TRY,
    OP_THROW,         // pop an error and raise it again
    OP_APPEND_LOCAL,  // local A joined with the B values on the stack (above its old value)
    OP_APPEND_GLOBAL, // the same for global A
    OP_CHECK,         // a statement's end: memory that ran short, the collector's pace
    // The steps of counting loops, each in one instruction: the operand B in a second word.
    OP_ADD_LOCAL,     // local A += operand B (see Operand below), then the statement's end
    OP_JUMP_UNLESS_LOCAL,  // jump A when `local OP operand` is false: the second word holds
                      // the comparison (0 to 5, in the order of OP_EQ to OP_GE) in bits 0-2,
                      // the local in bits 3-15 and the operand in bits 16-31
};

// The operand of OP_ADD_LOCAL and OP_JUMP_UNLESS_LOCAL, in 16 bits: a local below 2^15, or,
// with the top bit set, an integer from -2^14 to 2^14 - 1.
struct Operand {
    static const int kMaxLocal = (1 << 15) - 1, kMinInt = -(1 << 14), kMaxInt = (1 << 14) - 1;
    static uint32_t Local(int n) { return static_cast<uint32_t>(n); }
    static uint32_t Int(int64_t n) { return 0x8000u | (static_cast<uint32_t>(n) & 0x7FFF); }
    static bool IsInt(uint32_t u) { return (u & 0x8000) != 0; }
    static int LocalOf(uint32_t u) { return static_cast<int>(u & 0x7FFF); }
    static int64_t IntOf(uint32_t u) { return static_cast<int16_t>(static_cast<uint16_t>(u << 1)) >> 1; }
};
// The most locals OP_JUMP_UNLESS_LOCAL can name on its left.
const int kMaxCompareLocal = (1 << 13) - 1;

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
