// Program starts, in a file of their own: a plug-in that starts no program links none of this,
// and does not import the system's start function.
#include <windows.h>

#include "KxTshClass.h"

namespace KxTsh {

bool StartProcess(char* pszLine, bool bInherit, unsigned long dwFlags, void* pEnvironment, const char* pszFolder,
                  STARTUPINFOA* psi, PROCESS_INFORMATION* ppi) {
    for (int nTry = 1;; ++nTry) {
        if (CreateProcessA(nullptr, pszLine, nullptr, nullptr, bInherit, dwFlags, pEnvironment, pszFolder, psi, ppi))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || nTry == 3) return false;
    }
}

}  // namespace KxTsh
