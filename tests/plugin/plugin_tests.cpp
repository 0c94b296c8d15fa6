// The plug-in library as a host uses it: loaded, its entry points called in order, twice, or
// out of order, and unloaded, with the runtime left clean.
#include <windows.h>

#include <gtest/gtest.h>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"

namespace {

typedef int(__stdcall* EntryPoint)();

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        KxTarvo::Startup();
        SetLastError(0xdeadbeef);
        hModule = LoadLibraryA("TscShell.dll");
        ASSERT_NE(hModule, nullptr) << "LoadLibrary failed, error " << GetLastError();
        for (int i = 0; i < 4; ++i) {
            FARPROC pfn = GetProcAddress(hModule, kNames[i]);
            apfn[i] = reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(pfn));
            ASSERT_NE(apfn[i], nullptr) << kNames[i];
        }
    }
    void TearDown() override {
        KxTarvo::Shutdown();
        EXPECT_EQ(KxTarvo::LiveHandles(), 0);
        EXPECT_EQ(KxScData::LiveObjects(), 0);
        if (hModule) FreeLibrary(hModule);
    }
    int Load() { return apfn[0](); }
    int Initialize() { return apfn[1](); }
    int Shutdown() { return apfn[2](); }
    int Unload() { return apfn[3](); }

    static bool Published(const char* pszClass) {
        KxScDataHandle* ph = nullptr;
        bool bGlobal = KxScVmEnv::GetGlobalVariable(pszClass, &ph) && ph;
        bool bRegistered = KxScDataObject::FindClassObject(pszClass) != nullptr;
        EXPECT_EQ(bGlobal, bRegistered) << pszClass;
        return bGlobal && bRegistered;
    }

    // The 32-bit library exports the decorated names of parameterless __stdcall functions.
#ifdef _WIN64
    static constexpr const char* kNames[4] = {"OrbaPluginLoad", "OrbaPluginInitialize",
                                              "OrbaPluginShutdown", "OrbaPluginUnload"};
#else
    static constexpr const char* kNames[4] = {"_OrbaPluginLoad@0", "_OrbaPluginInitialize@0",
                                              "_OrbaPluginShutdown@0", "_OrbaPluginUnload@0"};
#endif
    static constexpr const char* kClasses[] = {"Shell", "File", "Directory", "Task", "Timer"};
    HMODULE hModule = nullptr;
    EntryPoint apfn[4] = {};
};

TEST_F(PluginTest, InitializePublishesEveryClassAndShutdownWithdrawsThem) {
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Initialize(), 1);
    for (const char* c : kClasses) EXPECT_TRUE(Published(c)) << c;
    EXPECT_EQ(KxTarvo::RunSource("t = Timer.Timer(); t.Start(0); r = t.HasExpired(); t = nil;", "test"),
              KxTarvo::RUN_OK);
    EXPECT_EQ(Shutdown(), 1);
    for (const char* c : kClasses) EXPECT_FALSE(Published(c)) << c;
    EXPECT_EQ(Unload(), 1);
}

TEST_F(PluginTest, SecondInitializeAndSecondShutdownChangeNothing) {
    Load();
    Initialize();
    KxScDataHandle* phFirst = KxScDataObject::FindClassObject("Timer");
    EXPECT_EQ(Initialize(), 1);
    EXPECT_EQ(KxScDataObject::FindClassObject("Timer"), phFirst);
    EXPECT_EQ(Shutdown(), 1);
    EXPECT_EQ(Shutdown(), 1);
    for (const char* c : kClasses) EXPECT_FALSE(Published(c)) << c;
    Unload();
}

TEST_F(PluginTest, ShutdownWithoutInitializeIsHarmless) {
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Shutdown(), 1);
    EXPECT_EQ(Unload(), 1);
}

}  // namespace
