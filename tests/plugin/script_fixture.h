#pragma once
// Runs Tarvo text in a started runtime and reads back what it left in globals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"
#include "KxThread.h"

// Skips a case that needs windows where the test runner says the Wine in use can make none
// (it gives the reason).
#define TSH_SKIP_WITHOUT_WINDOWS()                                    \
    if (const char* pszNoWindows = std::getenv("TSH_NO_WINDOWS")) \
    GTEST_SKIP() << pszNoWindows

// The runtime is started once per test program: a class is set up once in a library's life.
class ScriptTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { KxTarvo::Startup(); }
    static void TearDownTestSuite() {
        KxTarvo::Shutdown();
        EXPECT_EQ(KxScData::LiveObjects(), 0);
    }
    // Runs the text; it must end without an uncaught error. What it let go of is collected,
    // so files it left open are closed.
    static void Run(const char* pszText) {
        EXPECT_EQ(KxTarvo::RunSource(pszText, "test"), KxTarvo::RUN_OK) << pszText;
        KxScDataHandle::GarbageCollect();
    }
    // The global's handle when it holds a value of the kind (HF_...), or null.
    static KxScDataHandle* Global(const char* pszName, unsigned wKind) {
        KxScDataHandle* ph = nullptr;
        return KxScVmEnv::GetGlobalVariable(pszName, &ph) && ph && (ph->wFlags & wKind) ? ph : nullptr;
    }
    // The integer the global holds, or -999 when it holds something else.
    static int Int(const char* pszName) {
        KxScDataHandle* ph = Global(pszName, HF_INTEGER);
        return ph ? static_cast<int>(ph->dwValue) : -999;
    }
    // The text the global holds, or "<nil>" when it holds no string.
    static std::string Text(const char* pszName) {
        KxScDataHandle* ph = Global(pszName, HF_STRING);
        return ph ? std::string(static_cast<KxScStringObject*>(ph->Object())->sText) : "<nil>";
    }
    // "CODE TEXT" of the exception the statements raised, or "<none>".
    static std::string ErrorOf(const std::string& sStatements) {
        Run(("m = \"<none>\"; try { " + sStatements + " } catch (e) { m = \"\" + e.code + \" \" + e.text; }").c_str());
        return Text("m");
    }
    // Each statement raises the error given ("<none>": none).
    static void ExpectErrors(std::initializer_list<std::pair<const char*, const char*>> cases) {
        for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.first), c.second) << c.first;
    }
    // The exception a method called directly left pending, as "CODE TEXT", or "<none>".
    static std::string Pending() {
        int nCode = 0;
        KxString sText;
        KxScVmEnv* pEnv = KxThread::GetThread()->GetVmEnv();
        if (!pEnv || !pEnv->TakeException(&nCode, &sText)) return "<none>";
        return std::to_string(nCode) + " " + std::string(sText);
    }
    // The object the global holds, as T (null when it holds something else).
    template <class T>
    static T* Object(const char* pszName) {
        KxScDataHandle* ph = Global(pszName, HF_OBJECT);
        return ph ? dynamic_cast<T*>(static_cast<KxScData*>(ph->Object())) : nullptr;
    }
};

// A ScriptTest with the given plug-in classes set up and their preludes run for the test
// program's life, shut down at its end.
template <class... Classes>
class ClassTest : public ScriptTest {
protected:
    static void SetUpTestSuite() {
        ScriptTest::SetUpTestSuite();
        (Classes::SetupClass(), ...);
        (Run(Classes::GetPreludeText()), ...);
    }
    static void TearDownTestSuite() {
        (Classes::ShutdownClass(), ...);
        ScriptTest::TearDownTestSuite();
    }
};
