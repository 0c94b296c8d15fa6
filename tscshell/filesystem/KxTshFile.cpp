#include "KxTshFile.h"

#include <memory>

namespace {

const KxTshMethodDef kMethods[] = {
    {"Open", KXTSH_METHOD(KxTshFile, Open), 2},
    {"Close", KXTSH_METHOD(KxTshFile, Close), 0},
    {"ReadLn", KXTSH_METHOD(KxTshFile, ReadLn), 0},
    {"Write", KXTSH_METHOD(KxTshFile, Write), -1},
    {"WriteLn", KXTSH_METHOD(KxTshFile, WriteLn), -1},
    {"Flush", KXTSH_METHOD(KxTshFile, Flush), 0},
    {"Copy", KXTSH_METHOD(KxTshFile, Copy), 2},
    {"Delete", KXTSH_METHOD(KxTshFile, Delete), 1},
    {"DoesExist", KXTSH_METHOD(KxTshFile, DoesExist), 1},
};
const KxTshSignatureDef kSignatures[] = {
    {"Open", {"String", "String"}}, {"Copy", {"String", "String"}},
    {"Delete", {"String"}}, {"DoesExist", {"String"}},
};
// The token table says "filename" while the property is found as "fileName": lists of
// property names show the former, reads need the latter.
const char* const kTokens[] = {"filename"};
const char* const kSpellings[] = {"fileName"};
const KxTshMethodDoc kDocs[] = {
    {"Open", {{"String fileName", nullptr},
              {"String fileMode", "Allowable file modes:\n\"read\" - opens in read mode\n"
                                  "\"write\" - opens in write mode\n\"append\" - opens in append mode"}}},
    {"Close", {}}, {"ReadLn", {}},
    {"Write", {{"<var args>", nullptr}}}, {"WriteLn", {{"<var args>", nullptr}}},
    {"Flush", {}},
    {"Copy", {{"String sourceFileName", nullptr}, {"String destFileName", nullptr}}},
    {"Delete", {{"String fileName", nullptr}}}, {"DoesExist", {{"String fileName", nullptr}}},
};
const KxTshConstant kConstants[] = {
    {"FILE_READ", KxTshFile::FS_READ}, {"FILE_WRITE", KxTshFile::FS_WRITE}, {"FILE_APPEND", KxTshFile::FS_APPEND},
};
// The modes Open accepts, tested in this order.
const KxTshConstant kModes[] = {
    {"read", KxTshFile::FS_READ}, {"write", KxTshFile::FS_WRITE}, {"append", KxTshFile::FS_APPEND},
};
const int kFileError = 28;

// A name argument that is not a string (only a direct caller can pass one) reads as "",
// which no file system accepts.
KxString NameArg(int nArgs, KxScDataHandle** pphArgs, int i) { return KxTsh::TextArg(nArgs, pphArgs, i, ""); }

// Copy, Delete and DoesExist give 0 for a name the system cannot take as a file's, without a
// call.
bool SystemTakesNames(const KxString& sFirst, const KxString& sSecond = "") {
    return KxTsh::PathTakes(sFirst) && KxTsh::PathTakes(sSecond);
}

}  // namespace

const KxTshClassDef KxTshFile::kDef = {kMethods, kSignatures, kTokens, kDocs, kSpellings, kConstants, false, kFileError};

KxTshFile::KxTshFile() : KxTshClass(KXO_SCRIPT_CLASS | KXO_RESOURCE) { SetClosed(); }

KxTshFile::KxTshFile(ClassObjectTag) : KxTshClass(KXO_SCRIPT_CLASS) {
    SetClosed();
    BuildClassObject();
}

// Output still buffered reaches the file when the last reference goes.
KxTshFile::~KxTshFile() { CloseFile(); }

bool KxTshFile::GetOwnProperty(const KxString& sName, KxScDataHandle** pphValue) {
    if (sName != "fileName") return false;
    *pphValue = KxScDataHandle::CreateData(sFileName, false);
    return true;
}

