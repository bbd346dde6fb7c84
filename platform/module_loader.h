#pragma once

// Run-time loading of the program's private libraries: a library named in the
// platform's style ("iphlpapi.dll") is the shared object libiphlpapi.so, found
// beside the program or in its installed private library folder, and always
// opened by absolute path so no search path can put another one in its place.
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
// The generic function pointer (casts from it to the real type draw no warning).
using FARPROC = void (*)();

// Looks in <program dir>/ then <program dir>/../lib/quillon/. A name holding a
// '/' is taken as a path. Null on failure, with GetLastError() set (ENOENT: not
// found, ENOEXEC: found but not loadable, EINVAL: no name) and the loader's text.
HMODULE LoadLibraryA(const char* name);

// As LoadLibraryA, but looks only in `directory`.
HMODULE LoadLibraryFromDirectory(const char* directory, const char* name);

// The exported function `name` of `module`; null on failure, with GetLastError()
// set (ENOENT: no such name, EINVAL: no module or name) and the loader's text.
FARPROC GetProcAddress(HMODULE module, const char* name);

// The calling thread's text for its last loader failure, "" when there was none.
const char* GetLoaderErrorText();
