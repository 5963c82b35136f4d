// Interrupted, short and failing system calls where the runtime makes them,
// and an allocator failing at the Nth request for every N the work reaches,
// judged by standard error, the status and what reached the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/gensys.h"
#include "shared/viewpath/viewpath.h"
#include "support/harness.h"

namespace {

// The fake calls fail while `failures` lasts, with `error`; later calls go
// to the real ones.  A failing fwrite still writes `short_items` items.
struct Plan {
    int failures = 0, error = 0, calls = 0;
    size_t short_items = 0;
    bool fail_now() { return ++calls > failures ? false : (errno = error, true); }
};
Plan g_plan;
const PlatCalls& real() { return plat_default_calls(); }

FILE* fake_fopen(const char* name, const char* mode) { return g_plan.fail_now() ? nullptr : real().fopen(name, mode); }
long fake_read(int fd, void* buf, size_t n) { return g_plan.fail_now() ? -1 : real().read(fd, buf, n); }
long fake_write(int fd, const void* buf, size_t n) { return g_plan.fail_now() ? -1 : real().write(fd, buf, n); }
long fake_pread(int fd, void* b, size_t n, uint64_t at) { return g_plan.fail_now() ? -1 : real().pread(fd, b, n, at); }
char* fake_getcwd(char* buf, size_t n) { return g_plan.fail_now() ? nullptr : real().getcwd(buf, n); }
size_t fake_fwrite(const void* buf, size_t size, size_t count, FILE* stream) {
    const bool fail = g_plan.fail_now();
    const size_t written = real().fwrite(buf, size, fail ? std::min(count, g_plan.short_items) : count, stream);
    return fail ? (errno = g_plan.error, written) : written;
}
// Closes for real (the descriptor must not leak), then fails as a close
// that flushed onto a full or broken device does.
int fake_fclose(FILE* stream) { return real().fclose(stream) != 0 || g_plan.fail_now() ? -1 : 0; }

std::string text_of(int error) { return std::strerror(error); }

// A top and a base tree for the view path; "only-below" is in the base alone.
struct Trees {
    TempDir dir;
    std::string top = dir.file("top"), base = dir.file("base"), below = base + TempDir::kSeparator + "only-below";
    Trees() {
        for (const std::string& d : {top, base}) plat_mkdir(d.c_str(), 0777);
        write_file(below, "below");
        plat_setenv("NVPATH", (top + PLAT_PATH_LIST_SEPARATOR + base).c_str());
    }
    ~Trees() { V_reset_for_tests(), unsetenv("NVPATH"); }
};

TEST(Faults, EachFailingCallAsTheUserSeesIt) {
    Trees trees;
    const std::string in = trees.dir.file("in"), out = trees.dir.file("out"), denied = trees.dir.file("denied");
    write_file(in, "0123456789");
    auto open_read = [&] {
        plat_calls.fopen = fake_fopen;
        FILE* fp = gen_safe_fopen(in.c_str(), nullptr, "r");
        char text[16] = {};
        std::printf("%zu:%s", std::fread(text, 1, sizeof text - 1, fp), text), std::fclose(fp);
    };
    auto open_denied = [&] { plat_calls.fopen = fake_fopen, gen_safe_fopen(denied.c_str(), "listing", "w+b"); };
    auto writes = [&](size_t kept_items) {  // of each failing request
        return [&, kept_items] {
            FILE* fp = gen_safe_fopen(out.c_str(), nullptr, "w+b");
            g_plan.short_items = kept_items, plat_calls.fwrite = fake_fwrite;
            const long long named = gen_safe_fwrite(out.c_str(), "abcdefgh", 1, 8, fp);
            const long long nameless = gen_safe_fwrite(nullptr, "abcdefgh", 2, 4, fp);
            plat_calls = plat_default_calls(), gen_safe_fclose(out.c_str(), nullptr, fp);
            std::printf("%lld %lld %zu", named, nameless, read_file(out).size());
        };
    };
    auto close_failing = [&] {
        FILE* fp = gen_safe_fopen(out.c_str(), nullptr, "w+b");
        std::fputs("data", fp), plat_calls.fclose = fake_fclose;
        const int d = gen_safe_fclose(out.c_str(), "output", fp);
        const int p = gen_safe_fclose(out.c_str(), nullptr, std::fopen(out.c_str(), "r"));
        std::printf("%d %d %d %s", d, p, gen_safe_fclose(out.c_str(), nullptr, nullptr), read_file(out).c_str());
    };
    auto pread_at = [&](uint64_t offset) {
        return [&, offset] {
            FILE* fp = std::fopen(in.c_str(), "rb");
            char text[5] = {};
            const long n = (plat_calls.pread = fake_pread, plat_pread(fp, text, 4, offset));
            std::printf("%ld:%s:%s", n, text, errno == EIO ? "EIO" : ""), std::fclose(fp);
        };
    };
    // With no start directory the view path still answers relative and
    // empty names (an empty name once overflowed its one-byte copy here).
    auto no_start_directory = [&] {
        plat_calls.getcwd = fake_getcwd, V_reset_for_tests(), gen_viewpathing(1);
        char *empty = V_relpath(""), *relative = V_relpath("some/name"),
             *found = V_resolve((trees.top + TempDir::kSeparator + "only-below").c_str(), V_LOOKUP_READ);
        std::printf("%d|%s|%s|%s", V_start_directory() == nullptr, empty ? empty : "none",
                    relative ? relative : "none", found ? found : "none");
    };
    // Descriptor reads and writes take 32-bit counts; a larger one is said.
    auto count_limits = [] {
        plat_calls.read = fake_read, plat_calls.write = fake_write;
        for (uint64_t count : {0xFFFFFFFFull, 1ull << 32}) gen_read(0, nullptr, count), gen_write(1, nullptr, count);
    };
    const std::string cannot_open = "symkeep: fatal: Unable to open ", fatal = "symkeep: fatal: Error ";
    auto write_error = [&](int e) {
        return fatal + "writing to '" + out + "': " + text_of(e) + "\n" + fatal + "writing to file: " + text_of(e) +
               "\n";
    };
    const struct {
        const char* name;
        int failures, error;
        std::function<void()> body;
        int status;  // -1: the body returned
        std::string out, err;
        int calls;  // of the faked call; -1: not counted
    } rows[] = {
        {"10 interrupts", 10, EINTR, open_read, -1, "10:0123456789", "", 11},
        {"11 interrupts", 11, EINTR, open_read, 1, "", cannot_open + in + " for input: " + text_of(EINTR) + "\n", 11},
        {"open for output denied", 1000, EACCES, open_denied, 1, "",
         cannot_open + "listing '" + denied + "' for output: " + text_of(EACCES) + "\n", 1},
        {"whole writes", 0, 0, writes(0), -1, "8 4 16", "", 2},
        {"short writes", 1000, ENOSPC, writes(3), -1, "3 3 9", write_error(ENOSPC), 2},
        {"failed writes", 1000, EIO, writes(0), -1, "0 0 0", write_error(EIO), 2},
        {"failed closes", 1000, ENOSPC, close_failing, -1, "-1 -1 -1 data", fatal + "closing output '" + out + "': " +
             text_of(ENOSPC) + "\n" + fatal + "closing " + out + ": " + text_of(ENOSPC) +
             "\nsymkeep: error: Attempt to close NULL file " + out + "\n", 2},
        {"positioned read interrupted", 3, EINTR, pread_at(3), -1, "4:3456:", "", 4},
        {"positioned read at the end, interrupted", 1, EINTR, pread_at(10), -1, "0::", "", 2},
        {"positioned read failing", 1, EIO, pread_at(3), -1, "-1::EIO", "", 1},
        {"counts beyond 32 bits", 1000, EIO, count_limits, -1, "",
         "symkeep: error: gen_read(): count exceeds unsigned 32-bit range\n"
         "symkeep: error: gen_write(): count exceeds unsigned 32-bit range\n", 4},
        {"no start directory", 1000, ENOENT, no_start_directory, -1, "1|none|none|" + trees.below, "", -1},
    };
    for (const auto& row : rows) {
        g_plan = Plan{row.failures, row.error};
        const Outcome r = trap([&] { gen_setprogpath("/opt/tools/symkeep"), row.body(); });
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.out, row.out) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        EXPECT_EQ(row.calls < 0 ? -1 : g_plan.calls, row.calls) << row.name;
    }
    EXPECT_FALSE(file_exists(denied));
}

