// A process on the runtime that is killed outright (SIGKILL, or
// TerminateProcess on Windows: no handler, no exit code runs) still leaves
// its events on disk, in the mapped log file, and rnecat reads them.
#include <csignal>
#include <cstdlib>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "crash_support.h"

namespace {

#ifdef _WIN32
// Starts the probe in "block" mode, reads its reports up to "ready 1", then
// terminates it; returns what it printed.
std::string run_probe_until_killed(const std::string& dump_dir) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    EXPECT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    SetEnvironmentVariableA("ZEP_RNE_DUMP_PATH", dump_dir.c_str());
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = write_end;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    std::string command = std::string("\"") + SYMKEEP_PROBE + "\" block";
    const BOOL started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child);
    SetEnvironmentVariableA("ZEP_RNE_DUMP_PATH", nullptr);
    CloseHandle(write_end);
    EXPECT_TRUE(started);
    std::string seen;
    char buf[256];
    DWORD n = 0;
    while (started && seen.find("ready 1") == std::string::npos && ReadFile(read_end, buf, sizeof buf, &n, nullptr) &&
           n > 0)
        seen.append(buf, n);
    CloseHandle(read_end);
    if (!started) return seen;
    TerminateProcess(child.hProcess, 9);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, 9u);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return seen;
}
#else
std::string run_probe_until_killed(const std::string& dump_dir) {
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        setenv("ZEP_RNE_DUMP_PATH", dump_dir.c_str(), 1);
        putenv(const_cast<char*>(kChildAsanOptions));
        execl(SYMKEEP_PROBE, SYMKEEP_PROBE, "block", static_cast<char*>(nullptr));
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
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    return seen;
}
#endif

TEST(Kill, MappedLogSurvivesSigkill) {
    TempDir dir;
    const std::string seen = run_probe_until_killed(dir.path());
    ASSERT_NE(seen.find("ready 1"), std::string::npos) << seen;

    std::map<std::string, std::string> ids = probe_report(seen);
    std::string map_file = dir.file(ids["pid"] + "_" + ids["tid"] + "_map.rne");
    ASSERT_TRUE(file_exists(map_file)) << "files: " << ::testing::PrintToString(files_in(dir.path()));
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
    EXPECT_EQ(permissions(map_file), 0600u);
#endif

    Outcome cat = run_program({RNECAT_BIN, map_file});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_NE(cat.out.find("text(4)  probe  \"block\""), std::string::npos) << cat.out;
    EXPECT_NE(cat.out.find("before_kill  7 0x00000007"), std::string::npos) << cat.out;
}

}  // namespace
