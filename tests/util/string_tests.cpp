#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "KxHashTable.h"
#include "KxString.h"

TEST(KxString, NullAndEmptyAreDistinctAndComparisonIsExact) {
    KxString sEmpty;
    KxString sNull(NULL_STRING);
    KxString sFromNullText(static_cast<const char*>(nullptr));
    EXPECT_TRUE(sEmpty != NULL_STRING);
    EXPECT_STREQ("", static_cast<const char*>(sEmpty));
    EXPECT_TRUE(sNull == NULL_STRING);
    EXPECT_TRUE(sFromNullText == NULL_STRING);
    EXPECT_EQ(nullptr, static_cast<const char*>(sNull));
    EXPECT_FALSE(sEmpty == sNull);
    EXPECT_FALSE(sNull == "");
    sEmpty = NULL_STRING;
    EXPECT_TRUE(sEmpty == sNull);
    // Appending to the null string gives a real text.
    sNull << "x";
    EXPECT_TRUE(sNull == "x");
    // Comparison is exact.
    KxString s("Shell");
    EXPECT_TRUE(s == "Shell");
    EXPECT_FALSE(s == "shell");
    EXPECT_FALSE(s == "Shel");
    EXPECT_FALSE(s == "Shell ");
    EXPECT_TRUE(KxString("a") != KxString("b"));
}

TEST(KxString, BuildsLongTextsWithIntegersAndNulsAndCopiesIndependently) {
    KxString sInts;
    sInts << 0 << " " << -7 << " " << INT_MAX << " " << INT_MIN;
    EXPECT_STREQ("0 -7 2147483647 -2147483648", static_cast<const char*>(sInts));
    EXPECT_EQ(27u, sInts.Length());
    std::string sExpected;
    KxString s(KxStringSize(4));
    for (int i = 0; i < 5000; ++i) {
        s << "line " << i << "\n";
        sExpected += "line " + std::to_string(i) + "\n";
    }
    ASSERT_EQ(sExpected.size(), s.Length());
    EXPECT_EQ(sExpected, static_cast<const char*>(s));
    KxString sCopy(s);
    s = "short";
    EXPECT_EQ(sExpected, static_cast<const char*>(sCopy));
    // Assigning a string its own tail must not read freed memory.
    KxString sSelf("abcdef");
    sSelf = static_cast<const char*>(sSelf) + 3;
    EXPECT_TRUE(sSelf == "def");
    EXPECT_TRUE(KxString("global ") + "X" + KxString(" = 1;") == "global X = 1;");
    // Embedded NUL bytes are kept.
    KxString sNul;
    sNul.Append("a\0b", 3);
    EXPECT_EQ(3u, sNul.Length());
    EXPECT_EQ(0, std::memcmp("a\0b", static_cast<const char*>(sNul), 4));
    EXPECT_FALSE(sNul == "a");
}

TEST(KxString, AppendsPartsOfItselfWhileTheBufferMoves) {
    // Large enough that the heap gives the buffer pages of its own, which go when it is
    // freed: reading the old buffer after the move faults.
    // 1.5 MiB fill three quarters of their buffer: each append below moves it.
    std::string sExpected(3 << 19, 'x');
    for (size_t i = 0; i < sExpected.size(); i += 7) sExpected[i] = char('a' + i % 26);
    KxString s(sExpected.data(), unsigned(sExpected.size()));
    s.Append(static_cast<const char*>(s) + 5, s.Length() - 5);
    sExpected += sExpected.substr(5);
    ASSERT_EQ(sExpected.size(), s.Length());
    EXPECT_EQ(0, std::memcmp(sExpected.data(), static_cast<const char*>(s), s.Length()));
    s << s;
    sExpected += sExpected;
    ASSERT_EQ(sExpected.size(), s.Length());
    EXPECT_EQ(0, std::memcmp(sExpected.data(), static_cast<const char*>(s), s.Length()));
}

TEST(KxString, GrowthPastTheLargestTextLeavesTheStringAsItWas) {
    KxString s("kept");
    EXPECT_FALSE(s.Reserve(KxString::MAX_LENGTH + 1u));
    EXPECT_FALSE(s.Reserve(0xFFFFFFFFu));
    // A count that would wrap the length around: nothing is read from the text.
    s.Append("x", 0xFFFFFFFEu);
    s.Append("x", KxString::MAX_LENGTH);
    EXPECT_TRUE(s == "kept");
    EXPECT_EQ(4u, s.Length());
    s << "!";
    EXPECT_TRUE(s == "kept!");
    // A reservation that cannot be had gives the empty string, not the null one.
    KxString sHuge(KxStringSize(0x80000000u));
    EXPECT_TRUE(sHuge == "");
}

TEST(KxDictionary, FindsGrowsAndKeepsInsertionOrder) {
    KxDictionary d;
    for (int i = 0; i < 200; ++i) {
        KxString sKey("k");
        sKey << i;
        EXPECT_TRUE(d.Insert(sKey, reinterpret_cast<void*>(static_cast<intptr_t>(i))));
    }
    EXPECT_FALSE(d.Insert("k5", reinterpret_cast<void*>(static_cast<intptr_t>(55))));
    EXPECT_EQ(200, d.Count());
    void* pv = nullptr;
    ASSERT_TRUE(d.Lookup("k5", &pv));
    EXPECT_EQ(55, reinterpret_cast<intptr_t>(pv));
    ASSERT_TRUE(d.Lookup("k199", &pv));
    EXPECT_EQ(199, reinterpret_cast<intptr_t>(pv));
    EXPECT_FALSE(d.Lookup("K5", &pv));
    // Keys and values by position follow removals and later inserts.
    EXPECT_TRUE(d.Remove("k0"));
    EXPECT_TRUE(d.Remove("k100"));
    EXPECT_FALSE(d.Remove("k100"));
    EXPECT_FALSE(d.Lookup("k0", &pv));
    EXPECT_TRUE(d.Insert("k0", nullptr));
    EXPECT_EQ(199, d.KeyCount());
    EXPECT_TRUE(*d.KeyAt(0) == "k1");
    EXPECT_EQ(55, reinterpret_cast<intptr_t>(d.ValueAt(4)));
    EXPECT_TRUE(*d.KeyAt(99) == "k101");
    EXPECT_EQ(101, reinterpret_cast<intptr_t>(d.ValueAt(99)));
    EXPECT_TRUE(*d.KeyAt(198) == "k0");
    EXPECT_EQ(nullptr, d.KeyAt(199));
    EXPECT_EQ(nullptr, d.ValueAt(-1));
    d.RemoveAll();
    EXPECT_EQ(0, d.KeyCount());
    EXPECT_EQ(nullptr, d.KeyAt(0));
}
