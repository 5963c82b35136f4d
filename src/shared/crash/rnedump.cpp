// Crash reports: set-up, the abort dump and the exit-time dump.
//
// The abort dump may run inside a signal handler, on a thread that faulted
// anywhere, the allocator included.  It therefore allocates nothing: the
// directory is created with the allocation-free plat_mkdir, and the line is
// assembled in a stack buffer and written with descriptor writes.
#include "shared/crash/rnedump.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shared/crash/rnedump_handlers.h"
#include "shared/eventlog/zolta.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/genstr.h"
#include "shared/gensys.h"
#include "shared/viewpath/viewpath.h"

namespace {

char* DumpPath = nullptr;         // absolute "ZEP_RNE_DUMP_PATH"
char* FallbackDumpDir = nullptr;  // from gen_format_alloc
bool g_setup_done = false;

// The marker's name is the bytes 1 to 15: no component would choose it, so
// a reader can tell where the crash-report set-up ran.
constexpr char kMarkerName[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0};

// Fallback candidates "..._0000" upwards; the bound only keeps a view path
// that answers "exists" for everything from looping for ever.
constexpr int kFallbackCandidates = 10000;

// Collects the abort line and writes it with as few writes as it can (one,
// unless the names are very long), so it is not torn by other output.
class LineWriter {
public:
    void add(const char* s) {
        for (; *s != '\0'; ++s) {
            if (len_ == sizeof buf_) flush();
            buf_[len_++] = *s;
        }
    }
    void flush() {
        const char* p = buf_;
        while (len_ > 0) {
            errno = 0;
            const long n = plat_calls.write(2, p, len_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            len_ -= static_cast<size_t>(n);
        }
        len_ = 0;
    }

private:
    char buf_[8192];
    size_t len_ = 0;
};

void choose_fallback_dir() {
    const char* temp = TempDirHook != nullptr ? TempDirHook(nullptr) : nullptr;
    if (temp == nullptr || *temp == '\0') return;
    char* user = gen_getusername();
    char* name = gen_format_alloc("ZEP_RNE_%s_%s_%d", gen_gethostname(), user, static_cast<int>(plat_process_id()));
    char* joined = gen_pathjoin(temp, name);
    FreeHook(user);
    FreeHook(name);
    for (int n = 0; n < kFallbackCandidates && FallbackDumpDir == nullptr; ++n) {
        char* candidate = gen_format_alloc("%s_%04d", joined, n);
        if (gen_vp_access(candidate, 0) != 0)
            FallbackDumpDir = candidate;
        else
            FreeHook(candidate);
    }
    FreeHook(joined);
}

}  // namespace

void RNEDump_Setup() {
    if (g_setup_done) return;
    g_setup_done = true;
    AbortDumpHook = RNEDump_DoOnAbortDump;
    ZOLTA_LogU32(kMarkerName, 1);

    const char* value = gen_getenv("ZEP_RNE_DUMP_PATH", nullptr);
    if (value == nullptr) {
        choose_fallback_dir();
        return;
    }
    DumpPath = gen_abspath(value);
    gen_setenv("ZEP_RNE_DUMP_PATH", DumpPath);
    // Handlers only for a directory that exists: a dump that could never be
    // written is better left to the platform's own reporting.
    if (gen_mkdir(DumpPath, 511) != 0) return;
    RNEDump_InstallHandlers();
    ZOLTA_SetDumpDirectory(DumpPath);
    std::atexit(RNEDump_DumpIfEnabled);
}

void RNEDump_DoOnAbortDump(const char** place, const char* reason) {
    const char* program = gen_getprogname();
    if (place != nullptr) *place = nullptr;
    const char* dir = DumpPath != nullptr ? DumpPath : FallbackDumpDir;
    if (dir == nullptr || plat_mkdir(dir, 0777) != 0) return;
    ZOLTA_LogText("rnedump", "RNEDump_DoOnAbortDump: about to call ZOLTA_DumpAllRNEFiles");
    if (reason != nullptr) ZOLTA_LogText("rnedump", reason);
    // The thread's own log, as ZOLTA_DumpAllRNEFiles would write it; called
    // directly for its answer, so that no line names a file that is not there.
    if (ZOLTA_WriteRNEFile(dir, ZOLTA_GetThreadLog(), plat_process_id()) != 1) return;

    LineWriter line;
    line.add("Program \"");
    line.add(program != nullptr ? program : "N/A");
    line.add("\" has ");
    line.add(reason != nullptr ? reason : "encountered an error");
    line.add(". RNE logs of this event are in ");
    line.add(dir);
    line.add("\n");
    line.flush();
    if (place != nullptr) *place = dir;
}

void RNEDump_DumpIfEnabled() {
    if (DumpPath == nullptr) return;
    ZOLTA_LogText("rnedump", "RNEDump_DumpIfEnabled: about to call ZOLTA_DumpAllRNEFiles");
    ZOLTA_DumpAllRNEFiles(DumpPath);
}

const char* rnedump_dump_path() { return DumpPath; }
const char* rnedump_fallback_dir() { return FallbackDumpDir; }
