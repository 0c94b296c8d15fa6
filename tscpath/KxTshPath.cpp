#include "KxTshPath.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "KxPathName.h"
#include "KxPathTree.h"

namespace {

const KxTshMethodDef kMethods[] = {
    {"Info", KXTSH_METHOD(KxTshPath, Info), 1},
    {"List", KXTSH_METHOD(KxTshPath, List), -1},
    {"Skipped", KXTSH_METHOD(KxTshPath, Skipped), 0},
    {"Full", KXTSH_METHOD(KxTshPath, Full), 1},
    {"Join", KXTSH_METHOD(KxTshPath, Join), -1},
    {"Parent", KXTSH_METHOD(KxTshPath, Parent), 1},
    {"Name", KXTSH_METHOD(KxTshPath, Name), 1},
    {"Extension", KXTSH_METHOD(KxTshPath, Extension), 1},
    {"IsInside", KXTSH_METHOD(KxTshPath, IsInside), 2},
    {"Move", KXTSH_METHOD(KxTshPath, Move), -1},
    {"Copy", KXTSH_METHOD(KxTshPath, Copy), -1},
    {"Remove", KXTSH_METHOD(KxTshPath, Remove), -1},
    {"Read", KXTSH_METHOD(KxTshPath, Read), -1},
};
const KxTshSignatureDef kSignatures[] = {
    {"Info", {"String"}}, {"Full", {"String"}},      {"Parent", {"String"}},
    {"Name", {"String"}}, {"Extension", {"String"}}, {"IsInside", {"String", "String"}},
};
const KxTshMethodDoc kDocs[] = {
    {"Info", {{"String path", nullptr}}},
    {"List", {{"String folder", nullptr}}},
    {"List", {{"String folder", nullptr}, {"String pattern", nullptr}}},
    {"List", {{"String folder", nullptr}, {"String pattern", nullptr}, {"int recursive", nullptr}}},
    {"Skipped", {}},
    {"Full", {{"String path", nullptr}}},
    {"Join", {{"String path", nullptr}, {"<var args>", nullptr}}},
    {"Parent", {{"String path", nullptr}}},
    {"Name", {{"String path", nullptr}}},
    {"Extension", {{"String path", nullptr}}},
    {"IsInside", {{"String path", nullptr}, {"String folder", nullptr}}},
    {"Move", {{"String from", nullptr}, {"String to", nullptr}}},
    {"Move", {{"String from", nullptr}, {"String to", nullptr}, {"int replace", nullptr}}},
    {"Copy", {{"String from", nullptr}, {"String to", nullptr}}},
    {"Copy", {{"String from", nullptr}, {"String to", nullptr}, {"int recursive", nullptr}}},
    {"Remove", {{"String path", nullptr}}},
    {"Remove", {{"String path", nullptr}, {"int recursive", nullptr}}},
    {"Read", {{"String path", nullptr}}},
    {"Read", {{"String path", nullptr}, {"int offset", nullptr}}},
    {"Read", {{"String path", nullptr}, {"int offset", nullptr}, {"int maxBytes", nullptr}}},
};
const int kPathError = 28, kArgumentError = 15;

// The folders the last List could not read, as the script is shown them.
std::vector<std::wstring> gSkipped;

// A path argument: as the script gave it (failures name what lies below it through it), in
// UTF-16, and in full.
struct PathArg {
    KxString sGiven;
    std::wstring sWide, sFull;
};

// The system's reason for an error, in UTF-8, as it words it ("Access is denied.").
KxString Reason(DWORD dwError) {
    wchar_t sz[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError, 0, sz,
                             sizeof sz / sizeof *sz, nullptr);
    while (n > 0 && (sz[n - 1] == L'\r' || sz[n - 1] == L'\n' || sz[n - 1] == L' ')) --n;
    if (n == 0) return KxTsh::Join("system error ", static_cast<int>(dwError), ".");
    return KxPath::Utf8(std::wstring(sz, n));
}

// One call of a method: its arguments read, and its errors raised, as "Path::Method(): ..."
// for misuse (15) and "Path::Method: PATH: REASON" for what the system refused (28).
class Call {
public:
    Call(const char* pszMethod, int nArgs, KxScDataHandle** pphArgs)
        : pszMethod(pszMethod), nArgs(pphArgs ? nArgs : 0), pphArgs(pphArgs) {}

