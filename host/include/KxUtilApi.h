#pragma once
// Import/export marker of HX_KOT_Util.dll.
#ifdef KX_BUILDING_UTIL
#define KXUTIL_API __declspec(dllexport)
#else
#define KXUTIL_API __declspec(dllimport)
#endif
