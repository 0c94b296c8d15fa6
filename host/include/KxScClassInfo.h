#pragma once
#include "KxDblList.h"
#include "KxScRuntimeApi.h"
#include "KxString.h"

// The description of a script class that the runtime shows to users: a tree of items (the
// class, its methods with their parameters, its properties). Each item owns the items added
// to it and shows itself in the host's class browser.
class KXRT_API KxScCiItem {
public:
    enum { KXCI_CLASS = 0, KXCI_METHOD = 1, KXCI_PARAMETER = 2, KXCI_PROPERTY = 3 };

    explicit KxScCiItem(const KxString& sText);
    KxScCiItem(const KxScCiItem&) = delete;
    KxScCiItem& operator=(const KxScCiItem&) = delete;
    virtual ~KxScCiItem();

    // Appends this item and its children to psTree, one line each, indented by depth.
    virtual void DisplayInTree(KxString* psTree, int nDepth);
    // The browser's image for the item: one of the KXCI_ kinds.
    virtual int GetTreeImage() = 0;

    const KxString& Text() const { return sText; }

protected:
    void AddChild(KxScCiItem* pciChild) { lChildren.Add(pciChild); }
    // The line shown for the item itself.
    virtual KxString TreeLine();

    KxString sText;
    KxDblList lChildren;
};

class KXRT_API KxScMethodParameterInfo : public KxScCiItem {
public:
    // sText as a rule is the type, a blank and the name ("String directory").
    KxScMethodParameterInfo(const KxString& sText, bool bOptional);
    // Help lines shown under the parameter.
    void AppendHelpText(const KxString& sHelp);
    int GetTreeImage() override { return KXCI_PARAMETER; }
    bool bOptional;

protected:
    KxString TreeLine() override;
};

class KXRT_API KxScCiMethod : public KxScCiItem {
public:
    explicit KxScCiMethod(const KxString& sName);
    void AddParameter(KxScMethodParameterInfo* ppiParameter) { AddChild(ppiParameter); }
    int GetTreeImage() override { return KXCI_METHOD; }

protected:
    KxString TreeLine() override;
};

class KXRT_API KxScCiProperty : public KxScCiItem {
public:
    explicit KxScCiProperty(const KxString& sName);
    int GetTreeImage() override { return KXCI_PROPERTY; }

protected:
    KxString TreeLine() override;
};

class KXRT_API KxScClassInfo : public KxScCiItem {
public:
    explicit KxScClassInfo(const KxString& sClassName);
    void AddMethod(KxScCiMethod* pmiMethod) { AddChild(pmiMethod); }
    void AddProperty(KxScCiProperty* ppiProperty) { AddChild(ppiProperty); }
    int GetTreeImage() override { return KXCI_CLASS; }

    // Every description handed to KxScDataObject::AddClassInfo, as a tree, in the order given.
    static KxString AllClassesTree();

protected:
    KxString TreeLine() override;
};
