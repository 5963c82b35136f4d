// The probe program, for the cases that need a process of its own: `probe SCENARIO [ARG]` runs one
// scenario of the table at the end and prints what it sees as "key value" lines.  The scenarios that
// start the runtime as the tool does (crash reports from ZEP_RNE_DUMP_PATH) report "pid" and "tid" and
// log their own name first; the others exercise one part alone.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>

#include "platform/win32/win32_testing.h"
#else
#include <sys/wait.h>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "shared/crash/rnedump_handlers.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"
#include "shared/geninit.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/gensys.h"

namespace {

void report(const char* key, const std::string& value) {
    std::printf("%s %s\n", key, value.c_str());
    std::fflush(stdout);
}
void report(const char* key, unsigned long long value, const char* format = "%llu") {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    report(key, text);
}

__attribute__((no_sanitize("undefined"))) int divide(volatile int a, volatile int b) { return a / b; }

void fail_assertion(const char*) { gen_assert_check(0, "scenario != assert", __FILE__, __LINE__, 0); }

void segv(const char*) {
    // Computed at run time, so the compiler cannot make the read a trap of its own.
    const uintptr_t address = std::strtoul("16", nullptr, 10);
    report("fault_address", address, "0x%llx");
    report("read", *reinterpret_cast<volatile int*>(address));
}

void ill(const char*) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("ud2");
#endif
    std::raise(SIGILL);
}

void bus(const char*) {
#ifdef _WIN32
    const ULONG_PTR params[2] = {0x1234, static_cast<ULONG_PTR>(0xfedcba9876543210ull)};
    RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 2, params);  // no signal stands for it
#else
    char path[] = "/tmp/probe_XXXXXX";
    const int fd = mkstemp(path);
    void* page = fd < 0 || ftruncate(fd, 4096) != 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED || ftruncate(fd, 0) != 0) std::exit(3);
    unlink(path);
    report("fault_address", reinterpret_cast<uintptr_t>(page), "0x%llx");
    report("read", *static_cast<volatile unsigned char*>(page));
#endif
}

// Whose turn it is to log next: 2 * round for main, 2 * round + 1 for the worker.
std::atomic<int> g_turn{0};

void take_turns(int parity) {
    for (int round = 0; round < 3; ++round) {
        while (g_turn.load() != 2 * round + parity) std::this_thread::yield();
        ZOLTA_LogU32("turn", static_cast<uint32_t>(2 * round + parity));
        g_turn.store(2 * round + parity + 1);
    }
}

// Main and a worker log by turns, then main faults while the worker waits:
// main's log is dumped and the worker's stays behind as a live log.
void threads(const char* arg) {
    std::thread([] {
        report("worker_tid", plat_thread_id());
        take_turns(1);
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }).detach();
    take_turns(0);
    while (g_turn.load() != 6) std::this_thread::yield();
    segv(arg);
}

void filter(const char*) {
    const RNEDumpExceptionRecord record = {0xC0000005u, 1, 0x401000, 2, {1, 0xdead0}};
    const RNEDumpContextRecord context = {0x401000, true, 0x10, 0x20, 0x30, 0x40};
    const RNEDumpExceptionPointers given = {&record, &context}, none = {nullptr, nullptr};
    report("filter", static_cast<unsigned long long>(RNEDump_ExceptionFilter(&given)));
    RNEDump_ExceptionFilter(&none);
    RNEDump_ExceptionFilter(nullptr);
}

void show_env(const char*) {
#ifdef _WIN32
    std::exit(std::system("echo child %ZEP_RNE_DUMP_PATH%") == 0 ? 0 : 4);
#else
    std::exit(std::system("echo \"child $ZEP_RNE_DUMP_PATH\"") == 0 ? 0 : 4);
#endif
}

void killed(const char*) {
    ZOLTA_LogU32("before_kill", 7);  // what a killed process leaves is its mapped log
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 9);
#else
    std::raise(SIGKILL);
#endif
}

// Links at the names of this thread's dump and backing file, made before
// the crash-report set-up looks.
void plant_links(const char* target) {
    const std::string stem = std::string(std::getenv("ZEP_RNE_DUMP_PATH")) + "/" +
                             std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id());
#ifndef _WIN32
    if (symlink(target, (stem + ".rne").c_str()) != 0 || symlink(target, (stem + "_map.rne").c_str()) != 0)
        std::exit(3);
#else
    (void)target, std::exit(3);
#endif
}

