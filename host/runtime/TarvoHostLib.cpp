// The built-in functions that reach the host: exit, standard input, other script files, time,
// and the code pages other programs write in.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "TarvoLib.h"

namespace tarvo {
namespace {

Value Exit(Args& a) { throw ScriptExit{a.Has(0) ? a.Int32(0) : 0}; }

Value ReadLine(Args& a) {
    KxString sLine(NULL_STRING);
    RtStdRead read = RtReadStdLine(&sLine);
    // A run interrupted while it waits for input stops here, at once.
    if (read == RT_INTERRUPTED) throw ScriptInterrupt{};
    if (read == RT_ENDED) return Value::Nil();
    a.in.RaiseMemoryShort(a.nLine);
    return NewString(static_cast<KxString&&>(sLine));
}

// ---- include

// The texts read from files so far, by their identity (TextKey): 1 while one runs, 2 once it
// ran to its end.
KxHashTable gIncluded;
// The full path each text had when it was read, by its path as written (as errors show it):
// the folder a relative path named then is the one its includes are found in, whatever the
// current folder is by the time they run.
class FullPaths : public KxHashTable {
public:
    ~FullPaths() override { RemoveAll(); }

private:
    void OnRemove(const KxString&, void* pv) override { delete static_cast<KxString*>(pv); }
} gFullPaths;

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

// The path as a full one, from the current folder (the path itself when the system cannot
// tell).
KxString FullPath(const KxString& sPath) {
    char sz[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(sPath, sizeof sz, sz, nullptr);
    return n > 0 && n < sizeof sz ? KxString(sz, n) : sPath;
}

// The full path of the text written as sPath, as it was when the text was read.
KxString FullPathWhenRead(const KxString& sPath) {
    void* pv = nullptr;
    return gFullPaths.Lookup(sPath, &pv) ? *static_cast<KxString*>(pv) : FullPath(sPath);
}

// The file as the system knows it: its volume and its index there, one for every spelling
// of its name (any case, a short name, a link). Where the system cannot tell, its full path
// in lower case (of the letters A to Z).
KxString TextKey(const KxString& sFull) {
    HANDLE h = CreateFileA(sFull, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool bKnown = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (bKnown) {
        char sz[40];
        int n = std::snprintf(sz, sizeof sz, "%lx:%lx:%lx", info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
        return KxString(sz, n);
    }
    KxString s("path:");
    s << sFull;
    char* pc = s;
    for (unsigned i = 0; i < s.Length(); ++i)
        if (pc[i] >= 'A' && pc[i] <= 'Z') pc[i] = static_cast<char>(pc[i] + 32);
    return s;
}

Value Include(Args& a) {
    KxString sPath = Resolve(a.Text(0), *a.in.psPath);
    KxString sFull = FullPath(Resolve(a.Text(0), FullPathWhenRead(*a.in.psPath)));
    KxString sKey = TextKey(sFull);
    void* pv = nullptr;
    if (gIncluded.Lookup(sKey, &pv)) {
        if (reinterpret_cast<intptr_t>(pv) == 2) return Value::Nil();
        a.Fail(ERR_INCLUDE, sPath + " includes itself, through the texts it includes");
    }
    KxString sSource(NULL_STRING);
    unsigned long dwError = 0;
    if (!ReadSource(sFull, &sSource, &dwError)) {
        KxString s("cannot read ");
        s << sPath << ": " << RtSystemReason(dwError);
        a.Fail(ERR_INCLUDE, s);
    }
    Program& program = KeepProgram(Compile(sSource, sPath));
    TextRun run(program.sPath, sFull);
    a.in.RunTopLevel(program, a.nLine);
    run.bDone = true;
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

// ---- code pages

// The system's code page of the kind (LOCALE_IDEFAULTCODEPAGE: the OEM one, the console's;
// LOCALE_IDEFAULTANSICODEPAGE: the ANSI one), as the system's locale has it: the host itself
// may run in UTF-8 (its manifest), but the programs it starts write in the system's pages.
unsigned SystemPage(LCTYPE nKind, unsigned nFallback) {
    char sz[8];
    unsigned nPage = GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, nKind, sz, sizeof sz) ? std::strtoul(sz, nullptr, 10) : 0;
    return nPage ? nPage : nFallback;
}

// The text's bytes in the named code page, in UTF-16: "utf16" as they are (little-endian,
// as cmd /u writes), "oem" the page of the host's console (a console program writes in it;
// with no console the system's OEM page), "ansi" the system's ANSI page.
Value FromCodePage(Args& a) {
    const KxString& sText = a.Text(0);
    const KxString& sPage = a.Text(1);
    unsigned nBytes = sText.Length();
    const char* pBytes = sText;
    std::unique_ptr<wchar_t[]> pOwn;
    const wchar_t* pWide;
    unsigned nChars;
    if (sPage == "utf16") {
        if (nBytes % 2) a.Fail(ERR_TYPE, "a UTF-16 text has an even number of bytes");
        nChars = nBytes / 2;
        pOwn.reset(new (std::nothrow) wchar_t[nChars + 1]);
        if (!pOwn) a.in.RaiseNoMemory(a.nLine);
        if (nBytes) std::memcpy(pOwn.get(), pBytes, nBytes);
        pWide = pOwn.get();
    } else {
        unsigned nPage;
        if (sPage == "oem") {
            nPage = GetConsoleOutputCP();
            if (!nPage) nPage = SystemPage(LOCALE_IDEFAULTCODEPAGE, CP_OEMCP);
        } else if (sPage == "ansi") {
            nPage = SystemPage(LOCALE_IDEFAULTANSICODEPAGE, CP_ACP);
        } else {
            a.Expected(1, "\"oem\", \"ansi\" or \"utf16\"");
        }
        // A byte stands for one character at most: as many UTF-16 units as bytes are enough.
        pOwn.reset(new (std::nothrow) wchar_t[nBytes + 1]);
        if (!pOwn) a.in.RaiseNoMemory(a.nLine);
        int n = nBytes ? MultiByteToWideChar(nPage, 0, pBytes, static_cast<int>(nBytes), pOwn.get(), static_cast<int>(nBytes)) : 0;
        if (nBytes && n <= 0) a.Fail(ERR_TYPE, "the system cannot convert from that code page");
        nChars = static_cast<unsigned>(n);
        pWide = pOwn.get();
    }
    // Into UTF-8 a piece at a time (a UTF-8 text may be longer than an int counts), never
    // between the two halves of a pair: the length first, then the text.
    const unsigned kPiece = 1 << 20;
    auto piece = [&](unsigned nFrom) {
        unsigned n = nChars - nFrom < kPiece ? nChars - nFrom : kPiece;
        if (nFrom + n < nChars && IS_HIGH_SURROGATE(pWide[nFrom + n - 1])) --n;
        return n;
    };
    unsigned long long qwLength = 0;
    for (unsigned i = 0, n; i < nChars; i += n) {
        n = piece(i);
        qwLength += WideCharToMultiByte(CP_UTF8, 0, pWide + i, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    }
    KxString s(NULL_STRING);
    a.in.Reserve(s, qwLength, a.nLine);
    std::unique_ptr<char[]> pUtf8(new (std::nothrow) char[3 * kPiece]);
    if (!pUtf8) a.in.RaiseNoMemory(a.nLine);
    for (unsigned i = 0, n; i < nChars; i += n) {
        n = piece(i);
        int nOut = WideCharToMultiByte(CP_UTF8, 0, pWide + i, static_cast<int>(n), pUtf8.get(), 3 * kPiece, nullptr, nullptr);
        s.Append(pUtf8.get(), static_cast<unsigned>(nOut));
    }
    return NewString(static_cast<KxString&&>(s));
}

}  // namespace

TextRun::TextRun(const KxString& sPath) : TextRun(sPath, FullPath(sPath)) {}

TextRun::TextRun(const KxString& sPath, const KxString& sFull) : sKey(TextKey(sFull)) {
    void* pv = nullptr;
    if (!gFullPaths.Lookup(sPath, &pv)) gFullPaths.Insert(sPath, new KxString(sFull));
    gIncluded.Insert(sKey, reinterpret_cast<void*>(intptr_t(1)));
}

// A text that ends with an error may be included again.
TextRun::~TextRun() {
    if (bDone) gIncluded.Insert(sKey, reinterpret_cast<void*>(intptr_t(2)));
    else gIncluded.Remove(sKey);
}

void ForgetIncludes() {
    gIncluded.RemoveAll();
    gFullPaths.RemoveAll();
}

const Builtin kHostLibrary[] = {
    {"exit", 0, 1, Exit},
    {"readLine", 0, 0, ReadLine},
    {"include", 1, 1, Include},
    {"clock", 0, 0, Clock},
    {"now", 0, 0, Now},
    {"fromCodePage", 2, 2, FromCodePage},
    {nullptr, 0, 0, nullptr},
};

}  // namespace tarvo
