#pragma once
#include "KxUtilApi.h"

// What the listings of all open folder readers hold, in bytes. The script runtime counts it
// among what scripts make: a reader a script drops keeps its listing until the collector frees
// it. This library's own measure, for the runtime beside it; not a part of what it offers
// plug-ins.
KXUTIL_API unsigned long long KxListingBytes();
