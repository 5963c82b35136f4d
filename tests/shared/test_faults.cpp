// Fault injection through the platform's call table: interrupted, short and
// failing calls at each place the runtime touches the system, and an
// allocator that gives out at the Nth request.  Each case runs in a child so
// that the exact bytes on standard error and the exit status are what a
// user would see.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "shared/geninit.h"
#include "shared/gensys.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/viewpath/viewpath.h"
#include "support/child.h"
#include "support/tempdir.h"

namespace {

void init_as_symkeep() { gen_init("/opt/tools/symkeep", 0, 0); }
std::string errtext(int e) { return std::strerror(e); }

// Failure plans shared by the fake calls: the first `failures` calls fail
// with `error`; later ones go to the real call.
struct Plan {
    int failures = 0;
    int error = 0;
    int calls = 0;
    bool fail_now() {
        ++calls;
        if (calls > failures) return false;
        errno = error;
        return true;
    }
};
Plan g_plan;

FILE* failing_fopen(const char* name, const char* mode) {
    if (g_plan.fail_now()) return nullptr;
    return plat_default_calls().fopen(name, mode);
}

long failing_write(int fd, const void* buf, size_t count) {
    if (g_plan.fail_now()) return -1;
    return plat_default_calls().write(fd, buf, count);
}

long failing_pread(int fd, void* buf, size_t count, uint64_t offset) {
    if (g_plan.fail_now()) return -1;
    return plat_default_calls().pread(fd, buf, count, offset);
}

// Writes nothing of a multi-item request beyond `g_short_items` items.
size_t g_short_items = 0;
size_t short_fwrite(const void* buf, size_t size, size_t count, FILE* stream) {
    size_t n = count < g_short_items ? count : g_short_items;
    size_t written = plat_default_calls().fwrite(buf, size, n, stream);
    if (written < count) errno = g_plan.error;
    return written;
}

// Closes for real (the descriptor must not leak) and then reports failure,
// as a close that flushed onto a full or broken device does.
int failing_fclose(FILE* stream) {
    plat_default_calls().fclose(stream);
    errno = g_plan.error;
    return -1;
}

char* failing_getcwd(char*, size_t) {
    errno = ENOENT;
    return nullptr;
}

// ---- open -----------------------------------------------------------------

TEST(OpenFaults, InterruptedOpensAreRetriedUpToElevenTries) {
    TempDir dir;
    std::string file = dir.file("in");
    write_file(file, "data");
    struct Case {
        int interruptions;
        int status;
        std::string err;
    } cases[] = {
        {1, 0, ""},
        {10, 0, ""},  // the eleventh try succeeds
        {11, 1, "symkeep: fatal: Unable to open " + file + " for input: " + errtext(EINTR) + "\n"},
    };
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&] {
            init_as_symkeep();
            g_plan = Plan{c.interruptions, EINTR};
            plat_calls.fopen = failing_fopen;
            FILE* fp = gen_safe_fopen(file.c_str(), nullptr, "r");
            char text[8] = {};
            std::printf("%zu:%s:%d", std::fread(text, 1, sizeof text - 1, fp), text, g_plan.calls);
        });
        EXPECT_EQ(r.status, c.status) << c.interruptions;
        EXPECT_EQ(r.err, c.err) << c.interruptions;
        if (c.status == 0) {
            EXPECT_EQ(r.out, "4:data:" + std::to_string(c.interruptions + 1));
        }
    }
}

TEST(OpenFaults, PermissionDeniedEndsWithTheSystemText) {
    TempDir dir;
    std::string file = dir.file("f");
    struct Case {
        const char* mode;
        const char* role;
    } cases[] = {{"r", "input"}, {"w+b", "output"}};
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&] {
            init_as_symkeep();
            g_plan = Plan{1000, EACCES};
            plat_calls.fopen = failing_fopen;
            gen_safe_fopen(file.c_str(), nullptr, c.mode);
            std::printf("returned");
        });
        EXPECT_EQ(r.status, 1) << c.mode;
        EXPECT_EQ(r.out, "") << c.mode;
        EXPECT_EQ(r.err, "symkeep: fatal: Unable to open " + file + " for " + c.role + ": " + errtext(EACCES) + "\n");
        // Permission errors are not retried: one try.
    }
    EXPECT_FALSE(file_exists(file));
}

