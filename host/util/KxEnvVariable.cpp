#include "KxEnvVariable.h"
#include "KxMemory.h"

#include <windows.h>

// A name kept short would read or set another variable: it is kept as no name (which reads as
// unset and sets nothing), and noted.
KxEnvVariable::KxEnvVariable(const KxString& sName) : sName(sName), sValue(NULL_STRING) {
    if (this->sName.Length() == sName.Length()) return;
    KxNoteMemoryShort();
    this->sName = NULL_STRING;
}

bool KxEnvVariable::ReadVariable() {
    sValue = Get();
    return !sValue.IsNull();
}

KxString KxEnvVariable::Get() const {
    if (sName.IsNull() || sName.Length() == 0) return NULL_STRING;
    SetLastError(0);
    DWORD dwNeeded = GetEnvironmentVariableA(sName, nullptr, 0);
    if (dwNeeded == 0) {
        // 0 means either unset or set to the empty text; only the error tells them apart.
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? KxString(NULL_STRING) : KxString("");
    }
    // The value may change between the two calls: retry until it fits.
    for (;;) {
        KxString sResult(NULL_STRING);
        if (!sResult.Reserve(dwNeeded)) {
            KxNoteMemoryShort();
            return NULL_STRING;
        }
        char* pBuffer = sResult;
        DWORD dwGot = GetEnvironmentVariableA(sName, pBuffer, dwNeeded);
        if (dwGot == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? KxString(NULL_STRING) : KxString("");
        if (dwGot < dwNeeded) {
            KxString sValue(pBuffer, dwGot);
            if (sValue.Length() != dwGot) KxNoteMemoryShort();
            return sValue;
        }
        dwNeeded = dwGot;
    }
}

bool KxEnvVariable::Set(const KxString& sNewValue) {
    if (sName.IsNull() || sName.Length() == 0) return false;
    if (!SetEnvironmentVariableA(sName, sNewValue)) return false;
    sValue = sNewValue;
    return true;
}

void KxSleeper::Snooze(long nMilliseconds) {
    Sleep(nMilliseconds > 0 ? static_cast<DWORD>(nMilliseconds) : 0);
}
