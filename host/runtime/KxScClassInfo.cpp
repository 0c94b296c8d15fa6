#include "KxScClassInfo.h"

KxScCiItem::KxScCiItem(const KxString& sText) : sText(sText) {}

KxScCiItem::~KxScCiItem() {
    for (KxDblList::Node* pn = lChildren.First(); pn; pn = KxDblList::Next(pn))
        delete static_cast<KxScCiItem*>(pn->pvItem);
}

KxString KxScCiItem::TreeLine() { return sText; }

void KxScCiItem::DisplayInTree(KxString* psTree, int nDepth) {
    if (!psTree) return;
    for (int i = 0; i < nDepth; ++i) *psTree << "  ";
    *psTree << TreeLine() << "\n";
    for (KxDblList::Node* pn = lChildren.First(); pn; pn = KxDblList::Next(pn))
        static_cast<KxScCiItem*>(pn->pvItem)->DisplayInTree(psTree, nDepth + 1);
}

KxScMethodParameterInfo::KxScMethodParameterInfo(const KxString& sText, bool bOptional)
    : KxScCiItem(sText), bOptional(bOptional) {}

namespace {
// Help lines are leaves of the tree under their parameter.
class KxScCiHelpText : public KxScCiItem {
public:
    using KxScCiItem::KxScCiItem;
    int GetTreeImage() override { return KXCI_PARAMETER; }
};
}  // namespace

void KxScMethodParameterInfo::AppendHelpText(const KxString& sHelp) {
    AddChild(new KxScCiHelpText(sHelp));
}

KxString KxScMethodParameterInfo::TreeLine() {
    KxString sLine("parameter ");
    sLine << sText;
    if (bOptional) sLine << " (optional)";
    return sLine;
}

KxScCiMethod::KxScCiMethod(const KxString& sName) : KxScCiItem(sName) {}
KxString KxScCiMethod::TreeLine() { return KxString("method ") + sText; }

KxScCiProperty::KxScCiProperty(const KxString& sName) : KxScCiItem(sName) {}
KxString KxScCiProperty::TreeLine() { return KxString("property ") + sText; }

KxScClassInfo::KxScClassInfo(const KxString& sClassName) : KxScCiItem(sClassName) {}
KxString KxScClassInfo::TreeLine() { return KxString("class ") + sText; }
