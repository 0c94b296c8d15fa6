// File's line I/O called directly, against the block and buffer rules over generated files and
// texts near every buffer edge, and File through scripts with the bytes on disk checked.
// (tests/scripts/files.tarvo runs File and Directory through the host.)
#include <algorithm>
#include <vector>

#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "block_rules.h"
#include "scratch_folder.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshFile, "File");
KXTSH_DEFINE_STATICS(KxTshDirectory, "Directory");

namespace {

class FileTest : public ClassTest<KxTshFile, KxTshDirectory> {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-file-tests");
        ClassTest::SetUpTestSuite();
    }
    // Every line ReadLine gives for the bytes, each ended with "|".
    static std::string Lines(const std::string& sBytes) {
        ScratchFolder::Put("lines.txt", sBytes);
        KxTshFile file;
        KxString sError, sLine;
        EXPECT_TRUE(file.OpenFile("lines.txt", KxTshFile::FS_READ, sError)) << sError;
        std::string s;
        while (file.ReadLine(sLine)) s += std::string(sLine, sLine.Length()) + "|";
        return s;
    }
};

// The lines the block rules give: LF and CR LF end a line, and text after the last line end
// is not a line.
std::string ExpectedLines(const std::string& sBytes) {
    std::string s = KeptOfBlocks(sBytes, true);
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    std::replace(s.begin(), s.end(), '\n', '|');
    return s.substr(0, s.find_last_of('|') + 1);
}

// Short files, then files of every length near the block edges, each read back line by line.
// In the last family the first block is all CR LF pairs, whose LFs stay in the buffer, so a
// stale LF follows the data of a short last block: a reader that looked past the data would
// end its last line there.
TEST_F(FileTest, ReadLineAgreesWithTheBlockRulesNearEveryEdge) {
    std::string sLong(10000, 'x'), sFirst(4095, 'p');
    std::vector<std::string> vFiles = {"", "a\r\nb\n", "a\n\n\r\n", "a\rb\n", "a\r\r\nb\r", "a\nabc",
                                       std::string("ab\0cd\ref\n", 10), sFirst + "\r\nnext\n", "a\n" + sLong + "\nb\n",
                                       sFirst + "\nq\n", sFirst + "r\ns\n", sFirst + "\rt\n"};
    for (size_t n : {1u, 2u, 3u, 4094u, 4095u, 4096u, 4097u, 4098u, 8191u, 8192u, 8193u, 12289u}) {
        for (int k = 0; k < 4; ++k) {
            std::string s(n, 'x');
            for (char& c : s) c = "ab\r\n\n\0cdefgh"[Random(k == 0 ? 12 : 6)];
            vFiles.push_back(s);
        }
    }
    std::string sCrLfs;
    for (int i = 0; i < 2048; ++i) sCrLfs += "\r\n";
    for (size_t nTail : {1u, 2u, 3u, 4u, 5u, 4000u, 4001u, 4094u, 4095u}) {
        vFiles.push_back(sCrLfs + std::string(nTail, 't'));
        vFiles.push_back(sCrLfs + std::string(nTail - 1, 't') + "\r");
        vFiles.push_back(sCrLfs + std::string(nTail, 't') + std::string(4096, 'u'));
    }
    for (const std::string& s : vFiles) EXPECT_EQ(Lines(s), ExpectedLines(s)) << "a file of " << s.size() << " bytes";
}

