#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "../plugin/scratch_folder.h"
#include "KxDirectory.h"

namespace {
// A new folder of the test's own (a name no earlier run left behind) in a scratch folder.
class TempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        static ScratchFolder folder("kxdir");
        char szName[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(folder.sPath.c_str(), "kx", 0, szName), 0u) << GetLastError();
        sRoot = szName;
        DeleteFileA(szName);
        ASSERT_TRUE(CreateDirectoryA(szName, nullptr)) << GetLastError();
    }
    void WriteFile(const std::string& sName, const std::string& sBytes) { ScratchFolder::Put((sRoot + "\\" + sName).c_str(), sBytes); }
    std::string sRoot;
};
}  // namespace

TEST_F(TempFolder, ListsEntriesWithPathsAttributesAndSizes) {
    WriteFile("a.txt", "hello");
    WriteFile("empty", "");
    ASSERT_TRUE(CreateDirectoryA((sRoot + "\\sub").c_str(), nullptr));

    KxDirectory dir;
    ASSERT_TRUE(dir.Open(sRoot.c_str()));
    EXPECT_TRUE(dir.sName == sRoot.c_str());
    EXPECT_EQ(3, dir.nCount);
    std::map<std::string, KxDirectoryFileInfo*> seen;
    for (KxDirectoryFileInfo* p = dir.First(); p; p = dir.Next())
        seen[static_cast<const char*>(p->GetFileName())] = p;
    ASSERT_EQ(3u, seen.size());  // no "." or ".."
    EXPECT_EQ(5u, seen["a.txt"]->Size());
    EXPECT_EQ(0u, seen["empty"]->Size());
    EXPECT_TRUE(seen["sub"]->QueryAttributes() & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(seen["a.txt"]->QueryAttributes() & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(sRoot + "\\a.txt", static_cast<const char*>(seen["a.txt"]->GetFilePath()));
    EXPECT_EQ(nullptr, dir.Next());
    // First restarts the walk.
    EXPECT_NE(nullptr, dir.First());
    dir.Close();
    EXPECT_EQ(0, dir.nCount);
    EXPECT_EQ(nullptr, dir.First());
}

TEST_F(TempFolder, OpenFailsOnAbsentEmptyOrNullPaths) {
    KxDirectory dir;
    EXPECT_FALSE(dir.Open((sRoot + "\\missing").c_str()));
    EXPECT_FALSE(dir.Open(""));
    EXPECT_FALSE(dir.Open(NULL_STRING));
    EXPECT_EQ(0, dir.nCount);
    EXPECT_EQ(nullptr, dir.First());
    EXPECT_FALSE(KxDirectory::Exists(NULL_STRING));
    EXPECT_FALSE(KxDirectory::CreateFolder(NULL_STRING, nullptr));
}

TEST_F(TempFolder, CreatesNestedFoldersParentsFirst) {
    std::string sDeep = sRoot + "\\x\\y\\z";
    EXPECT_FALSE(KxDirectory::Exists(sDeep.c_str()));
    KxStringList created;
    EXPECT_TRUE(KxDirectory::CreateFolder(sDeep.c_str(), &created));
    EXPECT_TRUE(KxDirectory::Exists(sDeep.c_str()));
    ASSERT_EQ(3, created.Count());
    EXPECT_EQ(sRoot + "\\x", static_cast<const char*>(*created.Get(0)));
    EXPECT_EQ(sDeep, static_cast<const char*>(*created.Get(2)));
    // An existing folder is still a folder afterwards; a file in the way is not.
    EXPECT_TRUE(KxDirectory::CreateFolder(sDeep.c_str(), nullptr));
    WriteFile("f", "1");
    EXPECT_FALSE(KxDirectory::CreateFolder((sRoot + "\\f").c_str(), nullptr));
    EXPECT_FALSE(KxDirectory::Exists((sRoot + "\\f").c_str()));
}

TEST(KxGetDirectoryFromPath, GivesTheFolderPart) {
    EXPECT_TRUE(KxGetDirectoryFromPath("C:\\a\\b.txt") == "C:\\a");
    EXPECT_TRUE(KxGetDirectoryFromPath("C:\\b.txt") == "C:\\");
    EXPECT_TRUE(KxGetDirectoryFromPath("C:b.txt") == "C:");
    // Command lines: '/' starts a switch, it separates no folder.
    EXPECT_TRUE(KxGetDirectoryFromPath("cmd /c echo a/b") == NULL_STRING);
    EXPECT_TRUE(KxGetDirectoryFromPath("C:\\tools\\x.exe /switch") == "C:\\tools");
    EXPECT_TRUE(KxGetDirectoryFromPath("b.txt") == NULL_STRING);
    EXPECT_TRUE(KxGetDirectoryFromPath(NULL_STRING) == NULL_STRING);
}