// The name the crash-report set-up would pick first, made before it looks.
void take_first_fallback_name() {
    char* user = gen_getusername();
    const std::string dir = std::string(std::getenv("TMP")) + "/ZEP_RNE_" + gen_gethostname() + "_" + user + "_" +
                            std::to_string(plat_process_id()) + "_0000";
    FreeHook(user);
    plat_mkdir(dir.c_str(), 0777);
}

std::string backing_file() {
    const char* p = zolta_backing_file(ZOLTA_GetThreadLog());
    return p != nullptr ? p : "";
}

const char* presence(const std::string& path) {
    PlatStat st;
    return !path.empty() && plat_stat(path.c_str(), &st) == 0 ? "present" : "absent";
}

void log_thread(const char* dump_dir) {
    ZOLTA_StartThreadLog();
    ZOLTA_LogU32("main", 1);
    report("pid", plat_process_id());
    report("tid", plat_thread_id());
    report("main_file", backing_file());
    if (dump_dir != nullptr) ZOLTA_SetDumpDirectory(dump_dir);
    std::string worker_file;
    std::thread([&] {
        ZOLTA_LogU32("worker", 7);
        ZOLTA_LogText("worker", "running");
        worker_file = backing_file();
        report("worker_tid", plat_thread_id());
        report("worker_file", worker_file);
        report("worker_file_while_running", presence(worker_file));
    }).join();
    report("worker_file_after_end", presence(worker_file));
    ZOLTA_LogText("main", "returning");
}

#ifdef _WIN32
void log_thread_tls(const char* dump_dir) {
    plat_win32_force_thread_local_slots(true);
    log_thread(dump_dir);
}
#else
void log_thread_tls(const char*) { std::exit(3); }
#endif

// The child of a fork makes a log of its own and leaves the parent's alone.
void fork_child(const char*) {
    ThreadLog* parent = ZOLTA_StartThreadLog();
    ZOLTA_LogU32("parent", 1);
#ifndef _WIN32
    const pid_t pid = fork();
    if (pid == 0) {
        ZOLTA_LogU32("child", 2);
        const ThreadLog* log = ZOLTA_GetThreadLog();
        RneLog read;
        const bool own = log != nullptr && log != parent && log->thread_id == plat_process_id() &&
                         rne_read_thread_log(log, &read) && read.events.size() == 1;
        _exit(own ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    report("child", WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "own" : "wrong");
#endif
    RneLog read;
    rne_read_thread_log(parent, &read);
    report("parent_events", read.events.size());
}

void exit_twice(const char*) {
    std::atexit([] {
        std::printf("inner %s ", FreeHook == gen_free ? "live" : "ignored");
        std::fflush(stdout);
        std::printf("unflushed");  // a second exit leaves at once: nothing more is flushed
        gen_exit(7);
    });
    std::atexit([] { std::printf("first "); });  // runs first
    gen_exit(2);
}

const struct Scenario {
    const char* name;
    bool starts_runtime;
    void (*run)(const char* arg);
} kScenarios[] = {
    {"assert", true, fail_assertion},  // [LINKTARGET]: links planted at the dump and log names first
    {"taken", true, fail_assertion},   // the first fallback dump directory name taken
    {"segv", true, segv},
    {"fpe", true, [](const char*) { report("quotient", static_cast<unsigned>(divide(1, 0))); }},
    {"ill", true, ill},
    {"bus", true, bus},  // a truncated mapping; on Windows an in-page error (0x1234, 0xfedcba9876543210)
    {"filter", true, filter},
    {"threads", true, threads},
    {"env", true, show_env},
    {"killed", true, killed},  // [LINKTARGET]: ends as SIGKILL does, no handler runs
    {"log-thread", false, log_thread},  // [DUMPDIR]: main and a worker log; the worker's file
    {"log-thread-tls", false, log_thread_tls},  // the same on thread-local slots
    {"fork", false, fork_child},
    {"exit-twice", false, exit_twice},  // gen_exit from a handler while gen_exit runs
};

}  // namespace

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "";
    for (const Scenario& s : kScenarios) {
        if (std::strcmp(s.name, name) != 0) continue;
        if (std::strcmp(name, "taken") == 0) take_first_fallback_name();
        if (s.starts_runtime && argc > 2) plant_links(argv[2]);
        if (s.starts_runtime) {
            gen_init(argv[0], 0, 1);
            report("pid", plat_process_id());
            report("tid", plat_thread_id());
            ZOLTA_LogText("probe", name);
        }
        s.run(argc > 2 ? argv[2] : nullptr);
        return 0;
    }
    std::fprintf(stderr, "probe: no scenario \"%s\"\n", name);
    return 2;
}
