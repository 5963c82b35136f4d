// What the fuzz targets share; each defines LLVMFuzzerTestOneInput, and fuzz_prepare() (run once, after the
// set-up) if it needs one.  The runtime ends the program on every refusal, so inputs run under the tests' trap: a
// clean refusal is a pass; a crash, a sanitizer report, a failed assertion, a leak or a hang is a finding.
// Diagnostics are formatted (so every format runs) and dropped.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "shared/geninit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/sprintf/mt_sprintf.h"
#include "support/harness.h"

extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __real_realloc(void* block, size_t size);
extern "C" void __real_free(void* block);
[[gnu::weak]] void fuzz_prepare();

namespace fuzz {

inline int g_stderr = 2;  // the real one: the stderr stream goes to /dev/null
inline thread_local bool g_tracking = false;
inline std::unordered_set<void*> g_live;

[[noreturn]] inline void finding(const char* what, const std::string& detail) {
    dprintf(g_stderr, "==FUZZ FINDING: %s: %s\n", what, detail.c_str());
    std::abort();
}
inline std::string formatted(const char* format, va_list args) {
    char text[1024];
    mt_vsprintf(text, sizeof text, format, args);
    return text;
}
inline void* track(void* block) { return g_tracking && block != nullptr ? *g_live.insert(block).first : block; }

// Runs one input's work under the trap; returns its status (-1: returned; a refusal is a finding unless
// `may_refuse`).  A refusal skips releases (the tool keeps its tables until exit), so the blocks the work left are
// released here; after a completed run they are a leak.
inline int run(const std::function<void()>& body, bool may_refuse = true) {
    g_tracking = true;
    const int status = trap_status(body);
    g_tracking = false;
    const size_t left = g_live.size();
    for (void* block : g_live) __real_free(block);
    if (left != 0) g_live.clear();  // a pass over every bucket
    if (status != -1 && !may_refuse) finding("refusal", "ended the program with status " + std::to_string(status));
    if (status == -1 && left != 0) finding("leak", std::to_string(left) + " blocks left after a completed run");
    return status;
}

}  // namespace fuzz

// --wrap=calloc,realloc,free sends the product's own calls (not the C library's or libstdc++'s) here; each target
// is one file, defining them once.
extern "C" {
void* __wrap_calloc(size_t count, size_t size) { return fuzz::track(__real_calloc(count, size)); }
void* __wrap_realloc(void* block, size_t size) {
    void* moved = __real_realloc(block, size);
    if (fuzz::g_tracking && (moved != nullptr || size == 0)) fuzz::g_live.erase(block);
    return fuzz::track(moved);
}
void __wrap_free(void* block) { if (fuzz::g_tracking) fuzz::g_live.erase(block); __real_free(block); }

int LLVMFuzzerInitialize(int*, char***) {
    fuzz::g_stderr = dup(2);
    MessageHook = [](uint32_t, const char* format, va_list args) { fuzz::formatted(format, args); };
    AssertMessageHook = [](uint32_t, const char* f, va_list args) { fuzz::finding("failed assertion", fuzz::formatted(f, args)); };
    plat_calls.write = [](int fd, const void* bytes, size_t count) {  // the out-of-memory report
        return fd == 2 ? static_cast<long>(count) : plat_default_calls().write(fd, bytes, count);
    };
    if (FILE* null = std::fopen("/dev/null", "w")) stderr = null;  // the loader's answers
    GenCrashReportSetupHook = nullptr;  // it would put signal handlers over the sanitizers'
    gen_init("/fuzz/symkeep-fuzz", 0, 0);  // diagnostics name the program
    if (fuzz_prepare != nullptr) fuzz_prepare();
    return 0;
}
}
