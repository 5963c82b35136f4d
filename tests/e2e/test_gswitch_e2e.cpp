// The switch registry in the real tool: its five compiled-in switches, the
// "ZEP_GSW_" variables and the switch file beside the executable, seen in
// the warnings on standard error and in the "GSWITCH" events of the main
// thread's log.
//
// The tool runs from a copy in a temporary directory (so that its switch
// file can sit beside it) with a FIFO as its input.  Its event log lives in
// a mapped file of the dump directory; once the tool has opened the FIFO,
// start-up is over and every switch event is in that file, which the test
// reads before letting the tool go on (it then fails on the empty input).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "shared/eventlog/rnereader.h"
#include "support/child.h"
#include "support/tempdir.h"

extern char** environ;

using ::testing::HasSubstr;

namespace {

struct ToolRun {
    int status = -1;
    std::string err;
    std::vector<std::string> events;  // "GSWITCH" texts, oldest first
    std::string log_error;
};

std::string only_file_in(const std::string& dir) {
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') found = dir + "/" + e->d_name;
        closedir(d);
    }
    return found;
}

#ifdef _WIN32
#define SKIP_WITHOUT_FIFOS() \
    GTEST_SKIP() << "reads the tool's live file-backed log while the tool waits on a FIFO: Windows has no FIFOs"
#else
#define SKIP_WITHOUT_FIFOS()
#endif

ToolRun run_tool(const TempDir& dir, const std::string* gsw, const std::vector<std::string>& vars) {
    const std::string tool = dir.file("symkeep"), fifo = dir.file("in"), maps = dir.file("maps");
    write_file(tool, read_file(SYMKEEP_BIN));
    chmod(tool.c_str(), 0755);
    if (gsw != nullptr) write_file(dir.file("symkeep.gsw"), *gsw);
    mkfifo(fifo.c_str(), 0600);
    mkdir(maps.c_str(), 0700);

    ToolRun run;
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<std::string> inherited;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "ZEP_", 4) == 0 || std::strncmp(*e, "NV", 2) == 0)
                inherited.emplace_back(*e, std::strcspn(*e, "="));
        for (const std::string& name : inherited) unsetenv(name.c_str());
        setenv("ZEP_RNE_DUMP_PATH", maps.c_str(), 1);
        setenv("ZEP_ZOLTA_LOG_SIZE", "64K", 1);
        for (const std::string& v : vars) {
            const size_t eq = v.find('=');
            setenv(v.substr(0, eq).c_str(), v.substr(eq + 1).c_str(), 1);
        }
        freopen("/dev/null", "w", stdout);
        freopen(dir.file("err").c_str(), "w", stderr);
        execl(tool.c_str(), tool.c_str(), "-o", dir.file("out").c_str(), fifo.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the tool opens its input (or ends without doing so).
    int st = 0, writer = -1;
    bool ended = false;
    while (!ended && (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
        ended = waitpid(pid, &st, WNOHANG) == pid;
        if (!ended) usleep(1000);
    }
    if (writer >= 0) {
        RneLog log;
        if (!rne_read_file(only_file_in(maps).c_str(), &log)) run.log_error = log.error;
        for (const RneEvent& e : log.events)
            if (e.name == "GSWITCH") run.events.push_back(e.text);
        close(writer);
        waitpid(pid, &st, 0);
    }
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    run.err = read_file(dir.file("err"));
    return run;
}

}  // namespace

TEST(GSwitchE2E, CompiledInDefaultsInTableOrder) {
    SKIP_WITHOUT_FIFOS();
    TempDir dir;
    ToolRun r = run_tool(dir, nullptr, {});
    EXPECT_EQ(r.log_error, "");
    EXPECT_EQ(r.events, (std::vector<std::string>{
                            "SupportHexFloatFormat on: Compiled In",
                            "MakeArgvEscapedOnlyInQuotes on: Compiled In",
                            "ZoltaLogArgsOnStartup on: Compiled In",
                            "HostProcessorsEnvVariable on: Compiled In",
                            "SampleGSwitch off: Compiled In",
                        }));
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("warning")));
}

TEST(GSwitchE2E, EnvironmentAndSwitchFile) {
    SKIP_WITHOUT_FIFOS();
    TempDir dir;
    const std::string gsw =
        "# switch file\n"
        "samplegswitch 0\n"                  // the file overrides the variable
        "  SupportHexFloatFormat\t0\n"
        "HostProcessorsEnvVariable 1\n"      // already on: no event
        "MakeArgvEscapedOnlyInQuotes 0\r\n"
        "MakeArgvEscapedOnlyInQuotes 1\r\n"  // last line of a name wins
        "Bogus 1\n"
        "SampleGSwitch\n"
        "SampleGSwitch x\n"
        "SampleGSwitch 2\n"
        "SampleGSwitch +1\n"
        "SampleGSwitch 1 # comment\n";
    ToolRun r = run_tool(dir, &gsw, {"ZEP_GSW_SampleGSwitch=1", "ZEP_GSW_ZoltaLogArgsOnStartup=true"});
    EXPECT_EQ(r.log_error, "");
    EXPECT_EQ(r.events, (std::vector<std::string>{
                            "SupportHexFloatFormat on: Compiled In",
                            "SupportHexFloatFormat off: GSW File",
                            "MakeArgvEscapedOnlyInQuotes on: Compiled In",
                            "MakeArgvEscapedOnlyInQuotes off: GSW File",
                            "MakeArgvEscapedOnlyInQuotes on: GSW File",
                            "ZoltaLogArgsOnStartup on: Compiled In",
                            "HostProcessorsEnvVariable on: Compiled In",
                            "SampleGSwitch off: Compiled In",
                            "SampleGSwitch on: Environment Variable",
                            "SampleGSwitch off: GSW File",
                        }));
    EXPECT_EQ(r.status, 1);
    // Bad lines are reported while the file is read, unknown names after
    // every switch is registered; then the tool goes on with its own work.
    const std::string warnings =
        "symkeep: warning: Invalid switch format on line 8: SampleGSwitch\n"
        "symkeep: warning: Invalid switch value format on line 9 for switch SampleGSwitch\n"
        "symkeep: warning: Invalid switch value 2 on line 10 for switch SampleGSwitch\n"
        "symkeep: warning: Trailing garbage after switch on line 11 for switch SampleGSwitch\n"
        "symkeep: warning: Trailing garbage after switch on line 12 for switch SampleGSwitch\n"
        "symkeep: warning: Unknown switch specified in .gsw file: Bogus\n";
    EXPECT_EQ(r.err.substr(0, warnings.size()), warnings);
    EXPECT_THAT(r.err.substr(warnings.size()), ::testing::Not(HasSubstr("warning")));
}

// Start-up hands the registry only the program path: switch arguments are
// the tool's own (unknown) options.
TEST(GSwitchE2E, ArgumentsNeverReachTheRegistry) {
    SKIP_WITHOUT_FIFOS();
    ChildResult r = run_program({SYMKEEP_BIN, "-ZEPXSampleGSwitch", "in.elf"}, {"ZEP_GSW_SampleGSwitch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("Usage: "));
    EXPECT_EQ(r.err, "");
}
