// File's line I/O on files with every kind of line end, called directly, and the File and
// Directory classes through scripts, with the bytes on disk checked.
#include <algorithm>
#include <set>
#include <vector>

#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "scratch_folder.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshFile, "File");
KXTSH_DEFINE_STATICS(KxTshDirectory, "Directory");

namespace {

class FileTest : public ScriptTest {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-file-tests");
        ScriptTest::SetUpTestSuite();
        KxTshFile::SetupClass();
        KxTshDirectory::SetupClass();
        Run(KxTshFile::GetPreludeText());
        Run(KxTshDirectory::GetPreludeText());
    }
    static void TearDownTestSuite() {
        KxTshDirectory::ShutdownClass();
        KxTshFile::ShutdownClass();
        ScriptTest::TearDownTestSuite();
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
    typedef std::vector<std::string> V;
};

TEST_F(FileTest, ReadLineSplitsAtLfAndCrLfOnly) {
    EXPECT_EQ(Lines(""), V({"<end>"}));
    EXPECT_EQ(Lines("a\r\nb\n"), V({"a", "b", "<end>"}));
    EXPECT_EQ(Lines("a\n\n\r\n"), V({"a", "", "", "<end>"}));
    EXPECT_EQ(Lines("a\rb\n"), V({"ab", "<end>"}));  // a lone CR is dropped
    EXPECT_EQ(Lines("a\r\r\nb\r"), V({"a", "<end>"}));
    EXPECT_EQ(Lines("a\nabc"), V({"a", "<end>"}));  // no line end: never returned
    // A NUL ends its piece; text after the next CR goes on.
    EXPECT_EQ(Lines(std::string("ab\0cd\ref\n", 10)), V({"abef", "<end>"}));
}

TEST_F(FileTest, ReadLineAcrossBlocks) {
    std::string sLong(10000, 'x');
    EXPECT_EQ(Lines("a\n" + sLong + "\nb\n"), V({"a", sLong, "b", "<end>"}));
    // CR as byte 4,096 and LF as byte 4,097: the line ends there, the next starts after.
    std::string sFirst(4095, 'p');
    EXPECT_EQ(Lines(sFirst + "\r\nnext\n"), V({sFirst, "next", "<end>"}));
    // LF as byte 4,096 and as byte 4,097.
    EXPECT_EQ(Lines(sFirst + "\nq\n"), V({sFirst, "q", "<end>"}));
    EXPECT_EQ(Lines(sFirst + "r\ns\n"), V({sFirst + "r", "s", "<end>"}));
    // A lone CR at the block's end is dropped and the line goes on.
    EXPECT_EQ(Lines(sFirst + "\rt\n"), V({sFirst + "t", "<end>"}));
}

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

// Files of every length near the block edges, each read back line by line. In the second
// family the first block is all LFs, so the buffer holds a stale LF after the data of every
// short last block: a reader that looked past the data would end its last line there.
TEST_F(FileTest, ReadLineAgreesWithTheBlockRulesNearEveryEdge) {
    std::vector<std::string> vFiles;
    for (size_t n : {1u, 2u, 3u, 4094u, 4095u, 4096u, 4097u, 4098u, 8191u, 8192u, 8193u, 12289u}) {
        for (int k = 0; k < 4; ++k) {
            std::string s(n, 'x');
            for (char& c : s) c = "ab\r\n\n\0cdefgh"[Random(k == 0 ? 12 : 6)];
            vFiles.push_back(s);
        }
    }
    for (size_t nTail : {1u, 2u, 5u, 4000u, 4094u, 4095u}) {
        vFiles.push_back(std::string(4096, '\n') + std::string(nTail, 't'));
        vFiles.push_back(std::string(4096, '\n') + std::string(nTail - 1, 't') + "\r");
        vFiles.push_back(std::string(4096, '\n') + std::string(nTail, 't') + std::string(4096, 'u'));
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

TEST_F(FileTest, WriteTextBuffersUntilLineEndFlushOrClose) {
    KxString sError;
    {
        KxTshFile file;
        ASSERT_TRUE(file.OpenFile("w.txt", KxTshFile::FS_WRITE, sError));
        file.WriteText("", true);
        EXPECT_EQ(ScratchFolder::Get("w.txt"), "\r\n");
        file.WriteText(KxString(std::string(5000, 'y').c_str()), false);
        EXPECT_EQ(ScratchFolder::Get("w.txt").size(), 2u + 4094u);
        EXPECT_EQ(file.dwCount, 906u);
        file.FlushBuffer();
        EXPECT_EQ(ScratchFolder::Get("w.txt").size(), 5002u);
        file.WriteText("in\rside\n", false);
    }  // destruction writes what is buffered
    EXPECT_EQ(ScratchFolder::Get("w.txt"), "\r\n" + std::string(5000, 'y') + "in\rside\n");
    // A line that fills the buffer exactly, and one just over it.
    KxTshFile file;
    ASSERT_TRUE(file.OpenFile("w.txt", KxTshFile::FS_WRITE, sError));
    file.WriteText(KxString(std::string(4094, 'a').c_str()), true);
    file.WriteText(KxString(std::string(4095, 'b').c_str()), true);
    file.CloseFile();
    EXPECT_EQ(ScratchFolder::Get("w.txt"), std::string(4094, 'a') + "\r\n" + std::string(4095, 'b') + "\r\n");
    EXPECT_EQ(file.dwState, unsigned(KxTshFile::FS_CLOSED));
    EXPECT_EQ(file.pbBuffer, nullptr);
}

TEST_F(FileTest, OpenModesAndTheirFailures) {
    KxString sError;
    ScratchFolder::Put("m.txt", "old\r\n");
    {
        KxTshFile append;
        ASSERT_TRUE(append.OpenFile("m.txt", KxTshFile::FS_APPEND, sError));
        EXPECT_EQ(append.dwState, 17u);
        append.WriteText("new", true);
        // Held for writing: no second File opens it, in any mode.
        KxTshFile second;
        EXPECT_FALSE(second.OpenFile("m.txt", KxTshFile::FS_READ, sError));
        EXPECT_EQ(std::string(sError), "Cannot open m.txt for reading");
        EXPECT_EQ(second.dwState, unsigned(KxTshFile::FS_CLOSED));
        EXPECT_FALSE(second.OpenFile("m.txt", KxTshFile::FS_APPEND, sError));
        EXPECT_EQ(std::string(sError), "Cannot open m.txt for appending");
    }
    EXPECT_EQ(ScratchFolder::Get("m.txt"), "old\r\nnew\r\n");
    KxTshFile one, two, write;
    EXPECT_TRUE(one.OpenFile("m.txt", KxTshFile::FS_READ, sError));
    EXPECT_TRUE(two.OpenFile("m.txt", KxTshFile::FS_READ, sError));
    EXPECT_FALSE(write.OpenFile("m.txt", KxTshFile::FS_WRITE, sError));
    EXPECT_EQ(std::string(sError), "Cannot open m.txt for writing");
    KxTshFile none;
    EXPECT_FALSE(none.OpenFile("", KxTshFile::FS_READ, sError));
    EXPECT_EQ(std::string(sError), "Cannot open  for reading");
    EXPECT_FALSE(none.OpenFile("m.txt", 0x20, sError));
    EXPECT_EQ(std::string(sError), "Invalid mode for opening file");
    // Not open for reading or writing: nothing happens.
    KxString sLine;
    EXPECT_FALSE(write.ReadLine(sLine));
    EXPECT_TRUE(one.WriteText("ignored", true));
    one.FlushBuffer();
    EXPECT_EQ(ScratchFolder::Get("m.txt"), "old\r\nnew\r\n");
}

TEST_F(FileTest, ScriptsWriteExactBytes) {
    Run("f = File.Open(\"s.txt\", \"write\"); f.WriteLn(\"x\", 1); f.WriteLn(1, nil, \"s\", f);"
        "f.WriteLn(); f.Write(); f.WriteLn(\"\"); f.Write(\"tail\"); f.Close(); f.Close();"
        "name = f.fileName;");
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "x1\r\n1NILs<File>\r\n\r\ntail");
    Run("f = File.Open(\"s.txt\", \"append\"); f.WriteLn(\"more\"); f = nil;");
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "x1\r\n1NILs<File>\r\n\r\ntailmore\r\n");
    Run("f = File.Open(\"s.txt\", \"write\"); f.Write(\"kept\"); f = nil;");
    KxScDataHandle::GarbageCollect();  // the last reference went: the buffer is written
    EXPECT_EQ(ScratchFolder::Get("s.txt"), "kept");
}

TEST_F(FileTest, ScriptErrorsAndValues) {
    ExpectErrors({
        {"File.Open(\"s.txt\", \"modify\");", "28 File::Open(): Invalid mode specified: modify"},
        {"File.Open(\"s.txt\", \"\");", "28 File::Open(): Invalid mode specified: "},
        {"File.Open(\"absent.txt\", \"read\");", "28 Cannot open absent.txt for reading"},
        {"File.Open(\"s.txt\", \"write\").ReadLn();", "28 File must be open for reading."},
        {"File.Open(\"s.txt\", \"read\").Write(1);", "28 File must be open for writing."},
        {"File.ReadLn();", "28 File must be open for reading."},
        {"File.Close(); File.Flush(); File.Open(\"s.txt\", \"read\").Flush();", "<none>"},
        {"File.Open(\"s.txt\", \"read\").fileName = \"x\";", "2 property 'fileName' of <File> cannot be set"},
        {"File.Open(1, \"read\");", "104 arguments do not fit File::Open"},
    });
    Run("g = File.Open(\"s.txt\", \"read\"); h = g.Open(\"s.txt\", \"read\"); same = g == h;"
        "n = g.fileName; a = g.ReadLn(); b = h.ReadLn(); c = g.ReadLn(); g = nil; h = nil;");
    EXPECT_EQ(Int("same"), 0);
    EXPECT_EQ(Int("c"), -999);  // nil at the end
    // Copy replaces, Delete removes, DoesExist opens for reading.
    Run("ok = File.Copy(\"s.txt\", \"t.txt\"); again = File.Copy(\"s.txt\", \"t.txt\");"
        "missing = File.Copy(\"absent.txt\", \"u.txt\"); there = File.DoesExist(\"t.txt\");"
        "folder = File.DoesExist(\".\"); gone = File.Delete(\"t.txt\"); twice = File.Delete(\"t.txt\");"
        "after = File.DoesExist(\"t.txt\"); w = File.Open(\"t.txt\", \"write\"); held = File.DoesExist(\"t.txt\"); w = nil;");
    EXPECT_NE(Int("ok"), 0);
    EXPECT_NE(Int("again"), 0);
    EXPECT_EQ(Int("missing"), 0);
    EXPECT_EQ(Int("there"), 1);
    EXPECT_EQ(Int("folder"), 0);
    EXPECT_NE(Int("gone"), 0);
    EXPECT_EQ(Int("twice"), 0);
    EXPECT_EQ(Int("after"), 0);
    EXPECT_EQ(Int("held"), 1);
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

TEST_F(FileTest, DirectoryWalkAndFolders) {
    Run("made = Directory.Create(\"walk\\\\deep\\\\er\"); there = Directory.Exists(\"walk\\\\deep\");"
        "absent = Directory.Exists(\"walk\\\\nothing\"); onfile = Directory.Exists(\"s.txt\");");
    EXPECT_EQ(Int("made"), 1);
    EXPECT_EQ(Int("there"), 1);
    EXPECT_EQ(Int("absent"), 0);
    EXPECT_EQ(Int("onfile"), 0);
    ScratchFolder::Put("walk\\empty.txt", "");
    ScratchFolder::Put("walk\\ten.bin", "0123456789");
    Run("d = Directory.Open(\"walk\"); count = d.count; seen = \"\"; e = d.First();"
        "while (e != nil) { seen = seen + e.name + \"|\" + e.path + \"|\" + (e.attr & FILE_ATTRIBUTE_DIRECTORY)"
        " + \"|\" + e.size + \";\"; e = d.Next(); }"
        "last = d.Next(); again = d.First().name; d.Close(); d.Close();");
    EXPECT_EQ(Int("count"), 3);
    std::string sSeen = Text("seen");
    std::set<std::string> entries;
    for (size_t i = 0, j; (j = sSeen.find(';', i)) != std::string::npos; i = j + 1) entries.insert(sSeen.substr(i, j - i));
    EXPECT_EQ(entries, std::set<std::string>({"deep|walk\\deep|16|0", "empty.txt|walk\\empty.txt|0|0",
                                              "ten.bin|walk\\ten.bin|0|10"}));
    ExpectErrors({
        {"d.First();", "18 First called on a non-open directory."},
        {"d.Next();", "18 Next called on a non-open directory."},
        {"Directory.First();", "18 First cannot be called on the class object"},
        {"Directory.Close();", "18 Close cannot be called on the class object"},
        {"Directory.Open(\"walk\").name = \"x\";", "2 property 'name' of <Directory> cannot be set"},
        {"x = Directory.Open(\"walk\"); y = x.Open(\"walk\\\\deep\"); z = x.count + y.count;", "<none>"},
    });
    EXPECT_EQ(Int("z"), 4);
    Run("nothing = Directory.Open(\"walk\\\\nothing\"); isnil = nothing == nil; d = nil; x = nil; y = nil;");
    EXPECT_EQ(Int("isnil"), 1);
}

}  // namespace
