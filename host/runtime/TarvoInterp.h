#pragma once
// The machine's state while a program runs (its frames and its value stack), and what the
// machine's loop and the built-in function libraries share of it.
#include "TarvoNodes.h"

namespace tarvo {

class Interp {
public:
    Interp();
    ~Interp();

    // Raises a script error at nLine of the code running now, with the chain of calls.
    [[noreturn]] void Raise(int nCode, const KxString& sText, int nLine);
    // The calls running, innermost first, as the texts of ScriptError::vCalls.
    std::vector<KxString> Calls(int nLine) const;

    // The object a value refers to, or an error naming what was asked of it.
    KxScDataObject* ObjectOf(const Value& v, const char* pszWhat, const KxString& sName, int nLine);

    void StoreGlobal(KxScGlobalSlot* pSlot, Value v, int nLine);

    // Pending exception of a native method, raised in the script. Memory that ran short
    // during the call comes first: what the method did after it, its own error included,
    // may rest on a text or an object made short.
    void RaisePending(int nLine);
    // Memory the runtime or the utility library could not have (KxMemory.h) ends the step
    // that needed it: what it made may be short, so it goes no further.
    void RaiseMemoryShort(int nLine);
    [[noreturn]] void RaiseNoMemory(int nLine);

    // Room in s for nLength bytes: a text longer than a string can hold (or than memory
    // gives) is a script error, not a cut text. The length is counted wide, so a sum of
    // lengths cannot wrap on its way here.
    void Reserve(KxString& s, unsigned long long qwLength, int nLine);

    // Calls a value that holds a script function with nArgs arguments (error 103 for any
    // other value, 104 for another count); runs the machine until it returns.
    Value CallValue(const Value& fn, const Value* pArgs, int nArgs, const KxString& sName, int nLine);
    // Runs the top level of a text (the script's, or an include's as a call made at nLine).
    void RunTopLevel(Program& program, int nLine);

    // A call running: the text its code is in, the line of its caller that made the call; the
    // function (null for a text's top level), its chunk and next instruction, its locals, the end of the values it may have on the stack,
    // and where its result goes on the caller's stack.
    struct Frame {
        const KxString* psPath;
        int nCallLine;
        Function* pFunction;
        Chunk* pChunk;
        const uint32_t* ip;
        Value* base;
        Value* pTop;
        Value* pResult;
        int nSegment;      // the stack segment its values are in
        size_t nHandlers;  // the try handlers of the frames below it
        const KxString* Name() const { return pFunction ? &pFunction->sName : nullptr; }
    };
    std::vector<Frame> vFrames;  // outermost first

    // A `try` running: where its handler starts, in which frame, at what stack height.
    struct Handler {
        size_t nFrame;
        const uint32_t* ip;
        Value* sp;
    };
    std::vector<Handler> vHandlers;

