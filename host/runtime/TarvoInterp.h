#pragma once
// The interpreter's state while a program runs, and what the node kinds and the built-in
// function libraries share of it.
#include "TarvoNodes.h"

namespace tarvo {

class Interp {
public:
    explicit Interp(const KxString* psPath);

    // Raises a script error at nLine of the code running now, with the chain of calls.
    [[noreturn]] void Raise(int nCode, const KxString& sText, int nLine);
    // The calls running, innermost first, as the texts of ScriptError::vCalls.
    std::vector<KxString> Calls(int nLine) const;

    // The object a value refers to, or an error naming what was asked of it.
    KxScDataObject* ObjectOf(const Value& v, const char* pszWhat, const KxString& sName, int nLine);

    // A variable's value (unassigned: error 101), and its assignment.
    Value Load(const VarRef& var, int nLine);
    void Store(const VarRef& var, Value v, int nLine);
    void StoreGlobal(KxScGlobalSlot* pSlot, Value v, int nLine);

    // Pending exception of a native method, raised in the script. Memory that ran short
    // during the call comes first: what the method did after it, its own error included,
    // may rest on a text or an object made short.
    void RaisePending(int nLine);
    // Memory the runtime or the utility library could not have (KxMemory.h) ends the step
    // that needed it: what it made may be short, so it goes no further.
    void RaiseMemoryShort(int nLine);
    [[noreturn]] void RaiseNoMemory(int nLine);
    void MaybeCollect() {
        if (RtCollectDue()) KxScDataHandle::GarbageCollect();
    }

    // Room in s for nLength bytes: a text longer than a string can hold (or than memory
    // gives) is a script error, not a cut text. The length is counted wide, so a sum of
    // lengths cannot wrap on its way here.
    void Reserve(KxString& s, unsigned long long qwLength, int nLine);

    // Calls a script function with its arguments (as many as it has parameters).
    Value Call(Function& fn, std::vector<Value>& vArgs, int nLine);
    // Runs the top level of another text (an include) as a call made at nLine.
    void RunTopLevel(Program& program, int nLine);
    // Calls a value that holds a script function; anything else is error 103.
    Value CallValue(const Value& fn, std::vector<Value>& vArgs, const KxString& sName, int nLine);

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

    // A call running: the function (null for a text's top level), the text its code is in,
    // and the line of its caller that made the call.
    struct Frame {
        const KxString* psName;
        const KxString* psPath;
        int nCallLine;
    };
    std::vector<Frame> vFrames;  // outermost first: the script's top level

    Value* pLocals = nullptr;
    const KxString* psPath;
    KxScVmEnv* pEnv;
    const char* pStackFloor;
    int nDepth = 0;   // script function calls
    int nLevels = 0;  // nested evaluation, calls included
    Value retval;
};

// What values are to each other, the same for operators and for the built-in functions.
bool Equal(const Value& a, const Value& b);
int CompareText(const KxString& a, const KxString& b);
// Two numbers by value, across integers and floats: -1, 0, 1, or 2 when a nan makes them
// unordered.
int CompareNumbers(const Value& a, const Value& b);
Value Binary(Interp& in, Tok op, const Value& a, const Value& b, int nLine);
Value Unary(Interp& in, Tok op, const Value& v, int nLine);
const char* OpText(Tok op);

// A value for error texts: a string quoted and cut to a few dozen bytes, anything else its
// short text.
KxString Describe(const Value& v);

// True when the value holds a script function.
bool IsFunction(const Value& v);
// An error value, for `catch` and error().
Value MakeError(const ScriptError& e);
// A new string value that takes over the text.
Value NewString(KxString&& s);
// New, empty containers; memory that cannot be had is error 121.
Value NewList(Interp& in, int nRoom, int nLine);
Value NewMap(Interp& in, int nLine);
inline KxScListObject* ListObject(const Value& v) { return static_cast<KxScListObject*>(v.Object()); }
inline KxScMapObject* MapObject(const Value& v) { return static_cast<KxScMapObject*>(v.Object()); }
// Appends an item; the list has room for it (Reserve) or memory is error 121.
void Push(Interp& in, KxScListObject* pList, const Value& v, int nLine);
// A value as a map key (an integer or a string); anything else is error 105.
RtKey KeyOf(Interp& in, const Value& k, int nLine);
// Sets a map's entry, or error 121.
void PutEntry(Interp& in, KxScMapObject* pMap, const Value& k, const Value& v, int nLine);
// An index counted from the end when negative, checked against nCount (error 106).
int ItemIndex(Interp& in, const Value& ix, int nCount, int nLine);

}  // namespace tarvo
