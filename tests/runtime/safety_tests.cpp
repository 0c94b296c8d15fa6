// What the runtime refuses so that no script can corrupt the host: methods called with `this`
// of another class; scripts run before the runtime started or after it shut down.
#include <fstream>

#include "../plugin/script_fixture.h"

namespace {

// A script class reduced to what matters here: its own type, a class object, one method.
class Owner : public KxScObject {
public:
    explicit Owner(bool bClassObject) : KxScObject(KXO_SCRIPT_CLASS), bClassObject(bClassObject) {}
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return "Owner"; }
    bool IsClassObject() override { return bClassObject; }
    KxScDataHandle* Tag(KxScDataHandle*, int, KxScDataHandle**) { return KxScDataHandle::CreateData(nTag); }
    static __TarvoTypeInfo _ptiTypeInfo;
    bool bClassObject;
    int nTag = 7;  // what a method of another class would read as something else
};
__TarvoTypeInfo Owner::_ptiTypeInfo("TestOwner", &KxScObject::_ptiTypeInfo);

class Derived : public Owner {
public:
    Derived() : Owner(false) {}
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    static __TarvoTypeInfo _ptiTypeInfo;
};
__TarvoTypeInfo Derived::_ptiTypeInfo("TestDerived", &Owner::_ptiTypeInfo);

// Another class, with a class object too; it is not an Owner.
class Other : public KxScObject {
public:
    Other() : KxScObject(KXO_SCRIPT_CLASS) {}
    __TarvoTypeInfo* TarvoTypeInfo() override { return &_ptiTypeInfo; }
    KxString GetClassNameA() override { return "Other"; }
    bool IsClassObject() override { return true; }
    static __TarvoTypeInfo _ptiTypeInfo;
};
__TarvoTypeInfo Other::_ptiTypeInfo("TestOther", &KxScObject::_ptiTypeInfo);

class MethodSafety : public ScriptTest {
protected:
    // Stores the method on the object under the name and makes the object global NAME.
    static void Publish(const char* pszName, KxScDataObject* po, KxScDataHandle* phMethod) {
        po->SetProperty(nullptr, "Tag", phMethod, false);
        KxScVmEnv::SetGlobalVariable(pszName, KxScDataHandle::CreateData(po), true, false);
    }
};

TEST_F(MethodSafety, AMethodRunsOnlyOnObjectsOfTheClassItWasRegisteredOn) {
    KxScMethodFunc pfnTag = static_cast<KxScMethodFunc>(&Owner::Tag);
    KxScDataHandle* phTag = KxScDataHandle::CreateData(pfnTag, "Owner::Tag", 0);
    // Registered on Owner's class object; then given to another class object (which does not
    // make it Other's), to an instance of a derived type, and to a plain object.
    Publish("OWNER", new Owner(true), phTag);
    Publish("OTHER", new Other, phTag);
    Publish("DERIVED", new Derived, phTag);
    Publish("PLAIN", new KxScObject(KxScDataObject::KXO_SCRIPT_CLASS), phTag);
    phTag->Drop();
    // Never stored on a class object: it belongs to no class and runs on nothing.
    KxScDataHandle* phLoose = KxScDataHandle::CreateData(pfnTag, "Owner::Tag", 0);
    Publish("LOOSE", new Owner(false), phLoose);
    phLoose->Drop();

    Run("a = OWNER.Tag(); b = DERIVED.Tag();");
    EXPECT_EQ(Int("a"), 7);
    EXPECT_EQ(Int("b"), 7);
    ExpectErrors({
        {"OTHER.Tag();", "110 'Owner::Tag' cannot be called on <Other>"},
        {"PLAIN.Tag();", "110 'Owner::Tag' cannot be called on <Object>"},
        {"LOOSE.Tag();", "110 'Owner::Tag' cannot be called on <Owner>"},
    });
    for (const char* pszName : {"OWNER", "OTHER", "DERIVED", "PLAIN", "LOOSE"})
        KxScVmEnv::ClearGlobalVariable(pszName, true);
}

// A host's calls out of order: each suite here shuts its runtime down, so the first round
// finds none started, the second one shut down. Nothing runs and nothing is made that no
// later Shutdown would free; a new Startup runs the same text.
TEST(HostSequence, ScriptsOutsideStartupAndShutdownAreTurnedAway) {
    std::ofstream("out-of-order.tarvo") << "made = \"x\" + 1; list = ARGS;\n";
    char szArg[] = "arg";
    char* apszArgs[] = {szArg};
    for (const char* pszRound : {"never started", "shut down"}) {
        int nLive = KxTarvo::LiveHandles(), nObjects = KxScData::LiveObjects();
        EXPECT_EQ(KxTarvo::RunFile("out-of-order.tarvo"), KxTarvo::RUN_NOT_STARTED) << pszRound;
        EXPECT_EQ(KxTarvo::RunSource("made = \"x\" + 1;", "test"), KxTarvo::RUN_NOT_STARTED) << pszRound;
        KxTarvo::SetScriptArgs("out-of-order.tarvo", 1, apszArgs);
        EXPECT_EQ(KxTarvo::LiveHandles(), nLive) << pszRound;
        EXPECT_EQ(KxScData::LiveObjects(), nObjects) << pszRound;
        KxTarvo::Startup();
        KxTarvo::SetScriptArgs("out-of-order.tarvo", 1, apszArgs);
        EXPECT_EQ(KxTarvo::RunFile("out-of-order.tarvo"), KxTarvo::RUN_OK) << pszRound;
        KxTarvo::Shutdown();
        EXPECT_EQ(KxScData::LiveObjects(), 0) << pszRound;
    }
    DeleteFileA("out-of-order.tarvo");
}

}  // namespace
