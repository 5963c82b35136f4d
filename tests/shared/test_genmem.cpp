// Memory hooks, messages, checked file I/O, fatal exits and assertions: what each prints, whole, and the
// status; and a second exit from an exit handler.
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include <gtest/gtest.h>

#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/genexit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/gensys.h"
#include "support/harness.h"

namespace {

void named() { gen_setprogpath("/opt/tools/symkeep"); }
void nameless() { gen_setprogpath(nullptr); }

// The newest event of this thread's log, as "name|text".
std::string last_event() {
    RneLog log;
    rne_read_thread_log(ZOLTA_GetThreadLog(), &log);
    return log.events.empty() ? "" : log.events.back().name + "|" + log.events.back().text;
}

void* exhausted_heap(uint64_t count, uint64_t size) { gen_out_of_memory(count * size); }

// The first line alone: the crash report a failed assertion also asks for
// needs a process of its own (the crash tests').
void failed_assertion(const char* expression, const char* file, int line, int extra) {
    struct Restore { AbortDumpHookFn dump = AbortDumpHook; ~Restore() { AbortDumpHook = dump; } } restore;
    AbortDumpHook = nullptr;
    gen_assert_check(0, expression, file, line, extra);
}

TEST(Memory, BlocksAreZeroFilledAndKeepTheirBytesWhenResized) {
    char *a = static_cast<char*>(AllocHook(64, 1)), *b = static_cast<char*>(AllocHook(1, 64));
    EXPECT_EQ(std::string(a, 64) + std::string(b, 64), std::string(128, '\0'));
    b = static_cast<char*>(ReallocHook(std::memset(b, 0xAB, 64), 4096));
    EXPECT_EQ(b[63], '\xAB');
    FreeHook(a), FreeHook(ReallocHook(nullptr, 16));
    EXPECT_TRUE(ReallocHook(b, -1) == nullptr && ReallocHook(nullptr, 0) == nullptr && gen_try_alloc(0) == nullptr);
}

TEST(Ends, WhatEachMessageAndEarlyEndPrintsAndItsStatus) {
    const std::string denied = std::strerror(EACCES), eio = std::strerror(EIO), enoent = std::strerror(ENOENT),
                      long_text(6000, 'q'), invalid = std::strerror(EINVAL);
    auto message = [](uint32_t c, const char* f, int e = 0) { return [=] { errno = e, gen_message(c, f, "x"); }; };
    TempDir dir;
    const std::string& d = dir.path();
    const std::string file = dir.file("f"), missing = dir.file("missing");
    write_file(file, "abc");
    auto seek = [&](bool wide) {
        return [&, wide] {
            FILE* fp = std::fopen(file.c_str(), "r");
            std::printf("%d", wide ? gen_safe_fseek64("f", fp, 2, SEEK_SET) : gen_safe_fseek("f", fp, 2, SEEK_SET));
            std::printf("%c", std::fgetc(fp)), wide ? gen_safe_fseek64("f", fp, -5, 0) : gen_safe_fseek("f", fp, -5, 0);
        };
    };
    const std::string fatal = "symkeep: fatal: ", unable = fatal + "Unable to open ", err = "symkeep: error: ",
                      big = fatal + "Attempt to allocate 0x";
    auto oom = [&](const char* size) { return fatal + "Out of memory (0x" + size + " bytes requested)\n"; };
    auto in = [](const char* file, int line, const char* end = " in symkeep\n") {
        return std::string(" failed in '") + file + "' on line " + std::to_string(line) + end;
    };
    struct Row {
        const char* name;
        std::function<void()> body;
        int status;  // -1: the body returned
        std::string err, out = "";
    };
    const Row rows[] = {
        {"count 0: nothing", [] { std::printf("%s", AllocHook(0, 100) ? "block" : "null"); }, -1, "", "null"},
        {"product past 64 bits", [] { AllocHook(1ull << 32, 1ull << 32); }, 3, big + "100000000 * 0x100000000 bytes\n"},
        {"sum wraps too", [] { AllocHook(1ull << 63, 1ull << 63); }, 3,
         big + "8000000000000000 * 0x8000000000000000 bytes\n"},
        {"largest count", [] { AllocHook(~0ull, 2); }, 3, big + "ffffffffffffffff * 0x2 bytes\n"},
        {"a product that fits", [] { AllocHook(0x200000000ull, 0x4000ull); }, 3, oom("0000800000000000")},
        {"resize refused", [] { ReallocHook(AllocHook(1, 8), 0x7FFFFFFFFFFFFFFFll); }, 3, oom("7FFFFFFFFFFFFFFF")},
        {"exhausted heap", [] { AllocHook = exhausted_heap, AllocHook(4, 8); }, 3, oom("0000000000000020")},
        {"before start-up", [] { nameless(), gen_out_of_memory(0xFEDCBA9876543210ull); }, 3,
         "fatal: Out of memory (0xFEDCBA9876543210 bytes requested)\n"},
        {"fatal exit", [] { gen_fatal_exit(1, "bad %s", "thing"); }, 1, fatal + "bad thing\n"},
        {"status 0: plain", [] { gen_fatal_exit(0, "done"); }, 0, "symkeep: done\n"},
        {"perror, no errno", [] { errno = 0, gen_perror_exit(1, "p"); }, 1, fatal + "p\n"},
        {"perror exit", [] { errno = EACCES, gen_perror_exit(1, "Unable to open %s for %s", "f", "input"); }, 1,
         fatal + "Unable to open f for input: " + denied + "\n"},
        {"assertion", [] { failed_assertion("n > 0", "src/x.cpp", 12, 0); }, 1,
         "Assertion (n > 0)" + in("src/x.cpp", 12)},
        {"an extra number", [] { failed_assertion("ok", "a.c", 3, -4); }, 1, "Assertion (ok) [-4]" + in("a.c", 3)},
        {"x: the short form", [] { failed_assertion("x", "a.c", 9, 0); }, 1, "Assertion" + in("a.c", 9)},
        {"bare", [] { nameless(), failed_assertion(nullptr, "b.c", 1, 5); }, 1, "Assertion [5]" + in("b.c", 1, "\n")},
        {"x, no name", [] { nameless(), failed_assertion("x", "f.c", 2, 0); }, 1, "Assertion" + in("f.c", 2, "\n")},
        {"an assertion that holds", [] { gen_assert_check(1, "fine", "f.c", 1, 0); }, -1, ""},
        {"error", message(3, "close %s"), -1, err + "close x\n"},
        {"system text appended", message(102, "Error writing", EIO), -1, fatal + "Error writing: " + eio + "\n"},
        {"no system text when errno is 0", message(102, "Error writing"), -1, fatal + "Error writing\n"},
        {"a format's newline is the line's", message(3, "line\n"), -1, err + "line\n"},
        {"a format of just a newline", message(4, "\n"), -1, "symkeep: warning: \n"},
        {"system text after a newline", message(103, "x\n", ENOENT), -1, err + "x\n: " + enoent + "\n"},
        {"unknown code: name, no word", message(50, "odd"), -1, "symkeep: odd\n"},
        {"unknown code above 106", message(107, "odd"), -1, "symkeep: odd\n"},
        {"no name before start-up", [] { nameless(), gen_error("early"); }, -1, "error: early\n"},
        {"order", [] { std::printf("o"), gen_warning("w"), std::printf("!"); }, -1, "symkeep: warning: w\n", "o!"},
        {"wrappers", [] { errno = ENOSPC, gen_fatal("no %s", "r"), gen_error("e"), gen_warning("w"), gen_info("i"); },
         -1, fatal + "no r: " + std::strerror(ENOSPC) + "\n" + err + "e\nsymkeep: warning: w\nsymkeep: info: i\n"},
        {"each code's word, 102 as fatal, 50 none",
         [] { for (uint32_t code : {0, 1, 2, 3, 4, 5, 6, 102, 50}) errno = 0, nameless(), gen_message(code, "m"); },
         -1, "m\ndisaster: m\nfatal: m\nerror: m\nwarning: m\ninfo: m\nm\nfatal: m\nm\n"},
        {"errno cleared only after an appended text",
         [] { errno = EIO, gen_fatal("x"); int e = errno; errno = 1, gen_error("y"), std::printf("%d%d", e, errno); },
         -1, fatal + "x: " + eio + "\n" + err + "y\n", "01"},
        {"alternative words",
         [] { AltPrefixStyle = 1, gen_message(0, "a"), gen_message(3, "b"), gen_message(1, "c"), AltPrefixStyle = 0; },
         -1, "symkeep: ERROR: a\nsymkeep: ERROR: b\nsymkeep: ERROR: DISASTER: c\n"},
        {"the log copy keeps the prefixes, not the newline",
         [] { errno = ENOENT, gen_fatal("gone %s", "f"), std::printf("%s", last_event().c_str()); }, -1,
         fatal + "gone f: " + enoent + "\n", "fatal|symkeep: fatal: gone f: " + enoent},
        {"a plain message's log copy", [] { gen_message(6, "plain\n"), std::printf("%s", last_event().c_str()); }, -1,
         "plain\n", "DOMESSAGE Unknown Code|plain"},
        {"a long line printed whole, its log copy cut at 4095",
         [&] { gen_error("%s", long_text.c_str()), std::printf("%zu", last_event().size() - sizeof "error|" + 1); }, -1,
         err + long_text + "\n", "4095"},
        {"missing described input", [&] { gen_safe_fopen(missing.c_str(), "switch file", "r"); }, 1,
         unable + "switch file '" + missing + "' for input: " + enoent + "\n"},
        {"a directory to append to", [&] { gen_safe_fopen(d.c_str(), nullptr, "a"); }, 1,
         unable + d + " for output: " + std::strerror(EISDIR) + "\n"},
        {"closing no file",
         [] { const int a = gen_safe_fclose(nullptr, nullptr, nullptr), b = gen_safe_fclose("o", "output", nullptr);
              std::printf("%d %d", a, b); },
         -1, err + "Attempt to close NULL file (null)\n" + err + "Attempt to close NULL file output 'o'\n", "-1 -1"},
        {"seek before the start", seek(false), 1, fatal + "seek failed to -5 in 'f': " + invalid + "\n", "0c"},
        {"64-bit seek", seek(true), 1, fatal + "seek failed to 0xfffffffffffffffb in 'f': " + invalid + "\n", "0c"},
    };
    for (const Row& row : rows) {
        const Outcome r = trap([&] { named(), row.body(); });
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        EXPECT_EQ(r.out, row.out) << row.name;
    }
    // Appends start at the end, updates at the start; neither is inherited by programs started later.
    FILE *fp = gen_safe_fopen(file.c_str(), nullptr, "a+"), *update = gen_safe_fopen(file.c_str(), nullptr, "r+b");
    EXPECT_TRUE(std::ftell(fp) == 3 && (fcntl(fileno(fp), F_GETFD) & FD_CLOEXEC) && std::ftell(update) == 0);
    std::fclose(fp), std::fclose(update);
    char* text = gen_format_alloc("%s-%I64x-%5d", "abc", uint64_t{0x1234567890}, 42);
    EXPECT_STREQ(text, "abc-1234567890-   42");
    FreeHook(text);
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
