// Reference counts and the collector, seen from native code.
#include <gtest/gtest.h>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"

namespace {

// Counts its destructions; optionally collects from its destructor.
class Tracked : public KxScObject {
public:
    explicit Tracked(int* pnDestroyed, bool bCollectInDestructor = false)
        : KxScObject(KXO_SCRIPT_CLASS), pnDestroyed(pnDestroyed),
          bCollectInDestructor(bCollectInDestructor) {}
    ~Tracked() override {
        ++*pnDestroyed;
        if (bCollectInDestructor) {
            KxScDataHandle::CreateData(7)->Drop();  // made and let go while it runs
            KxScDataHandle::GarbageCollect();
        }
    }
    int* pnDestroyed;
    bool bCollectInDestructor;
};

class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        KxTarvo::Startup();
        KxScDataHandle::GarbageCollect();
        nLiveBefore = KxTarvo::LiveHandles();
    }
    void TearDown() override {
        KxScDataHandle::GarbageCollect();
        EXPECT_EQ(KxTarvo::LiveHandles(), nLiveBefore);
        KxTarvo::Shutdown();
        EXPECT_EQ(KxScData::LiveObjects(), 0);
    }
    KxScDataHandle* New() { return KxScDataHandle::CreateData(new Tracked(&nDestroyed)); }
    // Sets the property; bHandOver: the caller's reference goes to the object.
    static void Link(KxScDataHandle* phFrom, const char* pszName, KxScDataHandle* phTo, bool bHandOver = false) {
        phFrom->Object()->SetProperty(nullptr, pszName, phTo, bHandOver);
    }
    int nLiveBefore = 0;
    int nDestroyed = 0;
};

TEST_F(Collector, PropertiesHandOverOrShareReferencesAndReadsGiveOne) {
    KxScDataHandle* phObj = New();
    KxScDataHandle* phText = KxScDataHandle::CreateData("t", false);
    Link(phObj, "shared", phText);
    EXPECT_EQ(phText->wRefCount, 2);
    KxScDataHandle* phRead = nullptr;
    ASSERT_EQ(phObj->Object()->GetProperty("shared", &phRead), KX_PROP_OK);
    EXPECT_EQ(phRead, phText);
    EXPECT_EQ(phText->wRefCount, 3);
    phRead->Drop();
    // Replacing the property drops the object's reference on the old value.
    Link(phObj, "shared", KxScDataHandle::CreateData(1), true);
    EXPECT_EQ(phText->wRefCount, 1);
    EXPECT_EQ(phObj->Object()->GetProperty("absent", &phRead), KX_PROP_NOT_FOUND);
    phText->Drop();
    phObj->Drop();
    // An object wrapped twice gets its handle again; its Release drops that handle.
    Tracked* po = new Tracked(&nDestroyed);
    KxScDataHandle* ph = KxScDataHandle::CreateData(po);
    EXPECT_EQ(KxScDataHandle::CreateData(po), ph);
    EXPECT_EQ(ph->wRefCount, 2);
    po->Release();
    EXPECT_EQ(ph->wRefCount, 1);
    ph->Drop();
    ph->Drop();  // dropping below zero stays at zero
    EXPECT_EQ(ph->wRefCount, 0);
    KxScDataHandle::GarbageCollect();
    EXPECT_EQ(nDestroyed, 2);
}

TEST_F(Collector, FixedHandlesAreFreedAtZeroAndSaturatedOnesNever) {
    KxScDataHandle* phFixed = KxScDataHandle::CreateData("fixed", true);
    EXPECT_TRUE(phFixed->wFlags & HF_FIXED);
    phFixed->Drop();
    KxScDataHandle* phSaturated = New();
    phSaturated->wRefCount = 0xFFFF;
    phSaturated->Drop();
    EXPECT_EQ(phSaturated->wRefCount, 0xFFFF);
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 1);
    // A saturated count is no longer exact: its handle may be held from anywhere, so a cycle
    // through it is never freed either.
    KxScDataHandle* phb = New();
    Link(phSaturated, "b", phb, true);
    Link(phb, "a", phSaturated);
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 0);
    EXPECT_EQ(phb->wRefCount, 1);
    EXPECT_EQ(nDestroyed, 0);
    phSaturated->wRefCount = 1;  // let the fixture's leak check pass
}

TEST_F(Collector, UnregisteringOrFreeingAClassUnlinksItEverywhere) {
    class Named : public Tracked {
    public:
        using Tracked::Tracked;
        KxString GetClassNameA() override { return "Named"; }
    };
    for (bool bUnregisterFirst : {true, false}) {
        KxScDataHandle* ph = KxScDataHandle::CreateData(new Named(&nDestroyed));
        KxScObject::poExemplar->AddChildClass(ph);
        KxScDataObject::RegisterClassObject("Named", ph);
        ASSERT_EQ(KxScDataObject::FindClassObject("Named"), ph);
        if (bUnregisterFirst) KxScDataObject::UnregisterClassObject("Named");
        ph->Drop();
        KxScDataHandle::GarbageCollect();
        EXPECT_EQ(KxScDataObject::FindClassObject("Named"), nullptr);
        EXPECT_EQ(KxScObject::poExemplar->GetChildClasses()->Count(), 0);
    }
    EXPECT_EQ(nDestroyed, 2);
}

