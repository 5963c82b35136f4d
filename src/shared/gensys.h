// Program and environment queries: the program's name, path and directory,
// the current, home, application-data and temporary directories, the user
// and host names, and directory creation.
//
// Each computed value is worked out once and cached for the process; a
// query that fails is asked again next time rather than caching the failure.
#pragma once

#include <cstddef>
#include <cstdint>

// Records the program path (a copy) and the program name: its base name
// without a final ".exe" in any letter case.  Earlier values are released;
// a null path leaves neither (as before start-up).  gen_init does this at
// start-up.
void gen_setprogpath(const char* path);
// The stored program name (not a copy), or nullptr before gen_init.
const char* gen_getprogname();
// The stored program path (not a copy), or nullptr before gen_init.
const char* gen_getprogpath();

// Canonical directory of the program, cached; nullptr (with a one-time
// warning) when it cannot be found.
const char* gen_getprogdir();
// New full path of an existing program file, or nullptr.
char* gen_findprog(const char* name, int search_progdir, int resolve);
// New absolute, normalised version of a path ("~" expanded, URLs copied).
char* gen_abspath(const char* path);
// New canonical full path; a copy of the path when the platform cannot say.
char* gen_fullpath(const char* path);
// The current directory (cached, not a copy); ends the program when none.
const char* gen_getcwd();
// The user's application-data directory (cached, not a copy) or nullptr.
const char* gen_getuserdir();
// Value of HOME (cached, not a copy) or nullptr.
const char* gen_gethomedir();
// New copy of the user's logon name, or nullptr when unknown.
char* gen_getusername();
// The host name (cached buffer, empty when unknown).
const char* gen_gethostname();
// The temporary directory (cached, not a copy).
const char* gen_gettempdir(const char* preferred);
using TempDirHookFn = const char* (*)(const char* preferred);
extern TempDirHookFn TempDirHook;
// Creates one directory: 0 on success or when it is already a directory,
// 1 when the name exists but is not one, -1 when it cannot tell, otherwise
// the creation result.
int gen_mkdir(const char* path, int mode);