// Texts of every length near the buffer's room, with and without line ends and flushes, from
// an empty and a part-full buffer: after each call the file holds exactly what has been
// pushed out, a text that does not fit in the free room first pushing out what is buffered.
TEST_F(FileTest, WriteTextPutsOnDiskWhatTheBufferRulesSay) {
    KxString sError;
    KxTshFile file;
    ASSERT_TRUE(file.OpenFile("diff.txt", KxTshFile::FS_WRITE, sError));
    std::string sDisk, sBuffered;
    auto flush = [&] {
        sDisk += sBuffered;
        sBuffered.clear();
    };
    const size_t anLengths[] = {0, 1, 2, 3, 100, 4092, 4093, 4094, 4095, 4096, 4097, 8188, 8189, 9000};
    for (int nStep = 0; nStep < 300; ++nStep) {
        size_t n = anLengths[Random(14)];
        std::string sText(n, 'w');
        for (char& c : sText) c = "pq\r\nrs"[Random(6)];
        bool bLineEnd = Random(3) == 0;
        if (Random(8) == 0) {
            file.FlushBuffer();
            flush();
        } else {
            file.WriteText(KxString(sText.data(), static_cast<unsigned>(n)), bLineEnd);
            if (n > 4094 - sBuffered.size()) flush();
            for (size_t at = 0;;) {
                size_t nPiece = std::min(n - at, 4094 - sBuffered.size());
                sBuffered += sText.substr(at, nPiece);
                if ((at += nPiece) == n) break;
                flush();
            }
            if (bLineEnd) {
                sBuffered += "\r\n";
                flush();
            }
        }
        ASSERT_TRUE(ScratchFolder::Get("diff.txt") == sDisk) << "step " << nStep;
    }
    file.CloseFile();
    EXPECT_TRUE(ScratchFolder::Get("diff.txt") == sDisk + sBuffered);
}

// What scripts cannot ask for (sharing and the modes are in files.tarvo, a reader that takes
// no text in shell_tests): a failed open leaves the File closed, which reads nothing.
TEST_F(FileTest, FailedOpensLeaveTheFileClosed) {
    KxString sError, sLine;
    ScratchFolder::Put("m.txt", "old\r\n");
    KxTshFile reader, append, none;
    EXPECT_TRUE(reader.OpenFile("m.txt", KxTshFile::FS_READ, sError));
    EXPECT_TRUE(append.OpenFile("a.txt", KxTshFile::FS_APPEND, sError));
    EXPECT_EQ(append.dwState, unsigned(KxTshFile::FS_APPEND | KxTshFile::FS_OPEN));
    const std::pair<const char*, unsigned> opens[] = {{"m.txt", KxTshFile::FS_WRITE}, {"", KxTshFile::FS_READ}, {"m.txt", 0x20}};
    const char* apszErrors[] = {"Cannot open m.txt for writing", "Cannot open  for reading", "Invalid mode for opening file"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(none.OpenFile(opens[i].first, opens[i].second, sError));
        EXPECT_EQ(std::string(sError), apszErrors[i]);
        EXPECT_EQ(none.dwState, unsigned(KxTshFile::FS_CLOSED));
    }
    EXPECT_FALSE(none.ReadLine(sLine));
}

// Flush puts out what Write kept (what else scripts write is checked byte for byte in
// files.tarvo, and the File dropped unclosed in collector.tarvo).
TEST_F(FileTest, FlushPutsOutWhatWriteKept) {
    Run("f = File.Open(\"s.txt\", \"write\"); f.Write(\"flushed\"); f.Flush();");
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "flushed");
    Run("f.Close();");
}

