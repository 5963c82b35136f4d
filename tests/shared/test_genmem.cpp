// Memory hooks, fatal exits and assertions: every way the runtime ends a
// program early, with the whole of standard error and the status a user
// sees, and the one rule that needs a real exit (a second exit while
// termination handlers run).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/gensys.h"
#include "support/harness.h"

namespace {

void named() { gen_setprogpath("/opt/tools/symkeep"); }
void nameless() { gen_setprogpath(nullptr); }

void* exhausted_heap(uint64_t count, uint64_t size) { gen_out_of_memory(count * size); }

// The first line alone: the crash report a failed assertion also asks for
// needs a process of its own (the crash tests').
void failed_assertion(const char* expression, const char* file, int line, int extra) {
    struct Restore {
        AbortDumpHookFn dump = AbortDumpHook;
        ~Restore() { AbortDumpHook = dump; }
    } restore;
    AbortDumpHook = nullptr;
    gen_assert_check(0, expression, file, line, extra);
}

TEST(Memory, BlocksAreZeroFilledAndKeepTheirBytesWhenResized) {
    auto* a = static_cast<unsigned char*>(AllocHook(64, 1));
    auto* b = static_cast<unsigned char*>(AllocHook(1, 64));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a), 64) + std::string(reinterpret_cast<char*>(b), 64),
              std::string(128, '\0'));
    std::memset(b, 0xAB, 64);
    b = static_cast<unsigned char*>(ReallocHook(b, 4096));
    EXPECT_EQ(b[63], 0xAB);
    FreeHook(a);
    EXPECT_EQ(ReallocHook(b, -1), nullptr);  // released
    EXPECT_EQ(ReallocHook(nullptr, 0), nullptr);
    void* fresh = ReallocHook(nullptr, 16);
    EXPECT_NE(fresh, nullptr);
    FreeHook(fresh);
    EXPECT_EQ(gen_try_alloc(0), nullptr);
}

TEST(Ends, WhatEachEarlyEndPrintsAndItsStatus) {
    const std::string denied = std::strerror(EACCES);
    struct Row {
        const char* name;
        std::function<void()> body;
        int status;  // -1: the body returned
        std::string err, out = "";
    };
    const Row rows[] = {
        {"a count of 0 gives nothing, silently",
         [] { std::printf("%s", AllocHook(0, 100) == nullptr ? "null" : "block"); }, -1, "", "null"},
        {"count x size beyond 64 bits", [] { named(); AllocHook(0x100000000ull, 0x100000000ull); }, 3,
         "symkeep: fatal: Attempt to allocate 0x100000000 * 0x100000000 bytes\n"},
        {"count + size wraps as well", [] { named(); AllocHook(0x8000000000000000ull, 0x8000000000000000ull); }, 3,
         "symkeep: fatal: Attempt to allocate 0x8000000000000000 * 0x8000000000000000 bytes\n"},
        {"the largest count", [] { named(); AllocHook(0xFFFFFFFFFFFFFFFFull, 2); }, 3,
         "symkeep: fatal: Attempt to allocate 0xffffffffffffffff * 0x2 bytes\n"},
        {"a product that fits is asked for", [] { named(); AllocHook(0x200000000ull, 0x4000ull); }, 3,
         "symkeep: fatal: Out of memory (0x0000800000000000 bytes requested)\n"},
        {"a resize the heap refuses", [] { named(); ReallocHook(AllocHook(1, 8), 0x7FFFFFFFFFFFFFFFll); }, 3,
         "symkeep: fatal: Out of memory (0x7FFFFFFFFFFFFFFF bytes requested)\n"},
        {"an exhausted heap", [] { named(); AllocHook = exhausted_heap; AllocHook(4, 8); }, 3,
         "symkeep: fatal: Out of memory (0x0000000000000020 bytes requested)\n"},
        {"out of memory before start-up", [] { nameless(); gen_out_of_memory(0xFEDCBA9876543210ull); }, 3,
         "fatal: Out of memory (0xFEDCBA9876543210 bytes requested)\n"},
        {"fatal exit", [] { named(); gen_fatal_exit(1, "bad %s", "thing"); }, 1, "symkeep: fatal: bad thing\n"},
        {"fatal exit with status 0 is a plain report", [] { named(); gen_fatal_exit(0, "done"); }, 0,
         "symkeep: done\n"},
        {"perror exit without errno", [] { named(); errno = 0; gen_perror_exit(1, "p"); }, 1, "symkeep: fatal: p\n"},
        {"perror exit", [] { named(); errno = EACCES; gen_perror_exit(1, "Unable to open %s for %s", "f", "input"); },
         1, "symkeep: fatal: Unable to open f for input: " + denied + "\n"},
        {"assertion with its expression", [] { named(); failed_assertion("n > 0", "src/x.cpp", 12, 0); }, 1,
         "Assertion (n > 0) failed in 'src/x.cpp' on line 12 in symkeep\n"},
        {"assertion with an extra number", [] { named(); failed_assertion("ok", "a.c", 3, -4); }, 1,
         "Assertion (ok) [-4] failed in 'a.c' on line 3 in symkeep\n"},
        {"assertion of x: the short form", [] { named(); failed_assertion("x", "a.c", 9, 0); }, 1,
         "Assertion failed in 'a.c' on line 9 in symkeep\n"},
        {"assertion without expression or name", [] { nameless(); failed_assertion(nullptr, "b.c", 1, 5); }, 1,
         "Assertion [5] failed in 'b.c' on line 1\n"},
        {"assertion of x without a name", [] { nameless(); failed_assertion("x", "f.c", 2, 0); }, 1,
         "Assertion failed in 'f.c' on line 2\n"},
        {"an assertion that holds", [] { named(); gen_assert_check(1, "fine", "f.c", 1, 0); }, -1, ""},
    };
    for (const Row& row : rows) {
        const Outcome r = trap(row.body);
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        EXPECT_EQ(r.out, row.out) << row.name;
    }
}

// A termination handler that ends the program again leaves at once with
// its own status (no further handler, no flush), and releases are ignored
// from the first exit on.
TEST(Ends, ExitFromATerminationHandler) {
    const Outcome r = run_program({SYMKEEP_PROBE, "exit-twice"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_EQ(r.out, "first inner ignored ");
}

}  // namespace
