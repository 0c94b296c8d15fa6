#pragma once
// The built-in functions: each library is one table of them, in a file of its own.
#include "TarvoInterp.h"

namespace tarvo {

// The arguments of a built-in function's call, and the checks every function makes of them:
// an argument of the wrong kind is error 105, with a text that names the function, the
// argument and what it must be.
struct Args {
    Interp& in;
    const char* pszName;
    Value* v;  // on the machine's stack
    int n;
    int nLine;

    int Count() const { return n; }
    bool Has(int i) const { return i < n; }
    Value& operator[](int i) { return v[i]; }
    Value* begin() { return v; }
    Value* end() { return v + n; }
    // Raises "NAME(): TEXT".
    [[noreturn]] void Fail(int nCode, const KxString& sText);
    [[noreturn]] void Expected(int i, const char* pszWhat);
    KxScListObject* List(int i);
    KxScMapObject* Map(int i);
    const KxString& Text(int i);
    int64_t Int(int i);
    // An integer that must fit 32 bits (a code, a status); past that, error 106.
    int Int32(int i);
};

struct Builtin {
    const char* pszName;
    int nMin, nMax;  // argument counts; nMax -1: any number
    Value (*pfn)(Args& a);
};

// Each library's table ends with a null name.
extern const Builtin kCoreLibrary[];
extern const Builtin kListLibrary[];
extern const Builtin kTextLibrary[];
extern const Builtin kHostLibrary[];
// A text read from a file, while it runs: include finds what it includes from the folder its
// path named when it was read (sFull: its full path then; by default from the current
// folder), and a text that includes it, itself included, is error 111. Once it ran to its end
// (bDone) a later include of it does nothing; after an error it may be included again.
struct TextRun {
    explicit TextRun(const KxString& sPath);
    TextRun(const KxString& sPath, const KxString& sFull);
    TextRun(const TextRun&) = delete;
    TextRun& operator=(const TextRun&) = delete;
    ~TextRun();
    KxString sKey;
    bool bDone = false;
};
// Forgets which texts were included (the runtime shuts down).
void ForgetIncludes();

const Builtin* FindBuiltin(const KxString& sName);

// A loop over split(text, separator) takes the fields one at a time, as it comes to them, when
// the separator is one byte: the list is never made, and each field can go once the loop has
// passed it. (Everything else about the loop is as over the list.) kSplit is split's name;
// NextField gives the field of text that starts at place (a byte offset) and moves place past
// its separator, or gives false when the text has no more.
extern const char kSplit[];
bool NextField(Interp& in, const Value& text, char cSeparator, Value& place, Value* pField, int nLine);
// Checks the argument count (error 104), then calls; memory that ran short in it is error 121.
Value CallBuiltin(Interp& in, const Builtin& b, Value* pArgs, int nArgs, int nLine);

}  // namespace tarvo
