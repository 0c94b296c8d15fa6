#pragma once
// What the runtime's parts share that is not part of its public face.
#include "KxScVmEnv.h"

// A script global. Slots live until the runtime shuts down, so compiled code can keep a
// pointer to the slot of each name it uses; an undefined global has no handle.
struct KxScGlobalSlot {
    KxString sName;
    KxScDataHandle* phValue = nullptr;
    bool bSetByHost = false;  // by SetGlobalVariable, not by a script's assignment
};
KxScGlobalSlot* RtGlobalSlot(const KxString& sName);
void RtDropAllGlobals();

// A handle for nil (flag word 0), for globals and lists that hold nil.
KxScDataHandle* RtCreateNil();
// A string handle that takes over the text instead of copying it.
KxScDataHandle* RtCreateString(KxString&& sText);
// True when the script has made enough since the last collection for another one to be
// worth its time.
bool RtCollectDue();
int RtLiveHandles();

// Forgets the class registration and root-exemplar link of a handle being freed or
// unregistered.
void RtUnlinkClassHandle(KxScDataHandle* phClass);
void RtDeleteClassInfos();

// The list objects behind KxScStdLibListInterface.
class KxScListObject : public KxScValueObject, public KxScStdLibList {
public:
    KxScListObject();
    ~KxScListObject() override;
    __TarvoTypeInfo* TarvoTypeInfo() override;
    KxString GetClassNameA() override;
    KxScLinkData* CountCircLinks(KxScDataHandle* phSelf) override;
    int GetThroughCount(KxScDataHandle* phTarget) override;
    unsigned long long HeldBytes() override { return sizeof(KxScDataHandle*) * static_cast<unsigned>(nCapacity); }

    int ItemCount() override { return nCount; }
    KxScDataHandle* GetItem(int nIndex) override {
        return nIndex >= 0 && nIndex < nCount ? pphItems[nIndex] : nullptr;
    }
    void AppendItem(KxScDataHandle* phItem) override;
    static __TarvoTypeInfo _ptiTypeInfo;

private:
    KxScDataHandle** pphItems;
    int nCount, nCapacity;
};

// Writes bytes at once to the host's standard output or error (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE), as they were when the runtime started; RtKeepStdHandles takes them.
void RtWriteStd(unsigned long dwStdHandle, const char* pText, unsigned nLength);
void RtKeepStdHandles();
