// A process on the runtime that is killed outright (SIGKILL: no handler, no
// exit code runs) still leaves its events on disk, in the mapped log file,
// and rnecat reads them.
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "crash_support.h"

namespace {

TEST(Kill, MappedLogSurvivesSigkill) {
#ifdef _WIN32
    GTEST_SKIP() << "starts the probe with fork and ends it with SIGKILL, which Windows does not have";
#else
    TempDir dir;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        setenv("ZEP_RNE_DUMP_PATH", dir.path().c_str(), 1);
        putenv(const_cast<char*>(kChildAsanOptions));
        execl(CRASH_PROBE, CRASH_PROBE, "block", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string seen;
    char buf[256];
    while (seen.find("ready 1") == std::string::npos) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    ASSERT_NE(seen.find("ready 1"), std::string::npos) << seen;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    std::map<std::string, std::string> ids = probe_report(seen);
    std::string map_file = dir.file(ids["pid"] + "_" + ids["tid"] + "_map.rne");
    ASSERT_TRUE(file_exists(map_file)) << "files: " << ::testing::PrintToString(files_in(dir.path()));
    EXPECT_EQ(permissions(map_file), 0600u);

    ChildResult cat = run_program({RNECAT_BIN, map_file});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_NE(cat.out.find("text(4)  probe  \"block\""), std::string::npos) << cat.out;
    EXPECT_NE(cat.out.find("before_kill  7 0x00000007"), std::string::npos) << cat.out;
#endif
}

}  // namespace
