// Test program for the event log's process-level behaviour.
//
//   eventlog_probe thread [dumpdir]  logs on the main thread, runs a worker
//                                    that logs and reports its backing file,
//                                    reports that file again after the join,
//                                    then returns from main normally
//
// Every report is one "key value" line on standard output.
#include <cstdio>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"

namespace {

bool exists(const std::string& path) {
    PlatStat st;
    return !path.empty() && plat_stat(path.c_str(), &st) == 0;
}

std::string backing_file() {
    const char* p = zolta_backing_file(ZOLTA_GetThreadLog());
    return p != nullptr ? p : "";
}

void report(const char* key, const std::string& value) { std::printf("%s %s\n", key, value.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    ZOLTA_StartThreadLog();
    ZOLTA_LogU32("main", 1);
    report("main_log", ZOLTA_GetThreadLog() != nullptr ? "yes" : "none");
    report("pid", std::to_string(plat_process_id()));
    report("main_tid", std::to_string(plat_thread_id()));
    report("main_file", backing_file());

    if (mode != "thread") return 2;
    if (argc > 2) ZOLTA_SetDumpDirectory(argv[2]);

    std::string worker_file;
    std::thread worker([&] {
        ZOLTA_LogU32("worker", 7);
        ZOLTA_LogText("worker", "running");
        worker_file = backing_file();
        report("worker_tid", std::to_string(plat_thread_id()));
        report("worker_file", worker_file);
        report("worker_file_while_running", exists(worker_file) ? "present" : "absent");
    });
    worker.join();
    report("worker_file_after_end", exists(worker_file) ? "present" : "absent");
    ZOLTA_LogText("main", "returning");
    std::fflush(stdout);
    return 0;
}
