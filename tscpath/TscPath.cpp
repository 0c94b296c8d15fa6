// TscPath.dll: the Path class behind the plug-in entry points.
#include "KxTshPath.h"
#include "KxTshPlugin.h"

KXTSH_DEFINE_STATICS(KxTshPath, "Path");

namespace {

const KxTshClassEntry kClasses[] = {KxTshEntryOf<KxTshPath>()};

}  // namespace

KXTSH_PLUGIN(kClasses)
