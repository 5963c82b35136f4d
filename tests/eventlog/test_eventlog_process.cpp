// The event log in a process of its own (the probe program): a worker's
// backing file lives exactly as long as the worker, and the exiting main
// thread is finished like any other thread.  (A process killed outright
// leaving its backing file is tests/crash/test_kill.cpp's.)
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/eventlog/rnereader.h"
#include "support/harness.h"

namespace {

std::map<std::string, std::string> reports(const std::string& out) {
    std::map<std::string, std::string> r;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        r[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return r;
}

const std::vector<std::string> kClean = {"ZEP_ZOLTA_LOG_SIZE", "ZEP_ZOLTA_LOG_BYTES", "ZEP_ZOLTA_NO_MAP_LOGS"};

std::vector<std::string> env_with(const std::string& dump_path) {
    std::vector<std::string> env = kClean;
    env.push_back("ZEP_ZOLTA_LOG_SIZE=64K");
    env.push_back(dump_path.empty() ? "ZEP_RNE_DUMP_PATH" : "ZEP_RNE_DUMP_PATH=" + dump_path);
    return env;
}

TEST(EventLogProcess, WorkerBackingFileLivesWhileTheWorkerRuns) {
    TempDir dir;
    const Outcome r = run_program({SYMKEEP_PROBE, "log-thread"}, env_with(dir.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    auto rep = reports(r.out);
    const std::string pid = rep["pid"];
    EXPECT_EQ(rep["main_file"], dir.file(pid + "_" + rep["tid"] + "_map.rne"));
    EXPECT_EQ(rep["worker_file"], dir.file(pid + "_" + rep["worker_tid"] + "_map.rne"));
    EXPECT_EQ(rep["worker_file_while_running"], "present");
    EXPECT_EQ(rep["worker_file_after_end"], "absent");
    // The main thread's file went with the exit; no dump directory, no RNE files.
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{});
}

TEST(EventLogProcess, ThreadEndAndExitWriteRneFilesIntoTheDumpDirectory) {
    TempDir maps, dumps;
    const Outcome r = run_program({SYMKEEP_PROBE, "log-thread", dumps.path()}, env_with(maps.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    auto rep = reports(r.out);
    const std::string pid = rep["pid"];
    EXPECT_EQ(files_in(maps.path()), std::vector<std::string>{});
    const std::string worker = pid + "_" + rep["worker_tid"] + ".rne", main = pid + "_" + rep["tid"] + ".rne";
    EXPECT_EQ(files_in(dumps.path()), (std::vector<std::string>{std::min(worker, main), std::max(worker, main)}));

    RneLog w;
    ASSERT_TRUE(rne_read_file(dumps.file(worker).c_str(), &w)) << w.error;
    ASSERT_EQ(w.events.size(), 2u);
    EXPECT_EQ(w.events[0].name, "worker");
    EXPECT_EQ(w.events[0].value, 7u);
    EXPECT_EQ(w.events[1].text, "running");
    EXPECT_EQ(std::to_string(w.thread_id), rep["worker_tid"]);
    EXPECT_EQ(w.data_size, 65536u);

    RneLog m;
    ASSERT_TRUE(rne_read_file(dumps.file(main).c_str(), &m)) << m.error;
    ASSERT_EQ(m.events.size(), 2u);
    EXPECT_EQ(m.events[0].name, "main");
    EXPECT_EQ(m.events[1].text, "returning");
    EXPECT_EQ(m.start_counter, w.start_counter);
    EXPECT_EQ(m.start_time_ns, w.start_time_ns);
    // Real counters and clocks: the dump pairs convert events to times
    // between the start and the dump.
    int64_t ns = 0;
    ASSERT_TRUE(rne_counter_to_unix_ns(m, m.events[1].counter, &ns));
    EXPECT_GE(ns, static_cast<int64_t>(m.start_time_ns) - 1000000);
    EXPECT_LE(ns, static_cast<int64_t>(m.dump_time_ns) + 1000000);
}

}  // namespace
