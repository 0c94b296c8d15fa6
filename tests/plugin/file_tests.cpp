// File's line I/O called directly, against the block and buffer rules over generated files and
// texts near every buffer edge, and File through scripts with the bytes on disk checked.
// (tests/scripts/files.tarvo runs File and Directory through the host.)
#include <algorithm>
#include <vector>

#include "KxTshDirectory.h"
#include "KxTshFile.h"
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
    // Every line ReadLine gives for the bytes, then "<end>".
    static std::vector<std::string> Lines(const std::string& sBytes) {
        ScratchFolder::Put("lines.txt", sBytes);
        KxTshFile file;
        KxString sError;
        EXPECT_TRUE(file.OpenFile("lines.txt", KxTshFile::FS_READ, sError)) << sError;
        std::vector<std::string> v;
        KxString sLine;
        while (file.ReadLine(sLine)) v.push_back(std::string(sLine, sLine.Length()));
        v.push_back("<end>");
        return v;
    }
};

// The lines a reader of 4,096-byte blocks must give: LF and CR LF end a line (a CR LF split
// by a block end too), other CRs are dropped, a NUL drops its piece's rest up to the next CR,
// LF or block end, and text after the last line end is not a line.
std::vector<std::string> ExpectedLines(const std::string& sBytes) {
    std::vector<std::string> v;
    std::string sLine;
    for (size_t at = 0; at < sBytes.size(); at += 4096) {
        std::string sBlock = sBytes.substr(at, 4096);
        bool bDropping = false;
        for (size_t i = 0; i < sBlock.size(); ++i) {
            char c = sBlock[i];
            bool bCrLf = c == '\r' && i + 1 < sBlock.size() && sBlock[i + 1] == '\n';
            if (c == '\n' || bCrLf) {
                v.push_back(sLine);
                sLine.clear();
                i += bCrLf;
            }
            if (c == '\n' || c == '\r') {
                bDropping = false;
            } else if (c == 0 || bDropping) {
                bDropping = true;
            } else {
                sLine += c;
            }
        }
    }
    v.push_back("<end>");
    return v;
}

unsigned Random(unsigned n) {
    static unsigned nSeed = 11;
    nSeed = nSeed * 1103515245u + 12345u;
    return (nSeed >> 16) % n;
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
                size_t nFree = 4094 - sBuffered.size(), nPiece = std::min(n - at, nFree);
                sBuffered += sText.substr(at, nPiece);
                at += nPiece;
                if (at == n) break;
                flush();
            }
            if (bLineEnd) {
                sBuffered += "\r\n";
                flush();
            }
        }
        ASSERT_EQ(ScratchFolder::Get("diff.txt").size(), sDisk.size()) << "step " << nStep;
        ASSERT_TRUE(ScratchFolder::Get("diff.txt") == sDisk) << "step " << nStep;
    }
    file.CloseFile();
    EXPECT_TRUE(ScratchFolder::Get("diff.txt") == sDisk + sBuffered);
}

// What scripts cannot ask for (sharing and the three modes are in files.tarvo): a failed open
// leaves the File closed, and a File not open for reading or writing does neither.
TEST_F(FileTest, FailedOpensAndWrongDirections) {
    KxString sError, sLine;
    ScratchFolder::Put("m.txt", "old\r\n");
    KxTshFile reader, append, none;
    EXPECT_TRUE(reader.OpenFile("m.txt", KxTshFile::FS_READ, sError));
    EXPECT_TRUE(append.OpenFile("a.txt", KxTshFile::FS_APPEND, sError));
    EXPECT_EQ(append.dwState, unsigned(KxTshFile::FS_APPEND | KxTshFile::FS_OPEN));
    EXPECT_FALSE(none.OpenFile("m.txt", KxTshFile::FS_WRITE, sError));
    EXPECT_EQ(std::string(sError), "Cannot open m.txt for writing");
    EXPECT_EQ(none.dwState, unsigned(KxTshFile::FS_CLOSED));
    EXPECT_FALSE(none.OpenFile("", KxTshFile::FS_READ, sError));
    EXPECT_EQ(std::string(sError), "Cannot open  for reading");
    EXPECT_FALSE(none.OpenFile("m.txt", 0x20, sError));
    EXPECT_EQ(std::string(sError), "Invalid mode for opening file");
    EXPECT_FALSE(none.ReadLine(sLine));
    EXPECT_TRUE(reader.WriteText("ignored", true));
    reader.FlushBuffer();
    EXPECT_EQ(ScratchFolder::Get("m.txt"), "old\r\n");
}

