// Test program for the crash reports: starts the runtime like the tool does,
// prints "key value" lines on standard output, then fails on purpose.
//
//   crash_probe MODE   MODE is one of
//     exit     logs an event and returns from main
//     assert   fails an assertion
//     taken    claims the first fallback directory name, then fails an assertion
//     segv     reads address 0x10          fpe   divides by zero
//     ill      executes an illegal instruction
//     bus      reads a mapped page whose file was truncated (SIGBUS); on
//              Windows raises the in-page error such a read raises there
//     thread   a worker thread logs and ends, then main returns
//     threads  main and a worker log "turn" events by turns, then main reads
//              address 0x10 while the worker waits: a dump of main's log
//              and the worker's live log are left behind
//     env      shows ZEP_RNE_DUMP_PATH as a child process sees it
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "shared/eventlog/zolta.h"
#include "shared/geninit.h"
#include "shared/gensys.h"
#include "shared/genexit.h"
#include "shared/genmem.h"

namespace {

// Whose turn it is to log next: 2 * round for main, 2 * round + 1 for the worker.
std::atomic<int> g_turn{0};

void take_turns(int parity) {
    for (int round = 0; round < 3; ++round) {
        while (g_turn.load() != 2 * round + parity) std::this_thread::yield();
        ZOLTA_LogU32("turn", static_cast<uint32_t>(2 * round + parity));
        g_turn.store(2 * round + parity + 1);
    }
}

void report(const char* key, unsigned long long value, bool hex = false) {
    std::printf(hex ? "%s 0x%llx\n" : "%s %llu\n", key, value);
    std::fflush(stdout);
}

__attribute__((no_sanitize("undefined"))) int divide(volatile int a, volatile int b) { return a / b; }

void illegal_instruction() {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("ud2");
#endif
    std::raise(SIGILL);
}

#ifdef _WIN32
// No signal stands for it: it goes to the unhandled-exception filter.
void bus_error() { RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, nullptr); }
#else
void bus_error() {
    char path[] = "/tmp/crash_probe_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || ftruncate(fd, 4096) != 0) std::exit(3);
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED || ftruncate(fd, 0) != 0) std::exit(3);
    unlink(path);
    report("fault_address", reinterpret_cast<uintptr_t>(page), true);
    report("read", *static_cast<volatile unsigned char*>(page));
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "taken") {
        // The name the set-up would pick first, made before it looks.
        char* user = gen_getusername();
        const std::string dir = std::string(std::getenv("TMP")) + "/ZEP_RNE_" + gen_gethostname() + "_" + user + "_" +
                                std::to_string(plat_process_id()) + "_0000";
        FreeHook(user);
        plat_mkdir(dir.c_str(), 0777);
    }
    gen_init(argv[0], 0, 1);
    report("pid", plat_process_id());
    report("tid", plat_thread_id());
    ZOLTA_LogText("probe", mode.c_str());

    if (mode == "assert" || mode == "taken") gen_assert_check(0, "mode != assert", __FILE__, __LINE__, 0);
    if (mode == "threads") {
        std::thread([] {
            report("worker_tid", plat_thread_id());
            take_turns(1);
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }).detach();
        take_turns(0);
        while (g_turn.load() != 6) std::this_thread::yield();
    }
    if (mode == "segv" || mode == "threads") {
        // Computed at run time, so the compiler cannot turn the read into a
        // trap instruction of its own.
        const uintptr_t address = std::strtoul("16", nullptr, 10);
        report("fault_address", address, true);
        report("read", *reinterpret_cast<volatile int*>(address));
    }
    if (mode == "fpe") report("quotient", static_cast<unsigned>(divide(1, 0)));
    if (mode == "ill") illegal_instruction();
    if (mode == "bus") bus_error();
    if (mode == "thread") {
        std::thread worker([] {
            report("worker_tid", plat_thread_id());
            ZOLTA_LogU32("worker", 42);
        });
        worker.join();
    }
#ifdef _WIN32
    if (mode == "env") return std::system("echo child %ZEP_RNE_DUMP_PATH%") == 0 ? 0 : 4;
#else
    if (mode == "env") return std::system("echo \"child $ZEP_RNE_DUMP_PATH\"") == 0 ? 0 : 4;
#endif
    if (mode == "block") {
        // Logs, says so, then waits to be killed: what a killed process
        // leaves behind is its mapped log.
        ZOLTA_LogU32("before_kill", 7);
        report("ready", 1);
        std::fflush(stdout);
        for (;;) pause();
    }
    return 0;
}