// ---- write and close ----------------------------------------------------------

TEST(WriteFaults, ShortAndFailedWritesAreReportedAndTheRunGoesOn) {
    TempDir dir;
    std::string file = dir.file("out");
    struct Case {
        size_t items_written;
        int error;
    } cases[] = {{3, ENOSPC}, {0, ENOSPC}, {2, EIO}, {0, EIO}};
    for (const Case& c : cases) {
        ChildResult r = run_in_child([&] {
            init_as_symkeep();
            FILE* fp = gen_safe_fopen(file.c_str(), nullptr, "w+b");
            g_plan = Plan{0, c.error};
            g_short_items = c.items_written;
            plat_calls.fwrite = short_fwrite;
            int64_t named = gen_safe_fwrite(file.c_str(), "abcdefgh", 1, 8, fp);
            int64_t nameless = gen_safe_fwrite(nullptr, "abcdefgh", 2, 4, fp);
            plat_calls = plat_default_calls();
            gen_safe_fclose(file.c_str(), nullptr, fp);
            std::printf("%lld %lld", static_cast<long long>(named), static_cast<long long>(nameless));
        });
        std::string text = errtext(c.error);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::to_string(c.items_written) + " " + std::to_string(c.items_written));
        EXPECT_EQ(r.err, "symkeep: fatal: Error writing to '" + file + "': " + text +
                             "\nsymkeep: fatal: Error writing to file: " + text + "\n");
        // What was written before the failure reached the file.
        EXPECT_EQ(read_file(file).size(), c.items_written * 3);
    }
}

TEST(WriteFaults, FailedClosesAreReportedAndTheRunEndsWithStatusZero) {
    TempDir dir;
    std::string file = dir.file("out");
    for (int error : {ENOSPC, EIO}) {
        ChildResult r = run_in_child([&] {
            init_as_symkeep();
            FILE* fp = gen_safe_fopen(file.c_str(), nullptr, "w+b");
            std::fputs("data", fp);
            g_plan = Plan{0, error};
            plat_calls.fclose = failing_fclose;
            int described = gen_safe_fclose(file.c_str(), "output", fp);
            FILE* again = gen_safe_fopen(file.c_str(), nullptr, "r");
            int plain = gen_safe_fclose(file.c_str(), nullptr, again);
            std::printf("%d %d", described, plain);
        });
        std::string text = errtext(error);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "-1 -1");
        EXPECT_EQ(r.err, "symkeep: fatal: Error closing output '" + file + "': " + text +
                             "\nsymkeep: fatal: Error closing " + file + ": " + text + "\n");
    }
}

// ---- read ---------------------------------------------------------------------

TEST(ReadFaults, InterruptedPositionedReadsAreRetried) {
    TempDir dir;
    std::string file = dir.file("in");
    write_file(file, "0123456789");
    ChildResult r = run_in_child([&] {
        FILE* fp = std::fopen(file.c_str(), "rb");
        g_plan = Plan{3, EINTR};
        plat_calls.pread = failing_pread;
        char text[5] = {};
        long n = plat_pread(fp, text, 4, 3);
        std::printf("%ld:%s:%d", n, text, g_plan.calls);
    });
    EXPECT_EQ(r.out, "4:3456:4");

    // Any other error is the caller's to see.
    r = run_in_child([&] {
        FILE* fp = std::fopen(file.c_str(), "rb");
        g_plan = Plan{1, EIO};
        plat_calls.pread = failing_pread;
        char text[4];
        long n = plat_pread(fp, text, 4, 0);
        std::printf("%ld:%d:%d", n, errno == EIO, g_plan.calls);
    });
    EXPECT_EQ(r.out, "-1:1:1");
}

// ---- the current directory ---------------------------------------------------------

// A top and a base tree; "only-below" exists in the base tree alone.  On
// Windows a child runs the test from its start again, in the parent's
// directory, and finds the trees made already.
bool make_view_path_trees(const std::string& top, const std::string& base) {
    for (const std::string& d : {top, base})
        if (mkdir(d.c_str(), 0777) != 0 && errno != EEXIST) return false;
    write_file(base + TempDir::kSeparator + "only-below", "below");
    return true;
}