TEST_F(FileTest, ScriptsWriteExactBytes) {
    Run("f = File.Open(\"s.txt\", \"write\"); f.WriteLn(\"x\", 1); f.WriteLn(1, nil, \"s\", f);"
        "f.WriteLn(); f.Write(); f.WriteLn(\"\"); f.Write(\"tail\"); f.Close(); f.Close();"
        "name = f.fileName;");
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "x1\r\n1NILs<File>\r\n\r\ntail");
    Run("f = File.Open(\"s.txt\", \"write\"); f.Write(\"kept\"); f = nil;");
    KxScDataHandle::GarbageCollect();  // the last reference went: the buffer is written
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "kept");
    Run("f = File.Open(\"s.txt\", \"write\"); f.Write(\"flushed\"); f.Flush();");
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "flushed");
    Run("f.Close();");
}

// What a host calling the methods itself may pass: no arguments, nil, integers for names.
TEST_F(FileTest, DirectCallsWithArgumentsTheRuntimeWouldRefuse) {
    KxTshFile* pClass = KxTshFile::poClassObject;
    KxScDataHandle* phInt = KxScDataHandle::CreateData(5);
    KxScDataHandle* apNil[2] = {nullptr, nullptr};
    KxScDataHandle* apInt[2] = {phInt, phInt};
    EXPECT_EQ(pClass->Open(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(Pending(), "28 File::Open(): Invalid mode specified: ");
    EXPECT_EQ(pClass->Open(nullptr, 2, apNil), nullptr);
    EXPECT_EQ(Pending(), "28 File::Open(): Invalid mode specified: ");
    KxScDataHandle* phRead = KxScDataHandle::CreateData("read", false);
    KxScDataHandle* apIntRead[2] = {phInt, phRead};
    EXPECT_EQ(pClass->Open(nullptr, 2, apIntRead), nullptr);
    EXPECT_EQ(Pending(), "28 Cannot open  for reading");
    phRead->Drop();
    for (auto pfn : {&KxTshFile::Delete, &KxTshFile::DoesExist, &KxTshFile::Copy}) {
        KxScDataHandle* ph = (pClass->*pfn)(nullptr, 2, apInt);
        EXPECT_EQ(ph->dwValue, 0u);
        ph->Drop();
        ph = (pClass->*pfn)(nullptr, 0, nullptr);
        EXPECT_EQ(ph->dwValue, 0u);
        ph->Drop();
    }
    EXPECT_EQ(pClass->WriteLn(nullptr, 2, nullptr), nullptr);
    EXPECT_EQ(Pending(), "28 File must be open for writing.");
    KxTshFile file;  // closed: nothing is read or written
    EXPECT_EQ(file.ReadLn(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(Pending(), "28 File must be open for reading.");
    KxTshDirectory* pDirClass = KxTshDirectory::poClassObject;
    EXPECT_EQ(pDirClass->Open(nullptr, 1, apInt), nullptr);
    EXPECT_EQ(pDirClass->Open(nullptr, 0, nullptr), nullptr);
    KxScDataHandle* ph = pDirClass->Exists(nullptr, 1, apNil);
    EXPECT_EQ(ph->dwValue, 0u);
    ph->Drop();
    phInt->Drop();
}

}  // namespace
