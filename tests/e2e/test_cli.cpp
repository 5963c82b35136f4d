// The command line of the real binary: which files it reads and writes for
// each spelling of the options, the usage text and its status, and that a
// refused command line or a missing input creates nothing.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "support/harness.h"

namespace {

const std::string kUsage =
    "Usage: symkeep [-help] <options> filename\n"
    "\t-help\t\t\tprint this information\n"
    "\t-o <filename>\t\toutput to filename\n"
    "\t-keep <symbolname>\tkeep symbolname in the symbol table\n";

class Cli : public ::testing::Test {
protected:
    void SetUp() override { write_file(dir.file("prog.elf"), elfmaker::make_elf(elfmaker::sample_exec(64, false))); }

    Outcome run(std::vector<std::string> args) {
        args.insert(args.begin(), SYMKEEP_BIN);
        return run_program(args, {}, dir.path());
    }

    // Files in the directory besides the input.
    std::vector<std::string> created() {
        std::vector<std::string> names;
        for (const char* n : {"prog.elf.sh", "out.elf", "a", "b", "x", ".sh", "-o", "prog.elf.sh.sh"})
            if (file_exists(dir.file(n))) names.push_back(n);
        return names;
    }

    TempDir dir;
};

TEST_F(Cli, OutputNaming) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> files;
    } cases[] = {
        {{"-keep", "main", "prog.elf"}, {"prog.elf.sh"}},
        {{"-o", "out.elf", "-keep", "main", "prog.elf"}, {"out.elf"}},
        {{"-o", "a", "-o", "b", "prog.elf"}, {"b"}},
        {{"prog.elf", "-o", "out.elf"}, {"prog.elf.sh"}},  // nothing after the name is read
        {{"-output", "x", "prog.elf"}, {"x"}},
        {{"-oops", "x", "prog.elf"}, {"x"}},
        {{"-keep", "-o", "prog.elf"}, {"prog.elf.sh"}},  // "-o" is a name to keep
        {{"prog.elf"}, {"prog.elf.sh"}},                 // no -keep at all still runs
        {{"-keep", "nosuchsymbol", "-keep", "main", "-keep", "main", "prog.elf"}, {"prog.elf.sh"}},
    };
    for (const Case& c : cases) {
        Outcome r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << " " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(created(), c.files) << c.args[0];
        for (const std::string& f : c.files) std::remove(dir.file(f).c_str());
    }
}

TEST_F(Cli, UsageForEveryMistake) {
    const std::vector<std::vector<std::string>> cases = {
        {"-keeper", "x", "prog.elf"}, {"-keep=main", "prog.elf"}, {"--keep", "main", "prog.elf"},
        {"-x", "prog.elf"},           {"-", "prog.elf"},          {"-help"},
        {},                           {"-o"},                     {"-keep", "main"},
        {"-keep"},                    {"-k", "main", "prog.elf"},  {"-o", "out.elf"},
    };
    for (const auto& args : cases) {
        Outcome r = run(args);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_EQ(r.out, kUsage) << shown;
        EXPECT_EQ(r.err, "") << shown;
        EXPECT_EQ(created(), std::vector<std::string>{}) << shown;
    }
}

TEST_F(Cli, EmptyInputNameIsTakenAndFailsToOpen) {
    Outcome r = run({""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: Unable to open  for input: No such file or directory\n");
    EXPECT_EQ(created(), std::vector<std::string>{});  // not even ".sh"
}

TEST_F(Cli, MissingInputCreatesNoOutput) {
    write_file(dir.file("out.elf"), "precious");
    Outcome r = run({"-o", "out.elf", "missing.elf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: Unable to open missing.elf for input: No such file or directory\n");
    EXPECT_EQ(read_file(dir.file("out.elf")), "precious");  // not truncated
}

TEST_F(Cli, DirectoryAsInputOrOutput) {
    mkdir(dir.file("sub").c_str(), 0755);
    Outcome r = run({"sub"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: Unable to open sub for input: Is a directory\n");
    EXPECT_FALSE(file_exists(dir.file("sub.sh")));

    r = run({"-o", "sub", "prog.elf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: Unable to open sub for output: Is a directory\n");
}

TEST_F(Cli, UnwritableOutputAfterReadableInput) {
    Outcome r = run({"-o", "no/such/dir/out", "prog.elf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: Unable to open no/such/dir/out for output: No such file or directory\n");
}

// The output is written through a buffer that every positioning flushes, so
// a full disk ends the run at the positioning after the first data written.
TEST_F(Cli, FullDiskEndsAtTheNextPositioning) {
#ifdef _WIN32
    GTEST_SKIP() << "no /dev/full";
#endif
    Outcome r = run({"-keep", "main", "-o", "/dev/full", "prog.elf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: seek failed to 4120 in '/dev/full': " + std::string(std::strerror(ENOSPC)) + "\n");
}

// A write that fails after the last positioning (here the file size limit
// cuts the section header table, which ends at 0x1209) is reported when the
// output is flushed; the run still ends with status 0.
TEST_F(Cli, FailedFinalWriteIsReported) {
#ifdef _WIN32
    GTEST_SKIP() << "sets the file size limit with /bin/sh's ulimit -f";
#endif
    Outcome r = run_program(
        {"/bin/sh", "-c", std::string("trap '' XFSZ; ulimit -f 9 && exec ") + SYMKEEP_BIN + " -keep main -o out.elf prog.elf"},
        {}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "symkeep: fatal: Error writing to 'out.elf': " + std::string(std::strerror(EFBIG)) + "\n");
}

TEST_F(Cli, ProgramNameIsTheBaseName) {
    // Run under a name like a Windows executable's: the name in the usage
    // text is the base name without a final ".exe".
    std::string link = dir.file("Tool.EXE");
#ifdef _WIN32
    ASSERT_TRUE(std::filesystem::copy_file(SYMKEEP_BIN, link));  // no symbolic links without privileges
#else
    ASSERT_EQ(symlink(SYMKEEP_BIN, link.c_str()), 0);
#endif
    Outcome r = run_program({link, "-help"}, {}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Usage: Tool [-help] <options> filename");
}

}  // namespace

namespace {

TEST_F(Cli, OutputThatIsTheInputIsRefusedBeforeOpening) {
    std::string before = read_file(dir.file("prog.elf"));
    ASSERT_EQ(link(dir.file("prog.elf").c_str(), dir.file("hard.elf").c_str()), 0);
    for (const std::string& out : std::vector<std::string>{"prog.elf", "./prog.elf", dir.file("prog.elf"), "hard.elf"}) {
        Outcome r = run({"-keep", "main", "-o", out, "prog.elf"});
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(r.err, "symkeep: fatal: Refusing to write " + out + ": it is the input file prog.elf\n");
        EXPECT_EQ(read_file(dir.file("prog.elf")), before) << out;
    }
}

}  // namespace