KxScDataHandle* KxTshFile::Open(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    std::unique_ptr<KxTshFile> pFile(new KxTshFile);
    KxString sMode = NameArg(nArgs, pphArgs, 1);
    unsigned dwMode = 0;
    for (const KxTshConstant& m : kModes)
        if (sMode == m.pszName) {
            dwMode = m.nValue;
            break;
        }
    KxString sError;
    if (!dwMode) {
        sError = KxTsh::Join("File::Open(): Invalid mode specified: ", sMode);
    } else if (pFile->OpenFile(NameArg(nArgs, pphArgs, 0), dwMode, sError)) {
        return KxScDataHandle::CreateData(pFile.release());
    }
    KxTsh::Raise(kFileError, sError);
    return nullptr;
}

KxScDataHandle* KxTshFile::Close(KxScDataHandle*, int, KxScDataHandle**) {
    if (dwState & FS_OPEN) CloseFile();
    return nullptr;
}

KxScDataHandle* KxTshFile::ReadLn(KxScDataHandle*, int, KxScDataHandle**) {
    if (!IsReadable()) {
        KxTsh::Raise(kFileError, "File must be open for reading.");
        return nullptr;
    }
    KxString sLine;
    return ReadLine(sLine) ? KxScDataHandle::CreateData(sLine, false) : nullptr;
}

KxScDataHandle* KxTshFile::WriteArgs(int nArgs, KxScDataHandle** pphArgs, bool bLineEnd) {
    if (!IsWritable()) {
        KxTsh::Raise(kFileError, "File must be open for writing.");
        return nullptr;
    }
    if (nArgs <= 0 || !pphArgs) return nullptr;
    // The values' texts are joined whole before anything is written: a value left out for want
    // of memory would otherwise go unseen in the file.
    KxString sText{KxStringSize(256)};
    KxString sItem;
    for (int i = 0; i < nArgs; ++i) {
        if (!pphArgs[i]) {
            KxTsh::Append(sText, "NIL");
            continue;
        }
        pphArgs[i]->InfoShort(&sItem);
        // A value's text comes back whole, or as the null string when the runtime could not
        // make it; a string's own text says how long it must be.
        const KxString* psString = KxTsh::TextArg(nArgs, pphArgs, i);
        if (psString ? sItem.Length() != psString->Length() : sItem.IsNull()) throw std::bad_alloc();
        KxTsh::Append(sText, sItem);
    }
    WriteText(sText, bLineEnd);
    return nullptr;
}

KxScDataHandle* KxTshFile::Write(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return WriteArgs(nArgs, pphArgs, false);
}

KxScDataHandle* KxTshFile::WriteLn(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    return WriteArgs(nArgs, pphArgs, true);
}

KxScDataHandle* KxTshFile::Flush(KxScDataHandle*, int, KxScDataHandle**) {
    FlushBuffer();
    return nullptr;
}

KxScDataHandle* KxTshFile::Copy(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    KxString sFrom = NameArg(nArgs, pphArgs, 0), sTo = NameArg(nArgs, pphArgs, 1);
    return KxScDataHandle::CreateData(SystemTakesNames(sFrom, sTo) && CopyFileA(sFrom, sTo, FALSE));
}

KxScDataHandle* KxTshFile::Delete(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    KxString sName = NameArg(nArgs, pphArgs, 0);
    return KxScDataHandle::CreateData(SystemTakesNames(sName) && DeleteFileA(sName));
}

// Whether the file can be opened for reading now: a folder, or a file another program holds
// without sharing, gives 0.
KxScDataHandle* KxTshFile::DoesExist(KxScDataHandle*, int nArgs, KxScDataHandle** pphArgs) {
    KxString sName = NameArg(nArgs, pphArgs, 0);
    if (!SystemTakesNames(sName)) return KxTsh::Bool(false);
    HANDLE h = CreateFileA(sName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return KxTsh::Bool(false);
    CloseHandle(h);
    return KxTsh::Bool(true);
}