    bool Has(int i) const { return KxTsh::Arg(nArgs, pphArgs, i) != nullptr; }
    KxScDataHandle* Misuse(const char* pszWhy) {
        KxTsh::Raise(kArgumentError, KxTsh::Join("Path::", pszMethod, "(): ", pszWhy));
        return nullptr;
    }
    bool Count(int nMin, int nMost, const char* pszNeed) {
        if (nArgs >= nMin && nArgs <= nMost) return true;
        Misuse(pszNeed);
        return false;
    }
    KxScDataHandle* Fail(const KxString& sShown, const KxString& sWhy) {
        KxTsh::Raise(kPathError, KxTsh::Join("Path::", pszMethod, ": ", sShown, ": ", sWhy));
        return nullptr;
    }
    // The failure, named through the argument whose full path it lies in.
    KxScDataHandle* Failed(const KxPathFailure& f, const PathArg& a, const PathArg* pb = nullptr) {
        const PathArg& arg = pb && KxPath::IsInside(f.sPath, pb->sFull) ? *pb : a;
        KxString sShown = arg.sGiven;
        if (f.sPath.size() > arg.sFull.size()) {
            std::wstring sBelow = f.sPath.substr(arg.sFull.size());
            if (sBelow[0] != L'\\') sBelow = L"\\" + sBelow;
            if (sShown.Length() == 0 || static_cast<const char*>(sShown)[sShown.Length() - 1] == '\\' ||
                static_cast<const char*>(sShown)[sShown.Length() - 1] == '/')
                sBelow.erase(0, 1);
            KxTsh::Append(sShown, KxPath::Utf8(sBelow));
        }
        KxString sWhy = f.pszWhy ? KxTsh::Join(f.pszWhy, ".") : Reason(f.dwError);
        if (f.pszNote) KxTsh::Append(sWhy, KxTsh::Join(" (", f.pszNote, ")"));
        return Fail(sShown, sWhy);
    }
    KxScDataHandle* Refused(const char* pszWhy, const PathArg& a) {
        KxPathFailure f;
        f.Refuse(pszWhy, a.sFull);
        return Failed(f, a);
    }
    // Argument i as a path: a string, whose UTF-8 the system can hold whole as a name, without
    // wildcards; with bFull its full path too.
    bool Path(int i, const char* pszWhat, PathArg& arg, bool bFull = true) {
        const KxString* ps = KxTsh::TextArg(nArgs, pphArgs, i);
        if (!ps) {
            Misuse(KxTsh::Join(pszWhat, " must be a string."));
            return false;
        }
        arg.sGiven = KxTsh::Join(*ps);
        if (!KxPath::Wide(*ps, arg.sWide) || arg.sWide.size() > KxTsh::kMaxSystemText) {
            Fail(arg.sGiven, KxTsh::Join("not a name the system can hold (it must be UTF-8, without NUL, of at most 32,766 characters)."));
            return false;
        }
        arg.sWide = KxPath::Slashed(arg.sWide);
        if (KxPath::HasWildcards(arg.sWide)) {
            Fail(arg.sGiven, KxTsh::Join("wildcards are no part of a name."));
            return false;
        }
        unsigned long dwError = 0;
        if (bFull && !KxPath::Full(arg.sWide, arg.sFull, dwError)) {
            Fail(arg.sGiven, Reason(dwError));
            return false;
        }
        return true;
    }
    // Argument i as a yes or no: absent or nil is no, an integer other than 0 yes.
    bool Flag(int i, const char* pszWhat, bool& bValue) {
        int n = 0;
        if (Has(i) && !KxTsh::IntArg(nArgs, pphArgs, i, &n)) {
            Misuse(KxTsh::Join(pszWhat, " must be 1 or 0."));
            return false;
        }
        bValue = n != 0;
        return true;
    }
    // Argument i as a count of bytes: absent or nil gives nDefault.
    bool Count(int i, const char* pszWhat, int nDefault, int& nValue) {
        nValue = nDefault;
        if (!Has(i)) return true;
        if (KxTsh::IntArg(nArgs, pphArgs, i, &nValue) && nValue >= 0) return true;
        Misuse(KxTsh::Join(pszWhat, " must be an integer of 0 or more."));
        return false;
    }
    // The arguments of Move and Copy: from (which must be there), to, and the flag named.
    struct Transfer {
        PathArg from, to;
        bool bFlag = false;
        KxPathEntry entry;
    };
    bool FromTo(const char* pszFlag, Transfer& t) {
        return Count(2, 3, "Need two or three parameters.") && Path(0, "from", t.from) && Path(1, "to", t.to) &&
               Flag(2, pszFlag, t.bFlag) && Stat(t.from, t.entry);
    }
    // The entry at the argument's path; a missing one fails with the system's reason.
    bool Stat(const PathArg& arg, KxPathEntry& entry) {
        KxPathFailure f;
        if (KxPathTree::Stat(arg.sFull, entry, f)) return true;
        Failed(f, arg);
        return false;
    }