// A folder holding "a.txt" and a file named with a Greek alpha, made through the Unicode
// functions: in a code page without the alpha the system's ANSI listing names both "a.txt".
// The walk names two files, each entry's path reads its own file: the alpha file's by its
// short name where the system gives it one, else that path is refused; a delete by the alpha
// entry's path leaves a.txt as it was.
TEST_F(FileTest, NamesOutsideTheCodePageReachTheirOwnFilesOrNone) {
    for (const char* psz : {"a?b", "a*", "\\\\?\\C:\\a?", "\\??\\C:\\a"}) EXPECT_FALSE(KxTsh::PathTakes(psz)) << psz;
    EXPECT_TRUE(KxTsh::PathTakes("\\\\?\\C:\\a"));
    const std::wstring sAlpha = L"lossy\\\x3b1.txt";
    if (ScratchFolder::CodePageHolds(sAlpha)) GTEST_SKIP() << "the code page holds the Greek alpha";
    CreateDirectoryA("lossy", nullptr);
    for (const auto& f : {std::make_pair(std::wstring(L"lossy\\a.txt"), "plain\r\n"), std::make_pair(sAlpha, "alpha\r\n")}) {
        HANDLE h = CreateFileW(f.first.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD dw = 0;
        WriteFile(h, f.second, 7, &dw, nullptr);
        CloseHandle(h);
    }
    bool bShort = ScratchFolder::HasShortName(sAlpha);
    Run("function read(p) { try { f = File.Open(p, \"read\"); t = f.ReadLn(); f.Close(); return t; } catch (e) { return \"refused\"; } }"
        "plain = \"\"; other = \"\"; d = Directory.Open(\"lossy\");"
        "for (e = d.First(); e != nil; e = d.Next()) {"
        "  if (e.name == \"a.txt\") { plain = plain + read(e.path); } else { other = read(e.path); alpha = e.path; } }"
        "deleted = File.Delete(alpha);");
    EXPECT_EQ(Text("plain"), "plain");
    EXPECT_EQ(Text("other"), bShort ? "alpha" : "refused") << Text("alpha");
    EXPECT_EQ(ScratchFolder::Get("lossy\\a.txt"), "plain\r\n");
    EXPECT_EQ(GetFileAttributesW(sAlpha.c_str()) == INVALID_FILE_ATTRIBUTES, Int("deleted") == 1);
}

// What a host calling the methods itself may pass: no arguments, nil, integers for names.
TEST_F(FileTest, DirectCallsWithArgumentsTheRuntimeWouldRefuse) {
    KxTshFile* pClass = KxTshFile::poClassObject;
    KxScDataHandle* phInt = KxScDataHandle::CreateData(5);
    KxScDataHandle* phRead = KxScDataHandle::CreateData("read", false);
    KxScDataHandle *apNil[2] = {nullptr, nullptr}, *apInt[2] = {phInt, phInt}, *apIntRead[2] = {phInt, phRead};
    const std::pair<std::pair<int, KxScDataHandle**>, const char*> opens[] = {
        {{0, nullptr}, "28 File::Open(): Invalid mode specified: "},
        {{2, apNil}, "28 File::Open(): Invalid mode specified: "},
        {{2, apIntRead}, "28 Cannot open  for reading"}};
    for (const auto& o : opens) {
        EXPECT_EQ(pClass->Open(nullptr, o.first.first, o.first.second), nullptr);
        EXPECT_EQ(Pending(), o.second);
    }
    // Each gives 0.
    auto zero = [](KxScDataHandle* ph) {
        EXPECT_EQ(ph->dwValue, 0u);
        ph->Drop();
    };
    for (auto pfn : {&KxTshFile::Delete, &KxTshFile::DoesExist, &KxTshFile::Copy}) {
        zero((pClass->*pfn)(nullptr, 2, apInt));
        zero((pClass->*pfn)(nullptr, 0, nullptr));
    }
    zero(KxTshDirectory::poClassObject->Exists(nullptr, 1, apNil));
    EXPECT_EQ(pClass->WriteLn(nullptr, 2, nullptr), nullptr);
    EXPECT_EQ(Pending(), "28 File must be open for writing.");
    KxTshFile file;  // closed: nothing is read or written
    EXPECT_EQ(file.ReadLn(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(Pending(), "28 File must be open for reading.");
    EXPECT_EQ(KxTshDirectory::poClassObject->Open(nullptr, 1, apInt), nullptr);
    EXPECT_EQ(KxTshDirectory::poClassObject->Open(nullptr, 0, nullptr), nullptr);
    phRead->Drop();
    phInt->Drop();
}

}  // namespace
