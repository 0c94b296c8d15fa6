#pragma once
// Paths as texts, in UTF-16 for the system's Unicode calls: the script's UTF-8 made exact, full
// paths (with the \\?\ form past the classic length), and the parts of a path, computed on the
// text alone. Only Full asks the system anything, and it asks nothing of the disk.
#include <string>

#include "KxString.h"

namespace KxPath {

// The UTF-8 text in UTF-16: false when it is no UTF-8 (a byte of another code page, a cut
// sequence) or holds a NUL, so that such a name is refused rather than turned into another.
bool Wide(const KxString& sText, std::wstring& sWide);
// UTF-16 as UTF-8 (std::bad_alloc when it cannot be made whole).
KxString Utf8(const std::wstring& sWide);

// '/' made '\'.
std::wstring Slashed(std::wstring s);
// Whether the path holds '*' or '?' outside a leading \\?\ (wildcards are no part of a name).
bool HasWildcards(const std::wstring& s);
// How many characters of the path its root takes: "C:\" 3, "C:" 2, "\" 1, "\\server\share\"
// all of it, the same after \\?\ and \\?\UNC\; 0 for a relative path.
size_t RootLength(const std::wstring& s);
// The path without the \\?\ (or \\?\UNC\ as \\) the system's long form puts before it.
std::wstring Plain(const std::wstring& s);
// The full path of p, from the current folder and drive, in the \\?\ form the system takes at
// any length and never rewrites (what every call of the plug-in is given). False (with the
// system's error) when the system cannot make one.
bool Full(const std::wstring& sPath, std::wstring& sFull, unsigned long& dwError);
// A full path as a script sees it: the classic form while it is short enough for every call
// that takes one (a folder's name: 247 characters), else the \\?\ form.
std::wstring Shown(const std::wstring& sFull);

// The parts: joined with one '\' at each joint (a part with a root starts over); the text
// before the last name (the root stays a root; "" for a name alone); the last name; its
// extension from the last dot, dot included ("" for none, and for a name that only starts
// with one). Separators at the end are no part of a name.
std::wstring Join(const std::wstring& sA, const std::wstring& sB);
std::wstring Parent(const std::wstring& s);
std::wstring Name(const std::wstring& s);
std::wstring Extension(const std::wstring& s);
// Whether the full path p is the full folder or lies in it at any depth, ignoring case.
bool IsInside(const std::wstring& sFullPath, const std::wstring& sFullFolder);
// Whether the name matches the pattern ('*' any characters, '?' one), ignoring case.
bool Matches(const std::wstring& sName, const std::wstring& sPattern);
// The text in capitals, as names compare when case is ignored (paths sort by it).
std::wstring Upper(std::wstring s);

}  // namespace KxPath
