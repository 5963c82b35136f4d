// Fatal exits and assertions: the only ways in which the program ends early.
//
// Every early end goes through ExitHook (gen_exit by default), which tests
// and fuzz targets may replace with a routine that longjmps back instead of
// ending; a replaced hook never returns.  Fatal reports go through the
// diagnostics (genout.h) first.
#pragma once

using ExitHookFn = void (*)(int status);
extern ExitHookFn ExitHook;

// Reports through MessageHook (code 2, or 0 for status 0) and ends.
[[noreturn]] void gen_fatal_exit(int status, const char* format, ...);
// Reports through MessageHook with code 102 (system error text) and ends.
[[noreturn]] void gen_perror_exit(int status, const char* format, ...);
// Ends with the standard exit; a second request while termination handlers
// run ends at once.  From the first request on, FreeHook ignores releases.
[[noreturn]] void gen_exit(int status);

// True once gen_exit has begun.
bool gen_exiting();

// Calls ExitHook and, should a replaced hook return, ends the process anyway:
// callers rely on never coming back.
[[noreturn]] void gen_call_exit_hook(int status);

void gen_assert_check(int condition, const char* expression, const char* file, int line, int extra);

#define GEN_ASSERT(cond) gen_assert_check((cond) ? 1 : 0, #cond, __FILE__, __LINE__, 0)

// The crash reports' abort dump, which a failed assertion asks for.  The
// reports are built on this layer, so it reaches them only through this
// pointer, null until their set-up (RNEDump_Setup) installs it; before that
// there is no dump directory and a dump would write nothing anyway.
using AbortDumpHookFn = void (*)(const char** place, const char* reason);
extern AbortDumpHookFn AbortDumpHook;

// Test seam: restores the memory hooks and ExitHook, and clears the exiting
// flag.
void gen_reset_hooks_for_tests();