    const char* pszMethod;
    int nArgs;
    KxScDataHandle** pphArgs;
};

KxScDataHandle* Text(const std::wstring& s) { return KxScDataHandle::CreateData(KxPath::Utf8(s), false); }

// The runtime's 64-bit integer, where it offers one: HX_KOT_TarvoRuntime.dll's
// KxScCreateInteger64 gives a handle with the caller's reference, an ordinary integer when the
// value fits 32 bits.
typedef KxScDataHandle* (*MakeInteger64)(long long);

// A size as the script gets it: an integer when it fits the contract's 32 bits; past that the
// runtime's 64-bit integer, or where the runtime has none the decimal text. Never cut.
KxScDataHandle* SizeValue(const void* pvSize) {
    unsigned long long qwSize = *static_cast<const unsigned long long*>(pvSize);
    if (qwSize <= 0x7FFFFFFF) return KxScDataHandle::CreateData(static_cast<int>(qwSize));
    static MakeInteger64 pfnMake = nullptr;
    if (!pfnMake) pfnMake = KxTsh::LookUp<MakeInteger64>(GetModuleHandleA("HX_KOT_TarvoRuntime.dll"), "KxScCreateInteger64");
    if (pfnMake) {
        KxScDataHandle* ph = pfnMake(static_cast<long long>(qwSize));
        if (!ph) throw std::bad_alloc();
        return ph;
    }
    char szDigits[24];
    char* p = szDigits + sizeof szDigits;
    *--p = 0;
    do *--p = static_cast<char>('0' + qwSize % 10);
    while (qwSize /= 10);
    return KxScDataHandle::CreateData(KxTsh::Join(p), false);
}

// A time as now() gives the local time, "YYYY-MM-DD HH:MM:SS"; "" for one the file system does
// not keep (0).
void TimeText(const FILETIME& ft, char (&sz)[32]) {
    FILETIME ftLocal;
    SYSTEMTIME st;
    sz[0] = 0;
    if ((ft.dwLowDateTime | ft.dwHighDateTime) == 0 || !FileTimeToLocalFileTime(&ft, &ftLocal) ||
        !FileTimeToSystemTime(&ftLocal, &st))
        return;
    std::snprintf(sz, sizeof sz, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
}

KxScDataHandle* EntryRecord(const KxPathEntry& e) {
    KxString sName = KxPath::Utf8(e.sName), sPath = KxPath::Utf8(KxPath::Shown(e.sPath));
    char szModified[32], szCreated[32], szAccessed[32];
    TimeText(e.ftModified, szModified);
    TimeText(e.ftCreated, szCreated);
    TimeText(e.ftAccessed, szAccessed);
    auto bit = [&](DWORD dwBit) { return (e.dwAttributes & dwBit) ? 1 : 0; };
    return KxTsh::Record({{"name", 0, sName},
                          {"path", 0, sPath},
                          {"folder", bit(FILE_ATTRIBUTE_DIRECTORY), nullptr},
                          {"size", 0, nullptr, SizeValue, &e.qwSize},
                          {"modified", 0, szModified},
                          {"created", 0, szCreated},
                          {"accessed", 0, szAccessed},
                          {"readOnly", bit(FILE_ATTRIBUTE_READONLY), nullptr},
                          {"hidden", bit(FILE_ATTRIBUTE_HIDDEN), nullptr},
                          {"attr", static_cast<int>(e.dwAttributes), nullptr}});
}

// Errors that say nothing is there (Info gives nil for them).
bool NothingThere(DWORD dwError) {
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NOT_READY: return true;
    default: return false;
    }
}

// Whether removing the folder would take the host's own ground: the current folder, or the
// folder of the host's program, lies in it. False with the failure when either cannot be read.
bool HoldsTheHost(const std::wstring& sFull, bool& bHolds, KxPathFailure& f) {
    const DWORD kRoom = 32768;
    std::unique_ptr<wchar_t[]> p(new wchar_t[kRoom]);
    DWORD n = GetCurrentDirectoryW(kRoom, p.get());
    if (n == 0 || n >= kRoom) return f.Set(GetLastError(), sFull);
    bHolds = KxPath::IsInside(std::wstring(p.get(), n), sFull);
    n = GetModuleFileNameW(nullptr, p.get(), kRoom);
    if (n == 0 || n >= kRoom) return f.Set(GetLastError(), sFull);
    bHolds = bHolds || KxPath::IsInside(KxPath::Parent(std::wstring(p.get(), n)), sFull);
    return true;
}

}  // namespace

