// Path over trees on disk: UTF-8 names and paths past the classic length, a copy into itself,
// read-only files in a removed tree, a 3 GiB sparse file's size, a moved folder, a file read
// while a File writes it; and the parts of paths, which are texts alone. (tests/path/links
// walks a junction loop through the host; tests/scripts/code_pages.tarvo converts program
// output.)
#include <windows.h>
#include <winioctl.h>

#include <string>

#include "KxPathName.h"
#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "KxTshPath.h"
#include "scratch_folder.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshPath, "Path");
KXTSH_DEFINE_STATICS(KxTshFile, "File");
KXTSH_DEFINE_STATICS(KxTshDirectory, "Directory");

namespace {

std::wstring W(const char* pszUtf8) {
    wchar_t aw[1024];
    int n = MultiByteToWideChar(CP_UTF8, 0, pszUtf8, -1, aw, 1024);
    return std::wstring(aw, n > 0 ? n - 1 : 0);
}
// Files and folders made with the system's Unicode calls (the test program's own code page
// is not UTF-8), named in UTF-8. A file's three times are set to one long past, which no copy
// gets by itself.
void MakeFolder(const char* pszName) { ASSERT_TRUE(CreateDirectoryW(W(pszName).c_str(), nullptr)) << pszName; }
void MakeFile(const char* pszName, const std::string& sBytes, DWORD dwAttributes = 0) {
    HANDLE h = CreateFileW(W(pszName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << pszName;
    DWORD dw = 0;
    WriteFile(h, sBytes.data(), static_cast<DWORD>(sBytes.size()), &dw, nullptr);
    SYSTEMTIME st = {2001, 2, 6, 3, 4, 5, 6, 0};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    SetFileTime(h, &ft, &ft, &ft);
    CloseHandle(h);
    if (dwAttributes) SetFileAttributesW(W(pszName).c_str(), dwAttributes);
}
bool There(const char* pszName) { return GetFileAttributesW(W(pszName).c_str()) != INVALID_FILE_ATTRIBUTES; }

class PathTest : public ClassTest<KxTshPath, KxTshFile, KxTshDirectory> {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-path-tests");
        ClassTest::SetUpTestSuite();
        // A folder left by an earlier run of the same process id (Wine gives ids again) goes.
        Run("for (e in Path.List(\".\")) { Path.Remove(e.path, 1); }");
        Run("function names(folder, pattern, deep) {"
            "  r = []; for (e in Path.List(folder, pattern, deep)) { push(r, sub(e.path, len(Path.Full(folder)) + 1)); }"
            "  return join(r, \";\"); }");
    }
    // The global r as text after the statements ran.
    static std::string R(const std::string& sStatements) {
        Run(sStatements.c_str());
        return Text("r");
    }
    // The error the statements raised, up to the system's reason (which each system words its
    // own way).
    static std::string ErrorUpTo(const std::string& sStatements, const std::string& sStart) {
        return ErrorOf(sStatements).substr(0, sStart.size());
    }
};

TEST_F(PathTest, TreesWithUtf8NamesAreListedInPathOrderAndCopiedWhole) {
    MakeFolder("u8");
    MakeFolder("u8\\日本");
    MakeFolder("u8\\Zed");
    MakeFile("u8\\été.txt", "abc", FILE_ATTRIBUTE_READONLY);
    MakeFile("u8\\a.LOG", "");
    MakeFile("u8\\Zed\\in.txt", "");
    MakeFile("u8\\日本\\b.log", "de");
    MakeFile("u8\\日本\\😀.log", "");
    SetFileAttributesW(W("u8\\Zed").c_str(), FILE_ATTRIBUTE_HIDDEN);
    // Capitals of the UTF-16 characters: É after Z, a pair's high half before 日.
    EXPECT_EQ(R("r = names(\"u8\", \"*\", 1);"), "a.LOG;Zed;Zed\\in.txt;été.txt;日本;日本\\b.log;日本\\😀.log");
    EXPECT_EQ(R("r = names(\"u8\", \"*.log\", 1);"), "a.LOG;日本\\b.log;日本\\😀.log");
    EXPECT_EQ(R("r = names(\"u8/\", \"?.*\", 0);"), "a.LOG");
    EXPECT_EQ(R("i = Path.Info(\"u8\\\\日本\\\\b.log\"); r = i.name + \" \" + i.size + \" \" + i.folder + i.readOnly + i.hidden;"),
              "b.log 2 000");
    EXPECT_EQ(R("i = Path.Info(\"u8\\\\Zed\"); r = \"\" + i.folder + i.hidden + \" \" + len(i.modified) + \" \" + (i.attr & 18);"),
              "11 19 18");

    // A destination inside the source, at any depth and in any case, is refused before
    // anything is made; so is one that exists.
    ExpectErrors({{"Path.Copy(\"u8\", \"u8\\\\日本\\\\inner\", 1);", "28 Path::Copy: u8\\日本\\inner: the destination lies inside the source."},
                  {"Path.Copy(\"u8\", \"U8\", 1);", "28 Path::Copy: U8: the destination lies inside the source."},
                  {"Path.Copy(\"u8\", \"elsewhere\");", "28 Path::Copy: u8: a folder is copied with recursive 1 only."}});
    EXPECT_FALSE(There("u8\\日本\\inner"));
    // Each copy reads its source: the facts to compare are those from before. The time of
    // last access is not among them: the copy's own reading of a folder may move the
    // source's while the copy is made (one run in the win98 prefix saw it).
    Run("function facts(p) { i = Path.Info(p); return i.modified + i.created + i.attr + \"/\" + i.size; }"
        "before = {}; for (p in [\"été.txt\", \"Zed\", \"日本\", \"日本\\\\b.log\"]) { before[p] = facts(\"u8\\\\\" + p); }");
    EXPECT_EQ(R("r = \"\" + Path.Copy(\"u8\", \"copy\", 1) + \" \" + names(\"copy\", \"*\", 1);"),
              "1 a.LOG;Zed;Zed\\in.txt;été.txt;日本;日本\\b.log;日本\\😀.log");
    EXPECT_EQ(ErrorUpTo("Path.Copy(\"u8\\\\a.LOG\", \"copy\\\\été.txt\");", "28 Path::Copy: copy\\été.txt: "),
              "28 Path::Copy: copy\\été.txt: ");
    EXPECT_EQ(ScratchFolder::Get("copy\\\xc3\xa9t\xc3\xa9.txt"), "<missing>");  // not in the test's code page
    // Times and attributes came along.
    EXPECT_EQ(R("r = \"\"; for (p in keys(before)) { if (before[p] != facts(\"copy\\\\\" + p)) { r = r + p + \" \"; } }"), "");
    EXPECT_EQ(R("r = Path.Read(\"copy\\\\été.txt\") + Path.Info(\"copy\\\\été.txt\").readOnly;"), "abc1");
}

// Past MAX_PATH every call goes through the \\?\ form Full makes.
TEST_F(PathTest, PathsPastTheClassicLengthAreListedCopiedAndRemoved) {
    std::wstring sDeep = W(Text("r").c_str());
    Run("r = Path.Full(\"deep\");");
    sDeep = L"\\\\?\\" + W(Text("r").c_str());
    ASSERT_TRUE(CreateDirectoryW(sDeep.c_str(), nullptr));
    for (int i = 0; i < 10; ++i) {
        sDeep += L"\\abcdefghijklmnopqrstuvwxyz0123";
        ASSERT_TRUE(CreateDirectoryW(sDeep.c_str(), nullptr));
    }
    HANDLE h = CreateFileW((sDeep + L"\\end.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    CloseHandle(h);
    EXPECT_EQ(R("l = Path.List(\"deep\", \"end.txt\", 1); r = \"\" + len(l) + sub(l[0].path, 0, 4) + len(l[0].path) +"
                " \" \" + (Path.Info(l[0].path) != nil);"),
              "1\\\\?\\" + std::to_string(sDeep.size() + 8) + " 1");
    EXPECT_EQ(R("r = \"\" + Path.Copy(\"deep\", \"deep2\", 1) + len(Path.List(\"deep2\", \"*\", 1)) +"
                " Path.Remove(\"deep\", 1) + Path.Remove(\"deep2\", 1) + Path.Info(\"deep\") + Path.Info(\"deep2\");"),
              "11111nilnil");
}

TEST_F(PathTest, ARemovedTreeTakesItsReadOnlyFilesAndRootsAreRefused) {
    MakeFolder("ro");
    MakeFolder("ro\\sub");
    MakeFolder("ro\\empty");
    MakeFile("ro\\keep.txt", "k", FILE_ATTRIBUTE_READONLY);
    MakeFile("ro\\sub\\deep.txt", "d", FILE_ATTRIBUTE_READONLY);
    MakeFile("ro\\sub\\x.txt", "x");
    // Without recursive 1: a read-only file and a folder that holds anything stay.
    for (const char* psz : {"keep.txt", "", "gone.txt"}) {
        std::string sName = std::string("ro") + (*psz ? "\\" : "") + psz;
        EXPECT_EQ(ErrorUpTo("Path.Remove(\"" + (*psz ? "ro\\\\" + std::string(psz) : "ro") + "\");", "28 Path::Remove: " + sName + ": "),
                  "28 Path::Remove: " + sName + ": ");
    }
    EXPECT_TRUE(There("ro\\keep.txt") && There("ro\\sub\\deep.txt"));
    EXPECT_EQ(R("r = \"\" + Path.Remove(\"ro\\\\empty\") + Path.Info(\"ro\\\\empty\");"), "1nil");
    EXPECT_EQ(R("r = \"\" + Path.Remove(\"ro\", 1) + Path.Info(\"ro\");"), "1nil");
    // The host's ground: roots, the current folder and what lies above it.
    ExpectErrors({{"Path.Remove(\"C:\\\\\", 1);", "28 Path::Remove: C:\\: a drive or share root is never removed."},
                  {"Path.Remove(\"\\\\\\\\server\\\\share\\\\\", 1);",
                   "28 Path::Remove: \\\\server\\share\\: a drive or share root is never removed."},
                  {"Path.Remove(\".\", 1);", "28 Path::Remove: .: it holds the folder the host runs in."},
                  {"Path.Remove(\"..\", 1);", "28 Path::Remove: ..: it holds the folder the host runs in."}});
}

// Sizes past 32 bits come exact: as the runtime's 64-bit integer (ours has one), or as decimal
// text where a runtime has none; str() of either is the same digits.
TEST_F(PathTest, ASparseFileOf3GiBHasItsExactSize) {
    for (auto size : {std::make_pair("big.bin", 3221225472ull), std::make_pair("edge.bin", 2147483648ull),
                      std::make_pair("fits.bin", 2147483647ull)}) {
        HANDLE h = CreateFileA(size.first, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD dw = 0;
        DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &dw, nullptr);
        LONG nHigh = static_cast<LONG>(size.second >> 32);
        SetFilePointer(h, static_cast<LONG>(size.second), &nHigh, FILE_BEGIN);
        ASSERT_TRUE(SetEndOfFile(h)) << size.first;
        CloseHandle(h);
    }
    EXPECT_EQ(R("r = str(Path.Info(\"big.bin\").size) + \" \" + str(Path.Info(\"edge.bin\").size) + \" \" +"
                " typeOf(Path.Info(\"fits.bin\").size) + Path.Info(\"fits.bin\").size + \" \" +"
                " typeOf(Path.Info(\"big.bin\").size) + (Path.Info(\"big.bin\").size + 1);"),
              "3221225472 2147483648 int2147483647 int3221225473");
    EXPECT_EQ(R("r = \"\"; for (e in Path.List(\".\", \"*.bin\")) { r = r + e.name + \"=\" + str(e.size) + \" \"; }"),
              "big.bin=3221225472 edge.bin=2147483648 fits.bin=2147483647 ");
    // Read counts offsets from the start of the file in 32 bits: the end of a large one reads nil.
    EXPECT_EQ(R("b = Path.Read(\"big.bin\", 2147483647, 4); r = \"\" + len(b) + ord(b) + Path.Remove(\"big.bin\") +"
                " Path.Remove(\"edge.bin\") + Path.Remove(\"fits.bin\");"),
              "40111");
}

TEST_F(PathTest, AMovedFolderTakesItsTreeAndNothingIsMovedOverWhatExists) {
    MakeFolder("mv");
    MakeFolder("mv\\a");
    MakeFolder("mv\\there");
    MakeFile("mv\\a\\x.txt", "moved");
    MakeFile("mv\\f1.txt", "one");
    MakeFile("mv\\f2.txt", "two");
    Run("before = Path.Info(\"mv\\\\a\\\\x.txt\").modified;");
    EXPECT_EQ(R("r = \"\" + Path.Move(\"mv\\\\a\", \"mv\\\\there\\\\b\") + Path.Info(\"mv\\\\a\") +"
                " Path.Read(\"mv\\\\there\\\\b\\\\x.txt\") + (Path.Info(\"mv\\\\there\\\\b\\\\x.txt\").modified == before);"),
              "1nilmoved1");
    ExpectErrors({{"Path.Move(\"mv\\\\there\", \"mv/there/b/inner\");",
                   "28 Path::Move: mv/there/b/inner: the destination lies inside the source."}});
    for (const char* pszTo : {"mv\\\\f2.txt\"", "mv\\\\there\", 1"})
        EXPECT_EQ(ErrorUpTo(std::string("Path.Move(\"mv\\\\f1.txt\", \"") + pszTo + ");", "28 Path::Move: mv\\f1.txt: "),
                  "28 Path::Move: mv\\f1.txt: ") << pszTo;
    EXPECT_EQ(R("r = Path.Read(\"mv\\\\f2.txt\") + Path.Move(\"mv\\\\f1.txt\", \"mv\\\\f2.txt\", 1) + Path.Read(\"mv\\\\f2.txt\") +"
                " Path.Info(\"mv\\\\f1.txt\");"),
              "two1onenil");
}

// A log another writer holds open is read as it grows, from an offset, without reopening it
// for the whole text.
TEST_F(PathTest, ReadGivesWhatAFileHasWrittenSoFarWhileItWrites) {
    EXPECT_EQ(R("w = File.Open(\"log.txt\", \"write\"); w.WriteLn(\"one\"); w.Flush();"
                "a = Path.Read(\"log.txt\"); w.WriteLn(\"two\"); w.Flush();"
                "b = Path.Read(\"log.txt\", len(a)); c = Path.Read(\"log.txt\", len(a) + len(b));"
                "d = Path.Read(\"log.txt\", 1, 2); e = Path.Read(\"log.txt\", 0, 0); w.Close();"
                "r = a + b + str(c) + \"|\" + d + \"|\" + e + \"|\";"),
              "one\r\ntwo\r\nnil|ne||");
    ExpectErrors({{"Path.Read(\"log.txt\", -1);", "15 Path::Read(): offset must be an integer of 0 or more."},
                  {"Path.Read(\"log.txt\", 0, \"2\");", "15 Path::Read(): maxBytes must be an integer of 0 or more."},
                  {"Path.Read(\"log.txt\", 0, 1, 2);", "15 Path::Read(): Need one to three parameters."}});
    EXPECT_EQ(ErrorUpTo("Path.Read(\"nothing.txt\");", "28 Path::Read: nothing.txt: "), "28 Path::Read: nothing.txt: ");
}

TEST_F(PathTest, PartsOfPathsAreTextsAndBadNamesAreRefused) {
    using namespace KxPath;
    EXPECT_EQ(Join(L"a", L"b\\c"), L"a\\b\\c");
    EXPECT_EQ(Join(L"a\\\\", L"b"), L"a\\b");
    EXPECT_EQ(Join(L"C:\\", L"b"), L"C:\\b");
    EXPECT_EQ(Join(L"a", L"D:\\x"), L"D:\\x");  // a part with a root starts over
    EXPECT_EQ(Parent(L"C:\\a\\b.txt"), L"C:\\a");
    EXPECT_EQ(Parent(L"C:\\a\\"), L"C:\\");
    EXPECT_EQ(Parent(L"C:\\"), L"");
    EXPECT_EQ(Parent(L"\\\\srv\\share\\x"), L"\\\\srv\\share\\");
    EXPECT_EQ(Parent(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\");
    EXPECT_EQ(Parent(L"b.txt"), L"");
    EXPECT_EQ(Name(L"C:\\a\\"), L"a");
    EXPECT_EQ(Name(L"\\\\srv\\share"), L"");
    EXPECT_EQ(Extension(L"a\\b.tar.gz"), L".gz");
    EXPECT_EQ(Extension(L"a.d\\.profile"), L"");
    EXPECT_TRUE(IsInside(L"\\\\?\\C:\\A\\b", L"C:\\a"));
    EXPECT_TRUE(IsInside(L"C:\\x", L"C:\\"));
    EXPECT_FALSE(IsInside(L"C:\\ab", L"C:\\a"));
    EXPECT_TRUE(Matches(L"Report.LOG", L"r*.l?g"));
    EXPECT_FALSE(Matches(L"a.log2", L"*.log"));
    EXPECT_EQ(R("r = Path.Join(\"a/b\", \"c\", \"\", \"d.txt\") + \" \" + Path.Parent(\"x/y/z\") + \" \" + Path.Name(\"x/y.txt\") +"
                " \" \" + Path.IsInside(\"sub/../sub/x\", \"SUB\") + Path.IsInside(\"subway\", \"sub\") + Path.Info(\"none\");"),
              "a\\b\\c\\d.txt x\\y y.txt 10nil");
    // Wildcards and texts that are no UTF-8 (a byte of another code page) reach no name.
    ExpectErrors({{"Path.Info(\"a*.txt\");", "28 Path::Info: a*.txt: wildcards are no part of a name."},
                  {"Path.Join(\"a\", \"b?\");", "28 Path::Join: b?: wildcards are no part of a name."},
                  {"Path.List(\".\", \"x\\\\*\");", "15 Path::List(): pattern must be a name, with * and ? as wildcards."},
                  {"Path.Remove(5);", "15 Path::Remove(): path must be a string."},
                  {"Path.Copy(\"a\");", "15 Path::Copy(): Need two or three parameters."},
                  {"Path.Info(\"caf\" + chr(233));",
                   "28 Path::Info: caf\xe9: not a name the system can hold (it must be UTF-8, without NUL, of at most 32,766 "
                   "characters)."}});
}

}  // namespace
