// docs/classes.md, the script reference, against the classes themselves: each class's section
// names every method, instance property, entry field and constant (with its value) the class
// registers, and nothing it does not. (The package's check runs every example of the page.)
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "KxStringList.h"
#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "KxTshPath.h"
#include "KxTshProcess.h"
#include "KxTshShell.h"
#include "KxTshTask.h"
#include "KxTshTimer.h"
#include "scratch_folder.h"
#include "script_fixture.h"

KXTSH_DEFINE_STATICS(KxTshProcess, "Process");
KXTSH_DEFINE_STATICS(KxTshPath, "Path");

namespace {

// What one class's section holds: the method names of its "### " headings (each name before
// a "("), and its table rows, first cell (in backticks) to second cell.
struct Section {
    std::set<std::string> methods;
    std::map<std::string, std::string> rows;
};


std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The sections of the page, by class name.
std::map<std::string, Section> Read(const char* pszPath) {
    std::map<std::string, Section> sections;
    std::ifstream in(pszPath);
    EXPECT_TRUE(in.good()) << pszPath;
    Section none;
    Section* pSection = &none;
    std::string sLine;
    while (std::getline(in, sLine)) {
        if (sLine.rfind("## ", 0) == 0) {
            pSection = &sections[sLine.substr(3)];
        } else if (sLine.rfind("### ", 0) == 0) {
            for (size_t at = sLine.find('('); at != std::string::npos; at = sLine.find('(', at + 1)) {
                size_t from = at;
                while (from > 0 && std::isalnum(static_cast<unsigned char>(sLine[from - 1]))) --from;
                pSection->methods.insert(sLine.substr(from, at - from));
            }
        } else if (sLine.rfind("| `", 0) == 0) {
            size_t end = sLine.find('`', 3), bar = sLine.find('|', end);
            pSection->rows[sLine.substr(3, end - 3)] = Trim(sLine.substr(bar + 1, sLine.find('|', bar + 1) - bar - 1));
        }
    }
    return sections;
}

std::set<std::string> Names(void (KxScDataObject::*pfnList)(KxStringList*, bool), KxScDataObject* po) {
    KxStringList list;
    (po->*pfnList)(&list, false);
    std::set<std::string> names;
    for (int i = 0; i < list.Count(); ++i) names.insert(std::string(*list.Get(i)));
    return names;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Each class as set up: its name, class object and prelude.
struct ClassEntry {
    std::string sName;
    KxScDataObject* poClass;
    std::string sPrelude;
};
template <class... T>
std::vector<ClassEntry> Entries() {
    return {{std::string(T::sClassName), T::poClassObject, std::string(T::GetPreludeText())}...};
}

class ReferenceTest : public ClassTest<KxTshShell, KxTshFile, KxTshDirectory, KxTshTask, KxTshTimer, KxTshProcess, KxTshPath> {
protected:
    static void SetUpTestSuite() {
        static ScratchFolder folder("tsh-reference-tests");
        ClassTest::SetUpTestSuite();
        sections = Read(TSH_CLASS_REFERENCE);
    }
    static inline std::map<std::string, Section> sections;
};

TEST_F(ReferenceTest, EachSectionDescribesWhatItsClassRegistersAndNothingElse) {
    for (const ClassEntry& c : Entries<KxTshDirectory, KxTshFile, KxTshShell, KxTshTask, KxTshTimer, KxTshProcess, KxTshPath>()) {
        ASSERT_EQ(sections.count(c.sName), 1u) << "no section ## " << c.sName;
        const Section& s = sections[c.sName];
        EXPECT_EQ(s.methods, Names(&KxScDataObject::GetMethodNames, c.poClass)) << c.sName << ": method headings";
        // Property lists may spell a name in other case than reads do (File's fileName).
        std::set<std::string> rows;
        for (const auto& row : s.rows) rows.insert(Lower(row.first));
        for (const std::string& sProperty : Names(&KxScDataObject::GetInstanceProperties, c.poClass))
            EXPECT_EQ(rows.count(Lower(sProperty)), 1u) << c.sName << ": property " << sProperty;
        // "global NAME = VALUE;" each: a row NAME | VALUE, and every row named in capitals is one.
        std::set<std::string> constants;
        for (size_t at = 0; (at = c.sPrelude.find("global ", at)) != std::string::npos;) {
            size_t eq = c.sPrelude.find(" = ", at), end = c.sPrelude.find(';', eq);
            std::string sName = c.sPrelude.substr(at + 7, eq - at - 7);
            constants.insert(sName);
            EXPECT_EQ(s.rows.count(sName) ? s.rows.at(sName) : "<no row>", c.sPrelude.substr(eq + 3, end - eq - 3))
                << c.sName << ": constant " << sName;
            at = end;
        }
        for (const auto& row : s.rows) {
            if (row.first.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == std::string::npos) {
                EXPECT_EQ(constants.count(row.first), 1u) << c.sName << ": " << row.first << " is no constant of it";
            }
        }
    }
    // The fields of a Directory entry, and of a Path entry.
    ScratchFolder::Put("entry.txt", "x");
    Run("entry = Directory.Open(\".\").First(); info = Path.Info(\"entry.txt\");");
    for (const std::string& sField : Names(&KxScDataObject::GetPropertyNames, Object<KxScDataObject>("entry")))
        EXPECT_EQ(sections["Directory"].rows.count(sField), 1u) << "Directory: entry field " << sField;
    std::set<std::string> fields = Names(&KxScDataObject::GetPropertyNames, Object<KxScDataObject>("info"));
    EXPECT_EQ(fields.size(), 10u);
    for (const std::string& sField : fields) EXPECT_EQ(sections["Path"].rows.count(sField), 1u) << "Path: entry field " << sField;
    Run("entry = nil; info = nil;");
}

}  // namespace