const KxTshClassDef KxTshPath::kDef = {kMethods, kSignatures, {}, kDocs, {}, {}, true, kPathError};

KxTshPath::KxTshPath(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS) { BuildClassObject(); }

KxScDataHandle* KxTshPath::Info(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Info", nArgs, pphArgs);
    PathArg path;
    if (!c.Path(0, "path", path)) return nullptr;
    KxPathEntry entry;
    KxPathFailure f;
    if (KxPathTree::Stat(path.sFull, entry, f)) return EntryRecord(entry);
    return NothingThere(f.dwError) ? nullptr : c.Failed(f, path);
}

KxScDataHandle* KxTshPath::List(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("List", nArgs, pphArgs);
    PathArg folder;
    std::wstring sPattern = L"*";
    bool bRecursive = false;
    if (!c.Count(1, 3, "Need one to three parameters.") || !c.Path(0, "folder", folder)) return nullptr;
    if (c.Has(1)) {
        const KxString* ps = KxTsh::TextArg(c.nArgs, pphArgs, 1);
        if (!ps || !KxPath::Wide(*ps, sPattern) || sPattern.find_first_of(L"\\/") != std::wstring::npos)
            return c.Misuse("pattern must be a name, with * and ? as wildcards.");
    }
    if (!c.Flag(2, "recursive", bRecursive)) return nullptr;
    gSkipped.clear();
    KxPathEntry top;
    if (!c.Stat(folder, top)) return nullptr;
    KxPathFailure f;
    if (!top.IsFolder()) {
        f.Set(ERROR_DIRECTORY, folder.sFull);
        return c.Failed(f, folder);
    }
    std::vector<KxPathEntry> entries, matched;
    std::vector<std::wstring> skipped;
    if (!KxPathTree::List(folder.sFull, bRecursive, entries, &skipped, f)) return c.Failed(f, folder);
    for (KxPathEntry& e : entries)
        if (KxPath::Matches(e.sName, sPattern)) matched.push_back(std::move(e));
    for (const std::wstring& s : skipped) gSkipped.push_back(KxPath::Shown(s));
    return KxTsh::List(static_cast<unsigned>(matched.size()), [&](unsigned i) { return EntryRecord(matched[i]); });
}

KxScDataHandle* KxTshPath::Skipped(KxScDataHandle*, int, KxScDataHandle**) {
    return KxTsh::List(static_cast<unsigned>(gSkipped.size()), [](unsigned i) { return Text(gSkipped[i]); });
}

KxScDataHandle* KxTshPath::Full(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Full", nArgs, pphArgs);
    PathArg path;
    return c.Path(0, "path", path) ? Text(KxPath::Shown(path.sFull)) : nullptr;
}

KxScDataHandle* KxTshPath::Join(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Join", nArgs, pphArgs);
    if (!c.Count(1, 0x7FFFFFFF, "Need one or more parameters.")) return nullptr;
    std::wstring sJoined;
    for (int i = 0; i < c.nArgs; ++i) {
        PathArg part;
        if (!c.Path(i, "each part", part, false)) return nullptr;
        sJoined = KxPath::Join(sJoined, part.sWide);
    }
    return Text(sJoined);
}

// Parent, Name and Extension: one text of the path's.
template <std::wstring (*Part)(const std::wstring&)>
KxScDataHandle* PartOf(const char* pszMethod, int nArgs, KxScDataHandle** pphArgs) {
    Call c(pszMethod, nArgs, pphArgs);
    PathArg path;
    return c.Path(0, "path", path, false) ? Text(Part(path.sWide)) : nullptr;
}

KxScDataHandle* KxTshPath::Parent(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return PartOf<KxPath::Parent>("Parent", nArgs, pphArgs);
}

KxScDataHandle* KxTshPath::Name(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return PartOf<KxPath::Name>("Name", nArgs, pphArgs);
}

KxScDataHandle* KxTshPath::Extension(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return PartOf<KxPath::Extension>("Extension", nArgs, pphArgs);
}

KxScDataHandle* KxTshPath::IsInside(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("IsInside", nArgs, pphArgs);
    PathArg path, folder;
    if (!c.Path(0, "path", path) || !c.Path(1, "folder", folder)) return nullptr;
    return KxTsh::Bool(KxPath::IsInside(path.sFull, folder.sFull));
}