// Requests of AllocHook, counted; the one numbered g_fail_at fails as the
// allocator does when the heap is exhausted.
int g_requests = 0, g_fail_at = 0;
uint64_t g_failed_size = 0;

void* nth_fails(uint64_t count, uint64_t size) {
    if (++g_requests == g_fail_at) gen_out_of_memory(g_failed_size = count * size);
    return gen_calloc(count, size);
}

// Work that allocates at many places: view-path set-up and lookup, opens,
// path routines.
void allocating_work(const Trees& trees) {
    V_reset_for_tests(), gen_viewpathing(1);
    FILE* fp = gen_safe_fopen((trees.top + TempDir::kSeparator + "only-below").c_str(), nullptr, "r");
    gen_safe_fclose("only-below", "input", fp);
    FreeHook(gen_pathjoin(trees.base.c_str(), "x/../y")), FreeHook(gen_abspath("rel/name"));
    FreeHook(gen_setext("file.c", ".o"));
}

// Failing each request in turn until the work gets through (SQLite's
// fail-the-Nth-call loop): every failure ends with status 3 and the report
// of the failing request.  The report's first write, interrupted, is tried
// again; failing otherwise, it is given up (the program name is lost).
TEST(Faults, EveryFailedAllocationEndsWithTheExactReport) {
    Trees trees;
    int failed = 0;  // requests failed in turn
    for (bool completed = false; !completed && failed < 500; failed += completed ? 0 : 1) {
        for (int error : {0, EINTR, EIO}) {
            g_requests = 0, g_fail_at = failed + 1, g_plan = Plan{error != 0 ? 1 : 0, error};
            const Outcome r = trap([&] {
                gen_setprogpath("/opt/tools/symkeep"), AllocHook = nth_fails, plat_calls.write = fake_write;
                allocating_work(trees);
            });
            completed = r.status == -1;
            if (completed) break;
            char report[80];
            std::snprintf(report, sizeof report, "%s: fatal: Out of memory (0x%016llX bytes requested)\n",
                          error == EIO ? "" : "symkeep", static_cast<unsigned long long>(g_failed_size));
            EXPECT_EQ(r.status, 3) << "request " << g_fail_at << ", " << text_of(error);
            EXPECT_EQ(r.out + r.err, report) << "request " << g_fail_at << ", " << text_of(error);
        }
    }
    EXPECT_GE(failed, 10) << "the work should allocate at several places";
}

}  // namespace
