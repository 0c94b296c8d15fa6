#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "KxHashTable.h"
#include "KxString.h"

namespace {
std::string Bytes(const KxString& s) { return std::string(static_cast<const char*>(s), s.Length()); }
}  // namespace

TEST(KxString, NullAndEmptyAreDistinctAndComparisonIsExact) {
    KxString sEmpty, sNull(NULL_STRING), sFromNullText(static_cast<const char*>(nullptr));
    EXPECT_STREQ("", static_cast<const char*>(sEmpty));
    EXPECT_EQ(nullptr, static_cast<const char*>(sNull));
    EXPECT_TRUE(sFromNullText == NULL_STRING);
    EXPECT_FALSE(sEmpty == sNull || sEmpty == NULL_STRING || sNull == "");
    sEmpty = NULL_STRING;
    EXPECT_TRUE(sEmpty == sNull);
    sNull << "x";  // appending to the null string gives a real text
    EXPECT_TRUE(sNull == "x");
    KxString s("Shell");
    EXPECT_TRUE(s == "Shell");
    for (const char* psz : {"shell", "Shel", "Shell "}) EXPECT_FALSE(s == psz) << psz;
    EXPECT_TRUE(KxString("a") != KxString("b"));
}

TEST(KxString, BuildsLongTextsWithIntegersAndNulsAndCopiesIndependently) {
    KxString sInts;
    sInts << 0 << " " << -7 << " " << INT_MAX << " " << INT_MIN;
    EXPECT_EQ(Bytes(sInts), "0 -7 2147483647 -2147483648");
    std::string sExpected;
    KxString s(KxStringSize(4));
    for (int i = 0; i < 5000; ++i) {
        s << "line " << i << "\n";
        sExpected += "line " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(Bytes(s), sExpected);
    KxString sCopy(s);
    s = "short";
    EXPECT_EQ(Bytes(sCopy), sExpected);
    // Assigning a string its own tail must not read freed memory.
    KxString sSelf("abcdef");
    sSelf = static_cast<const char*>(sSelf) + 3;
    EXPECT_TRUE(sSelf == "def");
    EXPECT_TRUE(KxString("global ") + "X" + KxString(" = 1;") == "global X = 1;");
    KxString sNul;  // embedded NUL bytes are kept
    sNul.Append("a\0b", 3);
    EXPECT_EQ(Bytes(sNul), std::string("a\0b", 3));
    EXPECT_FALSE(sNul == "a");
}

TEST(KxString, AppendsPartsOfItselfWhileTheBufferMoves) {
    // Large enough that the heap gives the buffer pages of its own, which go when it is
    // freed: 1.5 MiB fill three quarters of their buffer, so each append below moves it.
    std::string sExpected(3 << 19, 'x');
    for (size_t i = 0; i < sExpected.size(); i += 7) sExpected[i] = char('a' + i % 26);
    KxString s(sExpected.data(), unsigned(sExpected.size()));
    s.Append(static_cast<const char*>(s) + 5, s.Length() - 5);
    sExpected += sExpected.substr(5);
    EXPECT_TRUE(Bytes(s) == sExpected);
    s << s;
    sExpected += sExpected;
    EXPECT_TRUE(Bytes(s) == sExpected);
}

TEST(KxString, GrowthPastTheLargestTextLeavesTheStringAsItWas) {
    KxString s("kept");
    EXPECT_FALSE(s.Reserve(KxString::MAX_LENGTH + 1u));
    EXPECT_FALSE(s.Reserve(0xFFFFFFFFu));
    // A count that would wrap the length around: nothing is read from the text.
    s.Append("x", 0xFFFFFFFEu);
    s.Append("x", KxString::MAX_LENGTH);
    s << "!";
    EXPECT_EQ(Bytes(s), "kept!");
    // A reservation that cannot be had gives the empty string, not the null one.
    EXPECT_TRUE(KxString(KxStringSize(0x80000000u)) == "");
}

TEST(KxDictionary, FindsGrowsAndKeepsInsertionOrder) {
    KxDictionary d;
    auto value = [](intptr_t n) { return reinterpret_cast<void*>(n); };
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(d.Insert(("k" + std::to_string(i)).c_str(), value(i)));
    EXPECT_FALSE(d.Insert("k5", value(55)));
    EXPECT_EQ(200, d.Count());
    void* pv = nullptr;
    EXPECT_TRUE(d.Lookup("k5", &pv) && pv == value(55));  // a second insert replaces the value
    EXPECT_TRUE(d.Lookup("k199", &pv) && pv == value(199));
    EXPECT_FALSE(d.Lookup("K5", &pv));
    // Keys and values by position follow removals and later inserts.
    EXPECT_TRUE(d.Remove("k0"));
    EXPECT_TRUE(d.Remove("k100"));
    EXPECT_FALSE(d.Remove("k100"));
    EXPECT_FALSE(d.Lookup("k0", &pv));
    EXPECT_TRUE(d.Insert("k0", nullptr));
    EXPECT_EQ(199, d.KeyCount());
    EXPECT_TRUE(*d.KeyAt(0) == "k1" && *d.KeyAt(99) == "k101" && *d.KeyAt(198) == "k0");
    EXPECT_EQ(value(55), d.ValueAt(4));
    EXPECT_EQ(value(101), d.ValueAt(99));
    EXPECT_EQ(nullptr, d.KeyAt(199));
    EXPECT_EQ(nullptr, d.ValueAt(-1));
    d.RemoveAll();
    EXPECT_EQ(0, d.KeyCount());
    EXPECT_EQ(nullptr, d.KeyAt(0));
}
