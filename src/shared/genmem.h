// Memory hooks.
//
// The allocation convention of the runtime and the tool, everywhere:
// - A block comes from AllocHook (or ReallocHook), which zero-fills and never
//   returns on failure: it prints a fixed report without allocating and ends
//   with status 3.  A caller that must report a failure in its own words
//   (the ELF library's tables, sized by the file; the diagnostics' formatted
//   strings, which must not depend on the hook) takes the block from
//   gen_try_alloc and handles nullptr itself.
// - Every block, from either, goes back through FreeHook (which ignores
//   releases once gen_exit has begun).
// The event log (shared/eventlog: the logs, their RNE files and the reader)
// is the one part below these hooks: a log that cannot be made must leave its
// thread without a log rather than end the program, and the hooks' failure
// path reports through the diagnostics, which write into the log.  The logs
// take their memory from the C library (calloc, free), the reader from
// standard containers; neither hands a block to anyone else or takes one.
#pragma once

#include <cstdint>

using AllocHookFn = void* (*)(uint64_t count, uint64_t size);
using ReallocHookFn = void* (*)(void* block, int64_t size);
using FreeHookFn = void (*)(void* block);

extern AllocHookFn AllocHook;
extern ReallocHookFn ReallocHook;
extern FreeHookFn FreeHook;

// count * size zero-filled bytes; nullptr for a count of 0.  A product that
// does not fit in 64 bits is refused with a fatal report (status 3).
void* gen_calloc(uint64_t count, uint64_t size);
// `size` zero-filled bytes from the same allocator, or nullptr when there
// are none; nothing is reported.
void* gen_try_alloc(uint64_t size);
void* gen_realloc(void* block, int64_t size);
void gen_free(void* block);

// Writes "<prog>: fatal: Out of memory (0x<16 hex digits> bytes requested)"
// with descriptor writes only, then ExitHook(3).
[[noreturn]] void gen_out_of_memory(uint64_t size);