TEST_F(Collector, FreesChainsAndGroupsThatOnlyReferToEachOther) {
    // a and b hold each other, c holds itself, a list holds a bag that holds the list, d holds
    // e that holds f; all of them also hold a value that stays.
    KxScDataHandle* phKept = KxScDataHandle::CreateData("kept", false);
    KxScDataHandle *pha = New(), *phb = New(), *phc = New(), *phBag = New(), *phd = New(), *phe = New();
    KxScStdLibList* pList = nullptr;
    KxScDataHandle* phList = nullptr;
    KxScStdLib::pslliListInterface->CreateList(&pList, &phList);
    Link(pha, "b", phb);
    Link(phb, "a", pha);
    Link(phc, "me", phc);
    pList->AppendItem(phBag);
    pList->AppendItem(phBag);
    Link(phBag, "list", phList);
    Link(phd, "e", phe, true);
    Link(phe, "f", New(), true);
    for (KxScDataHandle* ph : {pha, phb, phc, phBag}) Link(ph, "kept", phKept);
    EXPECT_EQ(phKept->wRefCount, 5);
    // While one reference from outside is left, its whole group stays as it was.
    pha->Drop();
    phBag->Drop();
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 0);
    EXPECT_EQ(nDestroyed, 0);
    for (auto c : std::initializer_list<std::pair<KxScDataHandle*, int>>{{pha, 1}, {phb, 2}, {phc, 2}, {phBag, 2}, {phList, 2}, {phKept, 5}})
        EXPECT_EQ(c.first->wRefCount, c.second);
    for (KxScDataHandle* ph : {phb, phc, phList, phd}) ph->Drop();
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 8);
    EXPECT_EQ(nDestroyed, 7);
    EXPECT_EQ(phKept->wRefCount, 1) << "each freed object dropped its reference once";
    phKept->Drop();
    // Destructors may collect and make handles while a collection runs.
    KxScDataHandle::CreateData(new Tracked(&nDestroyed, true))->Drop();
    KxScDataHandle::GarbageCollect();
    EXPECT_EQ(nDestroyed, 8);
}

TEST_F(Collector, DestructorsInACycleMayMakeValuesThatStay) {
    // Each object of a cycle, as it goes, makes a new value and keeps it in a global. The
    // references the objects then drop on each other must not land on those values.
    class Keeping : public Tracked {
    public:
        using Tracked::Tracked;
        ~Keeping() override {
            KxString sName("made");
            sName << *pnDestroyed;
            KxScVmEnv::SetGlobalVariable(sName, KxScDataHandle::CreateData(*pnDestroyed), true, false);
        }
    };
    KxScDataHandle* pha = KxScDataHandle::CreateData(new Keeping(&nDestroyed));
    KxScDataHandle* phb = KxScDataHandle::CreateData(new Keeping(&nDestroyed));
    Link(pha, "b", phb, true);
    Link(phb, "a", pha, true);
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 2);
    for (int i = 0; i < 2; ++i) {
        KxString sName("made");
        sName << i;
        KxScDataHandle* ph = nullptr;
        ASSERT_TRUE(KxScVmEnv::GetGlobalVariable(sName, &ph));
        EXPECT_EQ(ph->wFlags, HF_INTEGER);
        EXPECT_EQ(ph->wRefCount, 1);
        EXPECT_EQ(static_cast<int>(ph->dwValue), i);
        KxScVmEnv::ClearGlobalVariable(sName, true);
    }
}

TEST_F(Collector, GlobalsHoldOneReferenceEach) {
    KxScDataHandle* ph = KxScDataHandle::CreateData("g", false);
    ASSERT_TRUE(KxScVmEnv::SetGlobalVariable("G", ph, true, false));
    EXPECT_FALSE(KxScVmEnv::SetGlobalVariable("G", ph, false, true)) << "only if new";
    EXPECT_EQ(ph->wRefCount, 1);
    KxScDataHandle* phGot = nullptr;
    ASSERT_TRUE(KxScVmEnv::GetGlobalVariable("G", &phGot));
    EXPECT_EQ(phGot, ph);
    ASSERT_TRUE(KxScVmEnv::ClearGlobalVariable("G", false));
    EXPECT_EQ(ph->wRefCount, 1) << "cleared without release: the caller now holds it";
    EXPECT_FALSE(KxScVmEnv::GetGlobalVariable("G", &phGot));
    ph->Drop();
}

}  // namespace
