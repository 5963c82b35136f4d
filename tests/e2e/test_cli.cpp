// The real tool's command line (files read and written, usage, every failure's message and status, a full
// disk) and environment (hostile values, the view path, the switch variables and file beside the tool).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "e2e/e2e.h"
#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "Usage: symkeep [-help] <options> filename\n"
    "\t-help\t\t\tprint this information\n"
    "\t-o <filename>\t\toutput to filename\n"
    "\t-keep <symbolname>\tkeep symbolname in the symbol table\n";

const std::string kProg = em::make_elf(em::sample_exec(64, false));

// A directory with prog.elf, hard.elf (the same file), out.elf and sub/.
struct Workdir : TempDir {
    Workdir() {
        write_file(file("prog.elf"), kProg);
        write_file(file("out.elf"), "precious");
        fs::create_hard_link(file("prog.elf"), file("hard.elf"));
        fs::create_directory(file("sub"));
    }
};

TEST(Cli, CommandLine) {
    const std::string fatal = "symkeep: fatal: ", open = fatal + "Unable to open ", usage = "usage";
    const std::string refused = ": it is the input file prog.elf\n";
    struct Row {
        std::vector<std::string> args;
        std::string written, err;  // the one file the run writes; "usage": the usage text on stdout, status 1
    } rows[] = {
        {{"-keep", "main", "prog.elf"}, "prog.elf.sh", ""}, {{"prog.elf"}, "prog.elf.sh", ""},
        {{"-o", "out.elf", "-keep", "main", "prog.elf"}, "out.elf", ""}, {{"-o", "a", "-o", "b", "prog.elf"}, "b", ""},
        {{"prog.elf", "-o", "out.elf"}, "prog.elf.sh", ""},  // nothing after the name is read
        {{"-oops", "x", "prog.elf"}, "x", ""}, {{"-keep", "-o", "prog.elf"}, "prog.elf.sh", ""},  // "-o": kept
        {{"-keeper", "x", "prog.elf"}, "", usage}, {{"-x", "prog.elf"}, "", usage}, {{"-help"}, "", usage},
        {{}, "", usage}, {{"-o"}, "", usage}, {{"-keep"}, "", usage},
        {{"-ZEPXSampleGSwitch", "prog.elf"}, "", usage},  // not a switch
        {{"-o", "out.elf", "missing.elf"}, "", open + "missing.elf for input: No such file or directory\n"},
        {{"sub"}, "", open + "sub for input: Is a directory\n"},
        {{"-o", "sub", "prog.elf"}, "", open + "sub for output: Is a directory\n"},
        {{"-o", "prog.elf", "prog.elf"}, "", fatal + "Refusing to write prog.elf" + refused},
        {{"-o", "hard.elf", "prog.elf"}, "", fatal + "Refusing to write hard.elf" + refused},
    };
    for (const Row& row : rows) {
        Workdir dir;
        const std::string shown = ::testing::PrintToString(row.args);
        ToolRun run = symkeep(dir, row.args, row.written.empty() ? "out.elf" : row.written);
        EXPECT_EQ(run.r.status, row.written.empty() ? 1 : 0) << shown;
        EXPECT_EQ(run.r.out, row.err == usage ? kUsage : "") << shown;
        EXPECT_EQ(run.r.err, row.err == usage ? "" : row.err) << shown;
        std::vector<std::string> files = {"hard.elf", "out.elf", "prog.elf", "sub"};
        if (!row.written.empty() && row.written != "out.elf") files.push_back(row.written);
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files_in(dir.path()), files) << shown;
        EXPECT_EQ(read_file(dir.file("prog.elf")), kProg) << shown;
        if (row.written.empty()) EXPECT_EQ(read_file(dir.file("out.elf")), "precious") << shown;
        else EXPECT_EQ(run.output.substr(0, 4), "\x7f" "ELF") << shown;
    }
}

// Every positioning flushes the output: a full disk ends the run at the one after the first data; a write
// failing after the last one (the size limit cuts the section headers, which end at 0x1209) is reported
// at the final flush, and the run still ends with status 0.
TEST(Cli, WriteFailures) {
#ifdef _WIN32
    GTEST_SKIP() << "needs /dev/full and /bin/sh's ulimit -f";
#endif
    Workdir dir;
    Outcome r = run_program({SYMKEEP_BIN, "-keep", "main", "-o", "/dev/full", "prog.elf"}, {}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: seek failed to 4120 in '/dev/full': " + std::string(std::strerror(ENOSPC)) + "\n");
    r = run_program({"/bin/sh", "-c", std::string("trap '' XFSZ; ulimit -f 9 && exec ") + SYMKEEP_BIN +
                                          " -keep main -o out.elf prog.elf"}, {}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "symkeep: fatal: Error writing to 'out.elf': " + std::string(std::strerror(EFBIG)) + "\n");
}

const std::string kListSep = TempDir::kSeparator == '/' ? ":" : ";";

// The runtime's own variables removed, then `vars`.
std::vector<std::string> only(std::vector<std::string> vars) {
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "ZEP_", 4) == 0 || std::strncmp(*e, "NV", 2) == 0) vars.emplace(vars.begin(), *e, std::strcspn(*e, "="));
    return vars;
}

