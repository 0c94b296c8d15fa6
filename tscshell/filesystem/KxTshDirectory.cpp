#include "KxTshDirectory.h"

#include <memory>

namespace {

const KxTshMethodDef kMethods[] = {
    {"Open", KXTSH_METHOD(KxTshDirectory, Open), 1},
    {"First", KXTSH_METHOD(KxTshDirectory, First), 0},
    {"Next", KXTSH_METHOD(KxTshDirectory, Next), 0},
    {"Close", KXTSH_METHOD(KxTshDirectory, Close), 0},
    {"Exists", KXTSH_METHOD(KxTshDirectory, Exists), 1},
    {"Create", KXTSH_METHOD(KxTshDirectory, Create), 1},
};
const KxTshSignatureDef kSignatures[] = {{"Open", {"String"}}, {"Exists", {"String"}}, {"Create", {"String"}}};
enum { TOKEN_NAME, TOKEN_COUNT };
const char* const kTokens[] = {"name", "count"};
const KxTshMethodDoc kDocs[] = {
    {"Open", {{"String directory", nullptr}}}, {"Close", {}}, {"First", {}}, {"Next", {}},
    {"Exists", {{"String directory", nullptr}}}, {"Create", {{"String directory", nullptr}}},
};
const KxTshConstant kConstants[] = {
    {"FILE_ATTRIBUTE_ARCHIVE", 32},  {"FILE_ATTRIBUTE_COMPRESSED", 2048},
    {"FILE_ATTRIBUTE_DIRECTORY", 16}, {"FILE_ATTRIBUTE_HIDDEN", 2},
    {"FILE_ATTRIBUTE_NORMAL", 128},  {"FILE_ATTRIBUTE_OFFLINE", 4096},
    {"FILE_ATTRIBUTE_READONLY", 1},  {"FILE_ATTRIBUTE_SYSTEM", 4},
    {"FILE_ATTRIBUTE_TEMPORARY", 256},
};
const int kDirectoryError = 18;

// A path that is not a string (only a direct caller can pass one), or that the system cannot
// take whole, is absent: the folder reader fails on it before any call.
KxString PathArg(int nArgs, KxScDataHandle** pphArgs) {
    const KxString* psPath = KxTsh::TextArg(nArgs, pphArgs, 0);
    return psPath && KxTsh::SystemTakes(*psPath) ? KxTsh::Join(*psPath) : KxString(NULL_STRING);
}

KxScDataHandle* EntryRecord(const KxDirectoryFileInfo& info) {
    return KxTsh::Record({{"name", 0, info.GetFileName()},
                          {"path", 0, info.GetFilePath()},
                          {"attr", static_cast<int>(info.QueryAttributes()), nullptr},
                          {"size", static_cast<int>(info.Size()), nullptr}});
}

}  // namespace

const KxTshClassDef KxTshDirectory::kDef = {kMethods, kSignatures, kTokens, kDocs, kTokens, kConstants, true, kDirectoryError};

KxTshDirectory::KxTshDirectory() : KxTshClass(KXO_SCRIPT_CLASS), bOpen(false) {}

KxTshDirectory::KxTshDirectory(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS), bOpen(false) {
    BuildClassObject();
}

KxTshDirectory::~KxTshDirectory() {
    if (bOpen) oDirectory.Close();
}

bool KxTshDirectory::GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue) {
    switch (LookupPropertyToken(sName, pptTokenTable)) {
    case TOKEN_NAME: *pphValue = KxScDataHandle::CreateData(oDirectory.sName, false); return true;
    case TOKEN_COUNT: *pphValue = KxScDataHandle::CreateData(oDirectory.nCount); return true;
    default: return false;
    }
}

KxScDataHandle* KxTshDirectory::Open(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    std::unique_ptr<KxTshDirectory> pDirectory(new KxTshDirectory);
    if (!pDirectory->oDirectory.Open(PathArg(nArgs, pphArgs))) return nullptr;
    pDirectory->bOpen = true;
    return KxScDataHandle::CreateData(pDirectory.release());
}

KxScDataHandle* KxTshDirectory::Walk(const char* pszMethod, KxDirectoryFileInfo* (KxDirectory::*pfnStep)()) {
    if (OnClassObject()) {
        KxTsh::Raise(kDirectoryError, KxTsh::Join(pszMethod, " cannot be called on the class object"));
        return nullptr;
    }
    if (!bOpen) {
        KxTsh::Raise(kDirectoryError, KxTsh::Join(pszMethod, " called on a non-open directory."));
        return nullptr;
    }
    KxDirectoryFileInfo* pInfo = (oDirectory.*pfnStep)();
    return pInfo ? EntryRecord(*pInfo) : nullptr;
}

KxScDataHandle* KxTshDirectory::First(KxScDataHandle*, int, KxScDataHandle**) {
    return Walk("First", &KxDirectory::First);
}

KxScDataHandle* KxTshDirectory::Next(KxScDataHandle*, int, KxScDataHandle**) {
    return Walk("Next", &KxDirectory::Next);
}

KxScDataHandle* KxTshDirectory::Close(KxScDataHandle*, int, KxScDataHandle**) {
    if (OnClassObject()) {
        KxTsh::Raise(kDirectoryError, "Close cannot be called on the class object");
        return nullptr;
    }
    if (bOpen) {
        bOpen = false;
        oDirectory.Close();
    }
    return nullptr;
}

KxScDataHandle* KxTshDirectory::Exists(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return KxTsh::Bool(KxDirectory::Exists(PathArg(nArgs, pphArgs)));
}

KxScDataHandle* KxTshDirectory::Create(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    // The system says it made a name of a device ("NUL", "CON") and makes nothing: only a
    // folder found afterwards counts.
    KxString sPath = PathArg(nArgs, pphArgs);
    return KxTsh::Bool(KxDirectory::CreateFolder(sPath, nullptr) && KxDirectory::Exists(sPath));
}
