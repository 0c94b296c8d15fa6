// The folder helpers where scripts cannot reach (tests/scripts/files.tarvo walks and makes
// folders through Directory): null and empty paths, the folders made, and the folder part of
// paths and command lines.
#include <gtest/gtest.h>
#include <windows.h>

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
    std::string sRoot;
};
}  // namespace

TEST_F(TempFolder, NullPathsFailAndNestedFoldersAreMadeParentsFirst) {
    KxDirectory dir;
    for (KxString sPath : {KxString((sRoot + "\\missing").c_str()), KxString(""), KxString(NULL_STRING)})
        EXPECT_FALSE(dir.Open(sPath));
    EXPECT_EQ(nullptr, dir.First());
    EXPECT_FALSE(KxDirectory::Exists(NULL_STRING));
    EXPECT_FALSE(KxDirectory::CreateFolder(NULL_STRING, nullptr));
    std::string sDeep = sRoot + "\\x\\y\\z";
    KxStringList created;
    EXPECT_TRUE(KxDirectory::CreateFolder(sDeep.c_str(), &created));
    ASSERT_EQ(3, created.Count());
    EXPECT_EQ(sRoot + "\\x", static_cast<const char*>(*created.Get(0)));
    EXPECT_EQ(sDeep, static_cast<const char*>(*created.Get(2)));
    EXPECT_TRUE(KxDirectory::CreateFolder(sDeep.c_str(), nullptr));  // already there
    ScratchFolder::Put((sRoot + "\\f").c_str(), "1");
    EXPECT_FALSE(KxDirectory::CreateFolder((sRoot + "\\f").c_str(), nullptr));
}

TEST(KxGetDirectoryFromPath, GivesTheFolderPart) {
    // Command lines too: '/' starts a switch, it separates no folder.
    const char* const cases[][2] = {
        {"C:\\a\\b.txt", "C:\\a"}, {"C:\\b.txt", "C:\\"}, {"\\b.txt", "\\"}, {"C:b.txt", "C:"},
        {"cmd /c echo a/b", nullptr}, {"C:\\tools\\x.exe /switch", "C:\\tools"}, {"b.txt", nullptr}, {nullptr, nullptr}};
    for (const auto& c : cases)  // a null pointer makes the null string
        EXPECT_TRUE(KxGetDirectoryFromPath(KxString(c[0])) == KxString(c[1])) << (c[0] ? c[0] : "<null>");
}
