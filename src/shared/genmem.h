// Memory hooks, fatal exits and assertions.
//
// Every allocation of the system goes through AllocHook / ReallocHook /
// FreeHook so that a failed request never returns to its caller: it prints a
// fixed report without allocating and ends with status 3.  Every early end
// goes through ExitHook (gen_exit by default), which tests and fuzz targets
// may replace with a routine that longjmps back instead of ending.
#pragma once

#include <cstdint>

using AllocHookFn = void* (*)(uint64_t count, uint64_t size);
using ReallocHookFn = void* (*)(void* block, int64_t size);
using FreeHookFn = void (*)(void* block);
using ExitHookFn = void (*)(int status);

extern AllocHookFn AllocHook;
extern ReallocHookFn ReallocHook;
extern FreeHookFn FreeHook;
extern ExitHookFn ExitHook;

void* gen_calloc(uint64_t count, uint64_t size);
// The same allocator without the report: `size` zero-filled bytes, or
// nullptr when there are none.  For callers that report a failure in their
// own words (the ELF library's tables sized by the file); the block goes
// back through FreeHook like any other.
void* gen_try_alloc(uint64_t size);
void* gen_realloc(void* block, int64_t size);
void gen_free(void* block);

// Writes "<prog>: fatal: Out of memory (0x<16 hex digits> bytes requested)"
// with descriptor writes only, then ExitHook(3).
[[noreturn]] void gen_out_of_memory(uint64_t size);

// Reports through MessageHook (code 2, or 0 for status 0) and ends.
[[noreturn]] void gen_fatal_exit(int status, const char* format, ...);
// Reports through MessageHook with code 102 (system error text) and ends.
[[noreturn]] void gen_perror_exit(int status, const char* format, ...);
[[noreturn]] void gen_exit(int status);

// True once gen_exit has begun.
bool gen_exiting();

void gen_assert_check(int condition, const char* expression, const char* file, int line, int extra);

// The crash reports' abort dump, which a failed assertion asks for.  The
// reports are built on this layer, so it reaches them only through this
// pointer, null until their set-up (RNEDump_Setup) installs it; before that
// there is no dump directory and a dump would write nothing anyway.
using AbortDumpHookFn = void (*)(const char** place, const char* reason);
extern AbortDumpHookFn AbortDumpHook;

#define GEN_ASSERT(cond) gen_assert_check((cond) ? 1 : 0, #cond, __FILE__, __LINE__, 0)

// Calls ExitHook and, should a replaced hook return, ends the process anyway:
// callers rely on never coming back.
[[noreturn]] void gen_call_exit_hook(int status);

// Test seam: restores the four hooks and clears the exiting flag.
void gen_reset_hooks_for_tests();