KxScDataHandle* KxTshPath::Move(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Move", nArgs, pphArgs);
    Call::Transfer t;
    if (!c.FromTo("replace", t)) return nullptr;
    // A folder moved into itself; the same name again (in other case, say) is the system's.
    if (t.entry.IsFolder() && KxPath::IsInside(t.to.sFull, t.from.sFull) &&
        KxPath::Upper(t.to.sFull) != KxPath::Upper(t.from.sFull))
        return c.Refused("the destination lies inside the source", t.to);
    KxPathFailure f;
    return KxPathTree::Move(t.entry, t.to.sFull, t.bFlag, f) ? KxTsh::Bool(true) : c.Failed(f, t.from, &t.to);
}

KxScDataHandle* KxTshPath::Copy(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Copy", nArgs, pphArgs);
    Call::Transfer t;
    if (!c.FromTo("recursive", t)) return nullptr;
    if (t.entry.IsFolder() && !t.bFlag) return c.Refused("a folder is copied with recursive 1 only", t.from);
    if (KxPath::IsInside(t.to.sFull, t.from.sFull)) return c.Refused("the destination lies inside the source", t.to);
    KxPathFailure f;
    return KxPathTree::Copy(t.entry, t.to.sFull, t.bFlag, f) ? KxTsh::Bool(true) : c.Failed(f, t.from, &t.to);
}

KxScDataHandle* KxTshPath::Remove(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Remove", nArgs, pphArgs);
    PathArg path;
    bool bRecursive = false;
    KxPathEntry entry;
    if (!c.Count(1, 2, "Need one or two parameters.") || !c.Path(0, "path", path) || !c.Flag(1, "recursive", bRecursive))
        return nullptr;
    // The names the host stands on are refused whatever is there.
    std::wstring sPlain = KxPath::Plain(path.sFull);
    if (KxPath::RootLength(sPlain) >= sPlain.size()) return c.Refused("a drive or share root is never removed", path);
    KxPathFailure f;
    bool bHolds = false;
    if (!HoldsTheHost(path.sFull, bHolds, f)) return c.Failed(f, path);
    if (bHolds) return c.Refused("it holds the folder the host runs in", path);
    if (!c.Stat(path, entry)) return nullptr;
    return KxPathTree::Remove(entry, bRecursive, f) ? KxTsh::Bool(true) : c.Failed(f, path);
}

KxScDataHandle* KxTshPath::Read(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    Call c("Read", nArgs, pphArgs);
    PathArg path;
    int nOffset = 0, nMost = -1;
    if (!c.Count(1, 3, "Need one to three parameters.") || !c.Path(0, "path", path) ||
        !c.Count(1, "offset", 0, nOffset) || !c.Count(2, "maxBytes", -1, nMost))
        return nullptr;
    KxPathFailure f;
    // Every share mode: writers, and a program that renames or deletes the file, go on.
    HANDLE h = CreateFileW(path.sFull.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        f.Set(GetLastError(), path.sFull);
        return c.Failed(f, path);
    }
    std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(h, CloseHandle);
    DWORD dwHigh = 0, dwLow = GetFileSize(h, &dwHigh);
    LONG nHigh = 0;
    if ((dwLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) ||
        (SetFilePointer(h, nOffset, &nHigh, FILE_BEGIN) == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)) {
        f.Set(GetLastError(), path.sFull);
        return c.Failed(f, path);
    }
    unsigned long long qwSize = static_cast<unsigned long long>(dwHigh) << 32 | dwLow;
    if (qwSize <= static_cast<unsigned>(nOffset)) return nullptr;
    unsigned long long qwWanted = qwSize - nOffset;
    if (nMost >= 0 && qwWanted > static_cast<unsigned>(nMost)) qwWanted = nMost;
    if (qwWanted > KxString::MAX_LENGTH) throw std::bad_alloc();
    KxString sBytes = KxTsh::Join("");
    std::unique_ptr<char[]> pChunk(new char[65536]);
    // A file cut shorter meanwhile gives what it still holds.
    for (unsigned long long qwLeft = qwWanted; qwLeft > 0;) {
        DWORD dwRead = 0, dwAsk = qwLeft < 65536 ? static_cast<DWORD>(qwLeft) : 65536;
        if (!ReadFile(h, pChunk.get(), dwAsk, &dwRead, nullptr)) {
            f.Set(GetLastError(), path.sFull);
            return c.Failed(f, path);
        }
        if (dwRead == 0) break;
        KxTsh::Append(sBytes, pChunk.get(), dwRead);
        qwLeft -= dwRead;
    }
    return KxScDataHandle::CreateData(sBytes, false);
}
