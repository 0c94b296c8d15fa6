#pragma once
// Import/export marker of HX_KOT_TarvoRuntime.dll.
#ifdef KX_BUILDING_RUNTIME
#define KXRT_API __declspec(dllexport)
#else
#define KXRT_API __declspec(dllimport)
#endif
