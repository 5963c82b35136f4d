// The switch registry in the real tool: its five compiled-in switches, the
// "ZEP_GSW_" variables and the switch file beside the executable, seen in
// the warnings on standard error and in the "GSWITCH" events of the main
// thread's log.
//
// The tool runs from a copy in a temporary directory (so that its switch
// file can sit beside it) on an input that does not exist, with a dump
// directory: it fails after start-up, and its exit writes the main thread's
// log, switch events included, into that directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "support/harness.h"

extern char** environ;

using ::testing::HasSubstr;

namespace {

struct ToolRun {
    int status = -1;
    std::string err;
    std::vector<std::string> events;  // "GSWITCH" texts, oldest first
    std::string log_error;
};

ToolRun run_tool(const TempDir& dir, const std::string* gsw, const std::vector<std::string>& vars) {
    const std::string tool = dir.file(std::string("symkeep") + PLAT_EXE_SUFFIX), dumps = dir.file("dumps");
    write_file(tool, read_file(SYMKEEP_BIN));
    chmod(tool.c_str(), 0755);
    if (gsw != nullptr) write_file(dir.file("symkeep.gsw"), *gsw);
    mkdir(dumps.c_str(), 0700);

    // Only the variables given here: none of the runner's own.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ZEP_", 4) == 0 || std::strncmp(*e, "NV", 2) == 0)
            env.emplace_back(*e, std::strcspn(*e, "="));
    env.push_back("ZEP_RNE_DUMP_PATH=" + dumps);
    env.push_back("ZEP_ZOLTA_LOG_SIZE=64K");
    env.insert(env.end(), vars.begin(), vars.end());
    Outcome r = run_program({tool, "-o", dir.file("out"), dir.file("missing.elf")}, env);

    ToolRun run;
    RneLog log;
    const std::vector<std::string> dumped = files_in(dumps);
    const std::string file = dumped.size() == 1 ? dumps + TempDir::kSeparator + dumped[0] : "";
    if (!rne_read_file(file.c_str(), &log)) run.log_error = log.error;
    for (const RneEvent& e : log.events)
        if (e.name == "GSWITCH") run.events.push_back(e.text);
    run.status = r.status;
    run.err = r.err;
    return run;
}

}  // namespace

TEST(GSwitchE2E, CompiledInDefaultsInTableOrder) {
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
    Outcome r = run_program({SYMKEEP_BIN, "-ZEPXSampleGSwitch", "in.elf"}, {"ZEP_GSW_SampleGSwitch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("Usage: "));
    EXPECT_EQ(r.err, "");
}