    const KxString* psPath = nullptr;  // the text of the code running now
    KxScVmEnv* pEnv;

private:
    // The value stack: segments that never move, so frames keep pointers into them. A call
    // whose frame does not fit in what is left of its caller's segment gets the next one.
    struct Segment {
        std::unique_ptr<Value[]> pValues;
        size_t nSize;
    };
    std::vector<Segment> vSegments;
    int nSegment = 0;
    Value* sp = nullptr;
    Value* pSegmentEnd = nullptr;
    const char* pStackFloor = nullptr;
    unsigned nMadeSeen = 0;  // the pool's count of handles made, at the last statement's end
    // Pushes a frame for a function (null: a text's top level, chunk) whose nArgs arguments
    // are on top of the stack (pArgs null) or at pArgs; they become its first locals. Its
    // result will go where the arguments on the stack began, or at the top.
    void PushFrame(Function* pFunction, const KxString* psPath, int nCallLine, Chunk& chunk, int nArgs,
                   const Value* pArgs);
    // Takes the top frame off, its values from pFrom up to pTo let go (those above are
    // unset); the caller's segment is current again.
    void PopFrame(Value* pFrom, Value* pTo);
    // The machine's text and stack segment become the frame's again.
    void Resume(const Frame& f);
    // Runs frames until the one at nEntry returns: its result, with the stack as it was below
    // that frame's arguments.
    Value Execute(size_t nEntry);
    Value Loop(size_t nEntry);
    // A script error on its way out of the frames from nEntry up: true when a `try` among
    // them takes it (the machine goes on in its handler), false when none does (the frames
    // are gone).
    bool Catch(size_t nEntry, const ScriptError& e);
    void Unwind(size_t nEntry);
    // The loop's ways out of its fast paths, apart so that its own state stays in registers.
    Value GlobalValue(const Chunk& chunk, int n, int nLine);
    [[noreturn]] void UnsetLocal(int n, int nLine);
    Value OperandValue(const Chunk& chunk, const Value* base, uint32_t u, int nLine);
    bool CompareOperands(const Chunk& chunk, const Value* base, uint32_t u, uint32_t nCompare, int nLine);
    void Step(Chunk& chunk, Value* base, Value* sp, uint32_t uVar, uint32_t uOperand, int nLine);
    void StatementEnd(int nLine);
    // `x += v` and `x = x + a + ...`: the variable A of the chunk (a local of the frame at
    // base, or a global) joined with the nOperands values on the stack above its old value at
    // pOld, which all go.
    void Append(Chunk& chunk, Value* base, int a, bool bLocal, Value* pOld, int nOperands, int nLine);
    // The same on a string nothing else holds: appended in place (true).
    bool AppendInPlace(KxScDataHandle* phVariable, Value* pOld, int nOperands, int nLine);
};

// A name in quotes, as error texts give it: 'name'.
KxString Quoted(const KxString& sName);

// What values are to each other, the same for the machine and for the built-in functions.
bool Equal(const Value& a, const Value& b);
int CompareText(const KxString& a, const KxString& b);
// Two numbers by value, across integers and floats: -1, 0, 1, or 2 when a nan makes them
// unordered.
int CompareNumbers(const Value& a, const Value& b);
Value Binary(Interp& in, Tok op, const Value& a, const Value& b, int nLine);
Value Unary(Interp& in, Tok op, const Value& v, int nLine);
const char* OpText(Tok op);

// A value for error texts: a string quoted and cut to a few dozen bytes, anything else as
// Named gives it.
KxString Describe(const Value& v);
// A value as error texts name it: its short text, a list's or a map's cut to a few dozen
// bytes ("[1, 2, 3, ...").
KxString Named(const Value& v);

// True when the value holds a script function.
bool IsFunction(const Value& v);
// The number of parameters of the script function a value holds (IsFunction).
int FunctionParams(const Value& v);
// An error value, for `catch` and error().
Value MakeError(const ScriptError& e);
// `throw v`: raises the error v holds again, as it was; anything else is error 105.
[[noreturn]] void ThrowError(Interp& in, const Value& v, int nLine);
// A new string value that takes over the text.
Value NewString(KxString&& s);
// A new string of these bytes, with its reference for the caller; one too long for a string
// (or for memory) is error 120.
KxScDataHandle* TextHandle(Interp& in, const char* p, unsigned long long qwLength, int nLine);
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

// What the machine's instructions do beyond its fast paths (TarvoInterp.cpp).
Value Index(Interp& in, const Value& v, const Value& ix, int nLine);
// Error 105 unless v[ix] can be set (a list or a map); a string's bytes cannot.
void CheckSettable(Interp& in, const Value& v, int nLine);
void SetIndex(Interp& in, const Value& target, const Value& k, const Value& v, int nLine);
Value ReadProperty(Interp& in, const Value& v, const KxString& sName, int nLine);
void SetProperty(Interp& in, const Value& target, const KxString& sName, const Value& v, int nLine);
// The method `self.sName`, or nil when a built-in function serves it (a string, list or map
// with pBuiltin).
Value LookUpMethod(Interp& in, const Value& self, const KxString& sName, const Builtin* pBuiltin, int nLine);
// Calls what LookUpMethod gave: pArgs[0] is the object, the arguments follow.
Value CallMethod(Interp& in, const Value& method, const KxString& sName, const Builtin* pBuiltin, Value* pArgs,
                 int nArgs, int nLine);
// The script function a name calls: of that name, else a function in the global (site);
// error 102 when there is none.
Function* FindFunction(const KxString& sName);
// Error 104 unless a call gives the number of arguments its function takes.
[[noreturn]] void WrongArity(Interp& in, const KxString& sName, int nWanted, int nGiven, int nLine);
inline void CheckArity(Interp& in, const KxString& sName, int nWanted, int nGiven, int nLine) {
    if (nGiven != nWanted) WrongArity(in, sName, nWanted, nGiven, nLine);
}
Value FunctionValue(Function& fn);
Function& FunctionOf(const Value& fn);
// Functions change (a text is kept): call sites look their functions up again.
extern unsigned gnFunctionsGeneration;
inline unsigned FunctionsGeneration() { return gnFunctionsGeneration; }

}  // namespace tarvo
