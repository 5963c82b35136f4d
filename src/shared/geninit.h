// Start-up and program location.
//
// gen_init prepares the process, records where the program lives and what
// it is called, and starts the other runtime services in a fixed order.  The
// queries below answer questions about the program and its environment;
// each computed value is worked out once and cached for the process.
#pragma once

#include <cstddef>
#include <cstdint>

void gen_init(const char* path, int32_t reserved, int32_t viewpath);
// The stored program name (not a copy), or nullptr before gen_init.
const char* gen_getprogname();
// The stored program path (not a copy), or nullptr before gen_init.
const char* gen_getprogpath();

// ---------------------------------------------------------------------------
// Services started by gen_init.  Each is reached through a pointer so that
// the subsystem providing it plugs in by setting the pointer's initial value
// in indgeninit.cpp, without touching gen_init's order; a null pointer skips
// its step (the service is then not marked started).
using GenSwitchStartFn = void (*)(int32_t* argc, char** argv);
using GenServiceStartFn = void (*)();
extern GenSwitchStartFn GenSwitchStartHook;        // GSwitch_Initialize
extern GenServiceStartFn GenThreadLogStartHook;    // ZOLTA_StartThreadLog
extern GenServiceStartFn GenCrashReportSetupHook;  // RNEDump_Setup

// The steps of gen_init, in the order it takes them.
enum GenInitStep : int {
    GEN_INIT_MODULE_PATH = 1,  // the given path was not absolute
    GEN_INIT_BINARY_MODE,
    GEN_INIT_NAMES,
    GEN_INIT_SWITCHES,        // switch registry started (first time only)
    GEN_INIT_THREAD_LOG,      // main thread's event log started (first time only)
    GEN_INIT_VIEWPATH,
    GEN_INIT_CRASH_REPORTS,   // crash-report set-up ran
};
// The steps the most recent gen_init took, in order, so that tests (and a
// debugger) can see the start-up sequence.  Returns the count.
size_t gen_init_steps(const GenInitStep** steps);

// ---------------------------------------------------------------------------
// Program and environment queries.

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
