#pragma once
#include "KxString.h"

// One process environment variable.
// Choices of this library: Get reads the process environment afresh and gives the null
// string when the variable is unset (an empty value is the empty string). ReadVariable
// refreshes the copy that the conversion to KxString gives. Set with the null string
// removes the variable; Set is true on success and updates the copy.
class KXUTIL_API KxEnvVariable {
public:
    explicit KxEnvVariable(const KxString& sName);
    bool ReadVariable();
    KxString Get() const;
    bool Set(const KxString& sValue);
    operator KxString() const { return sValue; }

private:
    KxString sName;
    KxString sValue;
};

// Pauses the calling thread.
class KXUTIL_API KxSleeper {
public:
    static void Snooze(long nMilliseconds);
};
