// The shared fuzz harness: silenced diagnostics and the allocation tracker
// behind --wrap=malloc,calloc,realloc,free.
#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/platform.h"
#include "shared/geninit.h"
#include "shared/genout.h"
#include "shared/sprintf/mt_sprintf.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
}

namespace {

// ---- allocation tracker -------------------------------------------------

// Open addressing with linear probing and backward-shift deletion; static
// storage, because it runs inside malloc.  When it fills up, further blocks
// are simply not tracked (they then stay allocated).
constexpr size_t kSlots = size_t{1} << 18;
void* g_blocks[kSlots];
size_t g_live = 0;
thread_local bool t_tracking = false;

size_t slot_of(void* p) {
    auto v = reinterpret_cast<uintptr_t>(p);
    v ^= v >> 17;
    v *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(v >> 40) & (kSlots - 1);
}

void remember(void* p) {
    if (p == nullptr || g_live >= kSlots / 2) return;
    size_t i = slot_of(p);
    while (g_blocks[i] != nullptr) {
        if (g_blocks[i] == p) return;
        i = (i + 1) & (kSlots - 1);
    }
    g_blocks[i] = p;
    ++g_live;
}

void forget(void* p) {
    if (p == nullptr || g_live == 0) return;
    size_t i = slot_of(p);
    while (g_blocks[i] != p) {
        if (g_blocks[i] == nullptr) return;
        i = (i + 1) & (kSlots - 1);
    }
    g_blocks[i] = nullptr;
    --g_live;
    // Move later members of the probe run back so no lookup stops early.
    for (size_t j = (i + 1) & (kSlots - 1); g_blocks[j] != nullptr; j = (j + 1) & (kSlots - 1)) {
        size_t home = slot_of(g_blocks[j]);
        bool movable = i <= j ? (home <= i || home > j) : (home <= i && home > j);
        if (movable) {
            g_blocks[i] = g_blocks[j];
            g_blocks[j] = nullptr;
            i = j;
        }
    }
}

// ---- diagnostics ------------------------------------------------------

int g_real_stderr = -1;

// Formats the message (so that every diagnostic's format and arguments are
// exercised) and drops it.
void quiet_message(uint32_t, const char* format, va_list args) {
    char text[512];
    mt_vsprintf(text, sizeof text, format, args);
}

void assertion_finding(uint32_t, const char* format, va_list args) {
    char text[1024];
    mt_vsprintf(text, sizeof text, format, args);
    fuzz_finding("failed assertion", text);
}

long write_except_stderr(int fd, const void* buf, size_t count) {
    if (fd == 2) return static_cast<long>(count);
    return plat_default_calls().write(fd, buf, count);
}

}  // namespace

extern "C" {

void* __wrap_malloc(size_t size) {
    void* p = __real_malloc(size);
    if (t_tracking) remember(p);
    return p;
}

void* __wrap_calloc(size_t count, size_t size) {
    void* p = __real_calloc(count, size);
    if (t_tracking) remember(p);
    return p;
}

void* __wrap_realloc(void* block, size_t size) {
    void* p = __real_realloc(block, size);
    if (p != nullptr || size == 0) forget(block);
    if (t_tracking) remember(p);
    return p;
}

void __wrap_free(void* block) {
    forget(block);
    __real_free(block);
}

}  // extern "C"

void fuzz_setup() {
    static bool done = false;
    if (done) return;
    done = true;
    g_real_stderr = dup(2);
    MessageHook = quiet_message;
    AssertMessageHook = assertion_finding;
    plat_calls.write = write_except_stderr;
    // The loader writes its two answers to the stream directly.
    if (FILE* null = std::fopen("/dev/null", "w")) stderr = null;
    // Diagnostics name the program; without a name they take another path.
    // The crash-report set-up would install signal handlers over the
    // sanitizers' own.
    GenCrashReportSetupHook = nullptr;
    gen_init("/fuzz/symkeep-fuzz", 0, 0);
}

void fuzz_track_begin() { t_tracking = true; }

size_t fuzz_track_end() {
    t_tracking = false;
    size_t left = g_live;
    for (size_t i = 0; i < kSlots && g_live > 0; ++i) {
        if (g_blocks[i] != nullptr) {
            __real_free(g_blocks[i]);
            g_blocks[i] = nullptr;
            --g_live;
        }
    }
    g_live = 0;
    return left;
}

void fuzz_finding(const char* what, const std::string& detail) {
    std::string line = std::string("==FUZZ FINDING: ") + what + ": " + detail + "\n";
    int fd = g_real_stderr >= 0 ? g_real_stderr : 2;
    ssize_t ignored = write(fd, line.data(), line.size());
    (void)ignored;
    std::abort();
}

FuzzFile::FuzzFile() {
    fd_ = memfd_create("symkeep-fuzz", 0);
    if (fd_ < 0) fuzz_finding("harness", "memfd_create failed");
    std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
}

void FuzzFile::set(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) fuzz_finding("harness", "ftruncate failed");
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) fuzz_finding("harness", "pwrite failed");
        done += static_cast<size_t>(n);
    }
}
