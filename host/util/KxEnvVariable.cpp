#include "KxEnvVariable.h"

#include <windows.h>

KxEnvVariable::KxEnvVariable(const KxString& sName) : sName(sName), sValue(NULL_STRING) {}

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
        KxString sResult{KxStringSize(dwNeeded)};
        char* pBuffer = sResult;
        DWORD dwGot = GetEnvironmentVariableA(sName, pBuffer, dwNeeded);
        if (dwGot == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? KxString(NULL_STRING) : KxString("");
        if (dwGot < dwNeeded) return KxString(pBuffer, dwGot);
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
