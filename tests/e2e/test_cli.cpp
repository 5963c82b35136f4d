// The real tool's command line and environment: which files each spelling of
// the options reads and writes, the usage text, every failure's message and
// status, a full disk, hostile environment values, the view path and the
// switch file beside the executable.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "e2e/e2e.h"
#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"

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
    const std::string fatal = "symkeep: fatal: ", refused = ": it is the input file prog.elf\n";
    const std::string usage = "usage";
    struct Row {
        std::vector<std::string> args;
        std::string written;  // the one file the run writes
        std::string err;      // "usage": the usage text on standard output, status 1
    } rows[] = {
        {{"-keep", "main", "prog.elf"}, "prog.elf.sh", ""},
        {{"-o", "out.elf", "-keep", "main", "prog.elf"}, "out.elf", ""},
        {{"-o", "a", "-o", "b", "prog.elf"}, "b", ""},
        {{"prog.elf", "-o", "out.elf"}, "prog.elf.sh", ""},  // nothing after the name is read
        {{"-output", "x", "prog.elf"}, "x", ""},
        {{"-oops", "x", "prog.elf"}, "x", ""},
        {{"-keep", "-o", "prog.elf"}, "prog.elf.sh", ""},  // "-o" is a name to keep
        {{"prog.elf"}, "prog.elf.sh", ""},
        {{"-keeper", "x", "prog.elf"}, "", usage}, {{"-keep=main", "prog.elf"}, "", usage},
        {{"--keep", "main", "prog.elf"}, "", usage}, {{"-x", "prog.elf"}, "", usage},
        {{"-", "prog.elf"}, "", usage}, {{"-help"}, "", usage}, {{}, "", usage}, {{"-o"}, "", usage},
        {{"-keep", "main"}, "", usage}, {{"-keep"}, "", usage}, {{"-k", "main", "prog.elf"}, "", usage},
        {{"-o", "out.elf"}, "", usage},
        {{"-ZEPXSampleGSwitch", "prog.elf"}, "", usage},  // switch arguments are the tool's own options
        {{""}, "", fatal + "Unable to open  for input: No such file or directory\n"},
        {{"-o", "out.elf", "missing.elf"}, "", fatal + "Unable to open missing.elf for input: No such file or directory\n"},
        {{"sub"}, "", fatal + "Unable to open sub for input: Is a directory\n"},
        {{"-o", "sub", "prog.elf"}, "", fatal + "Unable to open sub for output: Is a directory\n"},
        {{"-o", "no/such/out", "prog.elf"}, "",
         fatal + "Unable to open no/such/out for output: No such file or directory\n"},
        {{"-o", "prog.elf", "prog.elf"}, "", fatal + "Refusing to write prog.elf" + refused},
        {{"-o", "./prog.elf", "prog.elf"}, "", fatal + "Refusing to write ./prog.elf" + refused},
        {{"-o", "hard.elf", "prog.elf"}, "", fatal + "Refusing to write hard.elf" + refused},
        {{"-o", "$DIR/prog.elf", "prog.elf"}, "", fatal + "Refusing to write $DIR/prog.elf" + refused},
    };
    for (Row& row : rows) {
        Workdir dir;
        for (std::string* s : {&row.err, row.args.empty() ? &row.err : &row.args[1 % row.args.size()]})
            if (s->find("$DIR/") != std::string::npos) s->replace(s->find("$DIR/"), 5, dir.file(""));
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

    // The name in the usage text is the program's base name without ".exe".
    Workdir dir;
    fs::copy_file(SYMKEEP_BIN, dir.file("Tool.EXE"));
    Outcome r = run_program({dir.file("Tool.EXE"), "-help"}, {}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage: Tool" + kUsage.substr(14));
}

// The output goes through a buffer that every positioning flushes: a full
// disk ends the run at the positioning after the first data written; a
// write that fails after the last one (the file size limit cuts the section
// header table, which ends at 0x1209) is reported when the output is
// flushed, and the run still ends with status 0.
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

}  // namespace
