// Memory hooks, the out-of-memory report, fatal exits and assertions.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "shared/geninit.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "support/child.h"
#include "support/tempdir.h"

namespace {

void init_as_symkeep() { gen_init("/opt/tools/symkeep", 0, 0); }

TEST(Memory, CountZeroGivesNothingSilently) {
    ChildResult r = run_in_child([] {
        void* p = AllocHook(0, 100);
        std::printf("%s", p == nullptr ? "null" : "block");
    });
    EXPECT_EQ(r.out, "null");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(Memory, BlocksAreZeroFilledInEitherArgumentOrder) {
    auto* a = static_cast<unsigned char*>(AllocHook(64, 1));
    auto* b = static_cast<unsigned char*>(AllocHook(1, 64));
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(a[i], 0);
        EXPECT_EQ(b[i], 0);
    }
    FreeHook(a);
    FreeHook(b);
}

// Products that do not fit in 64 bits are refused without asking the
// allocator, also where count + size wraps; a product that fits is asked for.
TEST(Memory, LargeRequestsAreRefusedWithStatus3) {
    struct {
        uint64_t count, size;
        const char* err;
    } cases[] = {
        {0x100000000ull, 0x100000000ull, "symkeep: fatal: Attempt to allocate 0x100000000 * 0x100000000 bytes\n"},
        {0x8000000000000000ull, 0x8000000000000000ull,
         "symkeep: fatal: Attempt to allocate 0x8000000000000000 * 0x8000000000000000 bytes\n"},
        {0xFFFFFFFFFFFFFFFFull, 2, "symkeep: fatal: Attempt to allocate 0xffffffffffffffff * 0x2 bytes\n"},
        {0x200000000ull, 0x4000ull, "symkeep: fatal: Out of memory (0x0000800000000000 bytes requested)\n"},
    };
    for (const auto& c : cases) {
        ChildResult r = run_in_child([&] {
            init_as_symkeep();
            AllocHook(c.count, c.size);
        });
        EXPECT_EQ(r.status, 3) << std::hex << c.count << " * " << c.size;
        EXPECT_EQ(r.err, c.err);
    }
}

void* failing_calloc(uint64_t count, uint64_t size) {
    gen_out_of_memory(count * size);
}

TEST(Memory, OutOfMemoryReportExactBytes) {
    ChildResult r = run_in_child([] {
        init_as_symkeep();
        AllocHook = failing_calloc;
        AllocHook(4, 8);
    });
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "symkeep: fatal: Out of memory (0x0000000000000020 bytes requested)\n");

    // Without a program name the report starts at "fatal".
    r = run_in_child([] { gen_out_of_memory(0xFEDCBA9876543210ull); });
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "fatal: Out of memory (0xFEDCBA9876543210 bytes requested)\n");
}

TEST(Memory, ReallocEdges) {
    void* p = ReallocHook(nullptr, 16);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0xAB, 16);
    p = ReallocHook(p, 4096);
    EXPECT_EQ(static_cast<unsigned char*>(p)[15], 0xAB);
    EXPECT_EQ(ReallocHook(p, -1), nullptr);  // released
    EXPECT_EQ(ReallocHook(nullptr, 0), nullptr);
}

TEST(Exit, StatusesOfTheFatalExits) {
    struct Case {
        const char* what;
        void (*body)();
        int status;
        const char* err;
    } cases[] = {
        {"fatal exit", [] { init_as_symkeep(); gen_fatal_exit(1, "bad %s", "thing"); }, 1,
         "symkeep: fatal: bad thing\n"},
        {"fatal exit with status 0 is an unlabelled report", [] { init_as_symkeep(); gen_fatal_exit(0, "done"); },
         0, "symkeep: done\n"},
        {"perror exit without errno", [] { init_as_symkeep(); errno = 0; gen_perror_exit(1, "p"); }, 1,
         "symkeep: fatal: p\n"},
    };
    for (const Case& c : cases) {
        ChildResult r = run_in_child(c.body);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
    ChildResult r = run_in_child([] {
        init_as_symkeep();
        errno = EACCES;
        gen_perror_exit(1, "Unable to open %s for %s", "f", "input");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("symkeep: fatal: Unable to open f for input: ") + std::strerror(EACCES) + "\n");
}

TEST(Exit, SecondExitDuringTerminationLeavesAtOnce) {
    ChildResult r = run_in_child([] {
        std::atexit([] {
            std::printf("handler ");
            std::fflush(stdout);
            gen_exit(7);
        });
        std::atexit([] { std::printf("later handler "); });  // runs first (LIFO)
        gen_exit(2);
    });
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "later handler handler ");
}

TEST(Exit, ReleasesAreIgnoredOnceExiting) {
    ChildResult r = run_in_child([] {
        std::atexit([] { std::printf(FreeHook == gen_free ? "live" : "ignored"); });
        gen_exit(0);
    });
    EXPECT_EQ(r.out, "ignored");
    EXPECT_EQ(r.status, 0);
}

TEST(Assertions, BothFormats) {
    struct Case {
        const char* what;
        void (*body)();
        const char* err;
    } cases[] = {
        {"expression, no extra, named program",
         [] { init_as_symkeep(); gen_assert_check(0, "n > 0", "src/x.cpp", 12, 0); },
         "Assertion (n > 0) failed in 'src/x.cpp' on line 12 in symkeep\n"},
        {"extra number", [] { init_as_symkeep(); gen_assert_check(0, "ok", "a.c", 3, -4); },
         "Assertion (ok) [-4] failed in 'a.c' on line 3 in symkeep\n"},
        {"expression x uses the short form", [] { init_as_symkeep(); gen_assert_check(0, "x", "a.c", 9, 0); },
         "Assertion failed in 'a.c' on line 9 in symkeep\n"},
        {"no expression, no program name", [] { gen_assert_check(0, nullptr, "b.c", 1, 5); },
         "Assertion [5] failed in 'b.c' on line 1\n"},
        {"expression x, extra 0, no program name", [] { gen_assert_check(0, "x", "f.c", 2, 0); },
         "Assertion failed in 'f.c' on line 2\n"},
    };
    // A failed assertion also writes a crash report (into the temporary
    // directory when no dump directory is set) and says where in one line.
    TempDir tmp;
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&] {
            setenv("TMP", tmp.path().c_str(), 1);
            c.body();
        });
        EXPECT_EQ(r.status, 1) << c.what;
        std::string first = r.err.substr(0, r.err.find('\n') + 1);
        EXPECT_EQ(first, c.err) << c.what;
        bool started = std::strstr(c.err, " in symkeep\n") != nullptr;  // gen_init ran, and the crash set-up
        std::string rest = r.err.substr(first.size());
        // The dump's path is written with the platform's separator.
        std::string dump_prefix = tmp.path() + "/ZEP_RNE_";
        for (char& ch : dump_prefix)
            if (ch == '/') ch = PLAT_PATH_SEPARATOR;
        if (started)
            EXPECT_EQ(rest.rfind("Program \"symkeep\" has encountered an assertion failure. RNE logs of this event are in " +
                                     dump_prefix,
                                 0),
                      0u)
                << rest;
        else
            EXPECT_EQ(rest, "") << c.what;
    }
    ChildResult r = run_in_child([] { gen_assert_check(1, "fine", "f.c", 1, 0); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
