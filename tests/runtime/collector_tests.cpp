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
    phSaturated->wRefCount = 0;  // let the fixture's leak check pass
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