// With no start directory the view path still answers relative and empty
// names (an empty name once overflowed its one-byte copy here).
TEST(CwdFaults, ViewPathWithoutAStartDirectory) {
    TempDir dir;
    std::string top = dir.file("top"), base = dir.file("base");
    ASSERT_TRUE(make_view_path_trees(top, base));
    ChildResult r = run_in_child([&] {
        plat_setenv("NVPATH", (top + PLAT_PATH_LIST_SEPARATOR + base).c_str());
        init_as_symkeep();
        plat_calls.getcwd = failing_getcwd;
        V_reset_for_tests();
        gen_viewpathing(1);
        char* empty = V_relpath("");
        char* relative = V_relpath("some/name");
        char* found = V_resolve((top + TempDir::kSeparator + "only-below").c_str(), V_LOOKUP_READ);
        std::printf("%d|%s|%s|%s", V_start_directory() == nullptr, empty ? empty : "none",
                    relative ? relative : "none", found);
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1|none|none|" + base + TempDir::kSeparator + "only-below");
}

// ---- memory -------------------------------------------------------------------------

// Counts AllocHook requests; the one numbered g_fail_at fails as the
// allocator does when the heap is exhausted.
int g_alloc_calls = 0;
int g_fail_at = 0;
std::vector<uint64_t> g_sizes;

void* counting_alloc(uint64_t count, uint64_t size) {
    ++g_alloc_calls;
    if (g_alloc_calls == g_fail_at) gen_out_of_memory(count * size);
    g_sizes.push_back(count * size);
    return gen_calloc(count, size);
}

// A sequence that allocates at many places: view-path set-up, lookups,
// opens, path routines.
void allocating_work(const std::string& top, const std::string& base) {
    V_reset_for_tests();
    gen_viewpathing(1);
    FILE* fp = gen_safe_fopen((top + TempDir::kSeparator + "only-below").c_str(), nullptr, "r");
    gen_safe_fclose("only-below", "input", fp);
    FreeHook(gen_pathjoin(base.c_str(), "x/../y"));
    FreeHook(gen_abspath("rel/name"));
    FreeHook(gen_setext("file.c", ".o"));
}

std::string oom_report(uint64_t size) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(size));
    return std::string("symkeep: fatal: Out of memory (0x") + digits + " bytes requested)\n";
}

TEST(MemoryFaults, EveryFailedAllocationEndsWithTheExactReportAndStatusThree) {
    TempDir dir;
    std::string top = dir.file("top"), base = dir.file("base");
    ASSERT_TRUE(make_view_path_trees(top, base));

    // First the requests the work makes, in order.
    std::string sizes_file = dir.file("sizes");
    ChildResult count = run_in_child([&] {
        plat_setenv("NVPATH", (top + PLAT_PATH_LIST_SEPARATOR + base).c_str());
        init_as_symkeep();
        AllocHook = counting_alloc;
        allocating_work(top, base);
        FILE* f = std::fopen(sizes_file.c_str(), "w");
        for (uint64_t s : g_sizes) std::fprintf(f, "%llu\n", static_cast<unsigned long long>(s));
        std::fclose(f);
    });
    ASSERT_EQ(count.status, 0) << count.err;
    std::vector<uint64_t> sizes;
    {
        FILE* f = std::fopen(sizes_file.c_str(), "r");
        unsigned long long s;
        while (std::fscanf(f, "%llu", &s) == 1) sizes.push_back(s);
        std::fclose(f);
    }
    ASSERT_GE(sizes.size(), 5u) << "the work should allocate at several places";

    for (size_t n = 1; n <= sizes.size(); ++n) {
        for (bool interrupted : {false, true}) {
            ChildResult r = run_in_child([&] {
                plat_setenv("NVPATH", (top + PLAT_PATH_LIST_SEPARATOR + base).c_str());
                init_as_symkeep();
                g_fail_at = static_cast<int>(n);
                AllocHook = counting_alloc;
                if (interrupted) {
                    // The report's first write is interrupted and tried again.
                    g_plan = Plan{1, EINTR};
                    plat_calls.write = failing_write;
                }
                allocating_work(top, base);
                std::printf("survived");
            });
            EXPECT_EQ(r.status, 3) << "request " << n;
            EXPECT_EQ(r.out, "") << "request " << n;
            EXPECT_EQ(r.err, oom_report(sizes[n - 1])) << "request " << n << (interrupted ? " (interrupted)" : "");
        }
    }
}

}  // namespace
