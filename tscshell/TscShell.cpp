// TscShell.dll: the five classes behind the plug-in entry points.
#include "KxTshDirectory.h"
#include "KxTshFile.h"
#include "KxTshPlugin.h"
#include "KxTshShell.h"
#include "KxTshTask.h"
#include "KxTshTimer.h"

namespace {

const KxTshClassEntry kClasses[] = {
    KxTshEntryOf<KxTshShell>(), KxTshEntryOf<KxTshFile>(), KxTshEntryOf<KxTshDirectory>(),
    KxTshEntryOf<KxTshTask>(), KxTshEntryOf<KxTshTimer>(),
};

}  // namespace

KXTSH_PLUGIN(kClasses)
