// TscProcess.dll: the Process class behind the plug-in entry points.
#include "KxTshPlugin.h"
#include "KxTshProcess.h"

KXTSH_DEFINE_STATICS(KxTshProcess, "Process");

namespace {

const KxTshClassEntry kClasses[] = {KxTshEntryOf<KxTshProcess>()};

}  // namespace

KXTSH_PLUGIN(kClasses)