TEST(Env, HostileValuesChangeNothing) {
    TempDir dir;
    write_file(dir.file("prog"), em::make_elf(em::sample_exec(64, false)));
    write_file(dir.file("afile"), "not a directory");
    std::string many;  // 200 entries, well past the 128 nodes kept
    for (int i = 0; i < 200; ++i) many += (i ? kListSep : "") + dir.file("node" + std::to_string(i));
    const std::string plain = symkeep(dir, {"-keep", "main", "prog"}, "prog.sh", only({})).output;
    const std::vector<std::vector<std::string>> rows = {
        {"NVPATH=" + many}, {"NVPATH=/" + std::string(1500, 'a')},  // longer than the 1024-byte path text
        {"ZEP_RNE_DUMP_PATH=" + dir.file("afile")},
        {"ZEP_ZOLTA_LOG_SIZE=16663", "ZEP_RNE_DUMP_PATH=" + dir.path()}};  // the smallest that holds every record
    for (const auto& env : rows) {
        fs::remove(dir.file("prog.sh"));
        ToolRun run = symkeep(dir, {"-keep", "main", "prog"}, "prog.sh", only(env));
        EXPECT_EQ(run.r.status, 0) << env[0].substr(0, 40);
        EXPECT_EQ(run.r.err, "") << env[0].substr(0, 40);
        EXPECT_TRUE(run.output == plain && !plain.empty()) << env[0].substr(0, 40);
    }
    EXPECT_EQ(read_file(dir.file("afile")), "not a directory");
}

// The input is found in the lower tree and read there; an old output there is
// copied up (the tool asks for SLOW mode) and truncated, never written below.
TEST(Env, ViewPath) {
    TempDir tmp;
    const std::string root = fs::canonical(tmp.path()).string(), top = under(root, "top"), base = under(root, "base");
    const std::string stale(200000, 'z'), info = "symkeep: info: ";
    const std::string nodes = info + "Viewpathing support is ON (SLOW).\n" + info + "Adding viewpath node 1: " + top +
                              "\n" + info + "Adding viewpath node 2: " + base + "\n";
    for (bool copy_up : {false, true}) {
        fs::remove_all(top), fs::remove_all(base), fs::create_directory(top), fs::create_directory(base);
        write_file(under(copy_up ? top : base, "prog"), em::make_elf(em::sample_exec(64, false)));
        if (copy_up) write_file(under(base, "out.sh"), stale);
        Outcome r = run_program({SYMKEEP_BIN, "-keep", "main", "-o", "out.sh", "prog"},
                                only({"NVPATH=" + top + kListSep + base, "ZEP_VP_DEBUG=1"}), top);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, nodes + info + "Located file: " + under(base, copy_up ? "out.sh" : "prog") + "\n" +
                             (copy_up ? info + "Copied file to out.sh\n" : ""));
        EXPECT_EQ(files_in(top).size(), copy_up ? 2u : 1u);  // reading never copies up
        EXPECT_EQ(read_file(under(top, "out.sh")).substr(0, 4), "\x7f" "ELF");
        EXPECT_EQ(read_file(under(base, "out.sh")), copy_up ? stale : "");
    }
}

TEST(Env, Switches) {
    const std::string w = "symkeep: warning: ", on = " on: Compiled In|", hex = "SupportHexFloatFormat" + on;
    const std::string rest = "MakeArgvEscapedOnlyInQuotes" + on + "ZoltaLogArgsOnStartup" + on + "HostProcessorsEnvVariable" +
                             on + "SampleGSwitch off: Compiled In|";
    struct Row {
        const char* name;
        std::string gsw;  // the switch file, none when empty
        std::vector<std::string> vars;
        std::string events, warnings;  // events: each switch's sources in turn, in table order
    } rows[] = {
        {"compiled-in defaults", "", {}, hex + rest, ""},
        {"environment and switch file: the file wins", "  SupportHexFloatFormat\t0\nsamplegswitch 0\n",
         {"ZEP_GSW_SampleGSwitch=1"}, hex + "SupportHexFloatFormat off: GSW File|" + rest +
         "SampleGSwitch on: Environment Variable|SampleGSwitch off: GSW File|", ""},
        {"ten megabytes, each bad line printed whole",
         "SampleGSwitch on\n" + std::string(1 << 20, 'x') + "\n" + std::string(9 << 20, '#') + "\n", {}, hex + rest,
         w + "Invalid switch value format on line 1 for switch SampleGSwitch\n" + w + "Invalid switch format on line 2: " +
             std::string(1 << 20, 'x') + "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A copy of the tool, so that its switch file can sit beside it.
        TempDir dir;
        const std::string tool = dir.file(std::string("symkeep") + PLAT_EXE_SUFFIX), dumps = dir.file("dumps");
        fs::copy_file(SYMKEEP_BIN, tool);
        if (!row.gsw.empty()) write_file(dir.file("symkeep.gsw"), row.gsw);
        fs::create_directory(dumps);
        std::vector<std::string> env = {"ZEP_RNE_DUMP_PATH=" + dumps, "ZEP_ZOLTA_LOG_SIZE=64K"};
        env.insert(env.end(), row.vars.begin(), row.vars.end());
        // A missing input: the run fails after start-up and writes its log.
        Outcome r = run_program({tool, "-o", dir.file("out"), dir.file("missing.elf")}, only(env));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, row.warnings + "symkeep: fatal: Unable to open " + dir.file("missing.elf") +
                             " for input: No such file or directory\n");
        RneLog log;
        ASSERT_EQ(files_in(dumps).size(), 1u);
        ASSERT_TRUE(rne_read_file(under(dumps, files_in(dumps)[0]).c_str(), &log)) << log.error;
        std::string events;
        for (const RneEvent& e : log.events)
            if (e.name == "GSWITCH") events += e.text + "|";
        EXPECT_EQ(events, row.events);
    }
}

}  // namespace
