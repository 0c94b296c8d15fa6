// Reference counts and the collector, seen from native code.
#include <gtest/gtest.h>

#include "KxScVmEnv.h"
#include "KxTarvoHost.h"

namespace {

// Counts its destructions; optionally holds a property and collects from its destructor.
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
    int nLiveBefore = 0;
    int nDestroyed = 0;
};

TEST_F(Collector, FreesChainsOfUnreferencedObjectsInOneCall) {
    // a holds b as a property, b holds c: dropping a frees all three in one collection.
    KxScDataHandle* pha = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScDataHandle* phb = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScDataHandle* phc = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    pha->Object()->SetProperty(nullptr, "b", phb, true);
    phb->Object()->SetProperty(nullptr, "c", phc, true);
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 0) << "everything is still referenced";
    pha->Drop();
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 3);
    EXPECT_EQ(nDestroyed, 3);
}

TEST_F(Collector, PropertiesHandOverOrShareReferencesAndReadsGiveOne) {
    KxScDataHandle* phObj = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScDataHandle* phText = KxScDataHandle::CreateData("t", false);
    phObj->Object()->SetProperty(nullptr, "shared", phText, false);
    EXPECT_EQ(phText->wRefCount, 2);
    KxScDataHandle* phRead = nullptr;
    ASSERT_EQ(phObj->Object()->GetProperty("shared", &phRead), KX_PROP_OK);
    EXPECT_EQ(phRead, phText);
    EXPECT_EQ(phText->wRefCount, 3);
    phRead->Drop();
    // Replacing the property drops the object's reference on the old value.
    phObj->Object()->SetProperty(nullptr, "shared", KxScDataHandle::CreateData(1), true);
    EXPECT_EQ(phText->wRefCount, 1);
    EXPECT_EQ(phObj->Object()->GetProperty("absent", &phRead), KX_PROP_NOT_FOUND);
    phText->Drop();
    phObj->Drop();
}

TEST_F(Collector, WrappingAnObjectTwiceGivesItsHandleAgain) {
    Tracked* po = new Tracked(&nDestroyed);
    KxScDataHandle* ph1 = KxScDataHandle::CreateData(po);
    KxScDataHandle* ph2 = KxScDataHandle::CreateData(po);
    EXPECT_EQ(ph1, ph2);
    EXPECT_EQ(ph1->wRefCount, 2);
    po->Release();  // through the object, on its handle
    EXPECT_EQ(ph1->wRefCount, 1);
    ph1->Drop();
    ph1->Drop();  // dropping below zero stays at zero
    EXPECT_EQ(ph1->wRefCount, 0);
    KxScDataHandle::GarbageCollect();
    EXPECT_EQ(nDestroyed, 1);
}

TEST_F(Collector, FixedHandlesAreFreedAtZeroAndSaturatedOnesNever) {
    KxScDataHandle* phFixed = KxScDataHandle::CreateData("fixed", true);
    EXPECT_TRUE(phFixed->wFlags & HF_FIXED);
    phFixed->Drop();
    KxScDataHandle* phSaturated = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    phSaturated->wRefCount = 0xFFFF;
    phSaturated->Drop();
    EXPECT_EQ(phSaturated->wRefCount, 0xFFFF);
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 1);
    EXPECT_EQ(nDestroyed, 0);
    // A saturated count is no longer exact: its handle may be held from anywhere, so a cycle
    // through it is never freed either.
    KxScDataHandle* phb = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    phSaturated->Object()->SetProperty(nullptr, "b", phb, true);
    phb->Object()->SetProperty(nullptr, "a", phSaturated, false);
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 0);
    EXPECT_EQ(phb->wRefCount, 1);
    EXPECT_EQ(nDestroyed, 0);
    phSaturated->wRefCount = 1;  // let the fixture's leak check pass
}

TEST_F(Collector, ToleratesDestructorsThatCollectAndMakeHandles) {
    KxScDataHandle::CreateData(new Tracked(&nDestroyed, true))->Drop();
    KxScDataHandle::GarbageCollect();
    EXPECT_EQ(nDestroyed, 1);
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

TEST_F(Collector, FreesGroupsThatOnlyReferToEachOther) {
    // a and b hold each other, c holds itself, a list holds a bag that holds the list; all
    // of them also hold a value that stays.
    KxScDataHandle* phKept = KxScDataHandle::CreateData("kept", false);
    KxScDataHandle* pha = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScDataHandle* phb = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScDataHandle* phc = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScDataHandle* phBag = KxScDataHandle::CreateData(new Tracked(&nDestroyed));
    KxScStdLibList* pList = nullptr;
    KxScDataHandle* phList = nullptr;
    KxScStdLib::pslliListInterface->CreateList(&pList, &phList);
    pha->Object()->SetProperty(nullptr, "b", phb, false);
    phb->Object()->SetProperty(nullptr, "a", pha, false);
    phc->Object()->SetProperty(nullptr, "me", phc, false);
    pList->AppendItem(phBag);
    pList->AppendItem(phBag);
    phBag->Object()->SetProperty(nullptr, "list", phList, false);
    for (KxScDataHandle* ph : {pha, phb, phc, phBag}) ph->Object()->SetProperty(nullptr, "kept", phKept, false);
    EXPECT_EQ(phKept->wRefCount, 5);

    // While one reference from outside is left, its whole group stays as it was.
    pha->Drop();
    phBag->Drop();
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 0);
    EXPECT_EQ(nDestroyed, 0);
    EXPECT_EQ(pha->wRefCount, 1);
    EXPECT_EQ(phb->wRefCount, 2);
    EXPECT_EQ(phc->wRefCount, 2);
    EXPECT_EQ(phBag->wRefCount, 2);
    EXPECT_EQ(phList->wRefCount, 2);
    EXPECT_EQ(phKept->wRefCount, 5);

    phb->Drop();
    phc->Drop();
    phList->Drop();
    EXPECT_EQ(KxScDataHandle::GarbageCollect(), 5);
    EXPECT_EQ(nDestroyed, 4);
    EXPECT_EQ(phKept->wRefCount, 1) << "each freed object dropped its reference once";
    phKept->Drop();
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
    pha->Object()->SetProperty(nullptr, "b", phb, true);
    phb->Object()->SetProperty(nullptr, "a", pha, true);
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

// The interpreter collects as a script runs, however long it runs: what a loop makes and
// drops stays in proportion to what is alive.
TEST(CollectorPace, KeepsPaceWithLoopsThatMakeAndDropValues) {
    KxTarvo::Startup();
    int nLiveBefore = KxTarvo::LiveHandles();
    struct {
        const char* pszCode;
        int nMaxLive;
    } cases[] = {
        // The first collection comes early; later ones must come too.
        {"i = 0; while (i < 100000) { x = \"a\" + i; i = i + 1; }", 3 * 8192},
        // Few values, but each larger than the last: their bytes call for collections.
        {"s = \"\"; i = 0; while (i < 5000) { s = s + \"0123456789\"; i = i + 1; }", 1000},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(KxTarvo::RunSource(c.pszCode, "loop"), KxTarvo::RUN_OK);
        EXPECT_LT(KxTarvo::LiveHandles() - nLiveBefore, c.nMaxLive) << c.pszCode;
    }
    KxTarvo::Shutdown();
    EXPECT_EQ(KxScData::LiveObjects(), 0);
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
