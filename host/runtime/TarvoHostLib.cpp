// The built-in functions that reach the host: exit, standard input, other script files, time.
#include <windows.h>

#include <cstdio>

#include "TarvoLib.h"

namespace tarvo {
namespace {

Value Exit(Args& a) { throw ScriptExit{a.Has(0) ? a.Int32(0) : 0}; }

Value ReadLine(Args& a) {
    KxString sLine(NULL_STRING);
    if (!RtReadStdLine(&sLine)) return Value::Nil();
    a.in.RaiseMemoryShort(a.nLine);
    return NewString(static_cast<KxString&&>(sLine));
}

// ---- include

// The texts included so far, by their full path in lower case: 1 while one runs, 2 once it
// ran to its end.
KxHashTable gIncluded;

bool IsAbsolute(const KxString& s) {
    const char* p = s;
    return s.Length() > 0 && (p[0] == '\\' || p[0] == '/' || (s.Length() > 1 && p[1] == ':'));
}

// A name relative to the folder of the text that includes it.
KxString Resolve(const KxString& sName, const KxString& sIncluder) {
    if (IsAbsolute(sName)) return sName;
    const char* p = sIncluder;
    int nFolder = 0;
    for (int i = 0; i < static_cast<int>(sIncluder.Length()); ++i)
        if (p[i] == '\\' || p[i] == '/') nFolder = i + 1;
    KxString s(p, nFolder);
    s << sName;
    return s;
}

// The text's identity: its full path, in lower case (the file system ignores ASCII case).
KxString Identity(const KxString& sPath) {
    char sz[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(sPath, sizeof sz, sz, nullptr);
    KxString s(n > 0 && n < sizeof sz ? KxString(sz, n) : sPath);
    char* pc = s;
    for (unsigned i = 0; i < s.Length(); ++i)
        if (pc[i] >= 'A' && pc[i] <= 'Z') pc[i] = static_cast<char>(pc[i] + 32);
    return s;
}

Value Include(Args& a) {
    KxString sPath = Resolve(a.Text(0), *a.in.psPath);
    KxString sKey = Identity(sPath);
    void* pv = nullptr;
    if (gIncluded.Lookup(sKey, &pv)) {
        if (reinterpret_cast<intptr_t>(pv) == 2) return Value::Nil();
        a.Fail(ERR_INCLUDE, sPath + " includes itself, through the texts it includes");
    }
    KxString sSource(NULL_STRING);
    unsigned long dwError = 0;
    if (!ReadSource(sPath, &sSource, &dwError)) {
        KxString s("cannot read ");
        s << sPath << " (error " << static_cast<int>(dwError) << ")";
        a.Fail(ERR_INCLUDE, s);
    }
    Program& program = KeepProgram(Compile(sSource, sPath));
    // A text that ends with an error may be included again.
    struct Mark {
        const KxString& sKey;
        bool bDone = false;
        ~Mark() {
            if (bDone) gIncluded.Insert(sKey, reinterpret_cast<void*>(intptr_t(2)));
            else gIncluded.Remove(sKey);
        }
    } mark{sKey};
    gIncluded.Insert(sKey, reinterpret_cast<void*>(intptr_t(1)));
    a.in.RunTopLevel(program, a.nLine);
    mark.bDone = true;
    return Value::Nil();
}

// ---- time

// Milliseconds since the runtime started, from the performance counter: monotonic, and
// counted in 64 bits, so it does not wrap with the tick count after 49 days. The integer a
// script gets wraps after 24 days, as integers do; differences stay right across that.
Value Clock(Args&) { return Value::Int(static_cast<int64_t>(RtMillisecondsSinceStart())); }

Value Now(Args& a) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char sz[32];
    int n = std::snprintf(sz, sizeof sz, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                          st.wHour, st.wMinute, st.wSecond);
    KxString s(NULL_STRING);
    a.in.Reserve(s, n, a.nLine);
    s.Append(sz, n);
    return NewString(static_cast<KxString&&>(s));
}

}  // namespace

void ForgetIncludes() { gIncluded.RemoveAll(); }

const Builtin kHostLibrary[] = {
    {"exit", 0, 1, Exit},
    {"readLine", 0, 0, ReadLine},
    {"include", 1, 1, Include},
    {"clock", 0, 0, Clock},
    {"now", 0, 0, Now},
    {nullptr, 0, 0, nullptr},
};

}  // namespace tarvo
