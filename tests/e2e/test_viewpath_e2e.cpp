// The real tool over layered temporary trees: that its input is looked up
// through NVPATH, that its output is copied up in SLOW mode, and the
// start-up trace with the program name in front of every message.  The
// lookup rules themselves (^ names, NVSRPATH, ZEP_VP_*, the node limit,
// over-long values) are the unit tests' and the hostile-environment tests'.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "data/elfmaker.h"
#include "support/harness.h"

using ::testing::HasSubstr;

namespace {

// What the tool writes between view-path entries.
#ifdef _WIN32
const char kListSep = ';';
#else
const char kListSep = ':';
#endif

std::string find_cc() {
    for (const char* cc : {"/usr/bin/cc", "/usr/bin/gcc", "/usr/bin/clang"})
        if (access(cc, X_OK) == 0) return cc;
    return "";
}

class ViewPathE2E : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(realpath(tmp_.path().c_str(), buf), nullptr);
        root_ = buf;
        top_ = under(root_, "top");
        base_ = under(root_, "base");
        mkdir(top_.c_str(), 0755);
        mkdir(base_.c_str(), 0755);
#ifdef _WIN32
        // No compiler here makes ELF executables; a synthetic one has a main too.
        prog_ = elfmaker::make_elf(elfmaker::sample_exec(64, false));
        return;
#endif
        std::string cc = find_cc();
        if (cc.empty()) GTEST_SKIP() << "no C compiler to build an input executable";
        write_file(under(root_, "x.c"), "int main(void) { return 0; }\n");
        Outcome r = run_program({cc, "-no-pie", "-o", under(root_, "prog"), under(root_, "x.c")});
        if (r.status != 0) GTEST_SKIP() << "cannot build a -no-pie executable: " << r.err;
        prog_ = read_file(under(root_, "prog"));
    }

    // Runs "symkeep -keep main -o OUT IN" in `cwd` with a clean view-path
    // environment plus `env`.
    Outcome run(const std::string& cwd, std::vector<std::string> env, const std::string& in = "prog",
                    const std::string& out = "out.sh") {
        std::vector<std::string> full = {"NVPATH", "NVSRPATH", "ZEP_VP_DEBUG", "ZEP_VP_OFF", "ZEP_VP_SLOW",
                                         "ZEP_VP_XSW",
                                         // Everything the tool allocates lives until exit by design.
                                         "ASAN_OPTIONS=detect_leaks=0"};
        full.insert(full.end(), env.begin(), env.end());
        return run_program({SYMKEEP_BIN, "-keep", "main", "-o", out, in}, full, cwd);
    }

    std::string nvpath() const { return "NVPATH=" + top_ + kListSep + base_; }

    TempDir tmp_;
    std::string root_, top_, base_, prog_;
};

}  // namespace

TEST_F(ViewPathE2E, InputIsFoundInALowerNodeAndTraced) {
    write_file(under(base_, "prog"), prog_);
    Outcome r = run(top_, {nvpath(), "ZEP_VP_DEBUG=1"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("symkeep: info: Viewpathing support is ON (SLOW).\n"));
    EXPECT_THAT(r.err, HasSubstr("symkeep: info: Adding viewpath node 1: " + top_ + "\n"));
    EXPECT_THAT(r.err, HasSubstr("symkeep: info: Adding viewpath node 2: " + base_ + "\n"));
    EXPECT_THAT(r.err, HasSubstr("symkeep: info: Located file: " + under(base_, "prog") + "\n"));
    EXPECT_TRUE(file_exists(under(top_, "out.sh")));
    EXPECT_FALSE(file_exists(under(top_, "prog")));  // reading never copies up
    EXPECT_FALSE(file_exists(under(base_, "out.sh")));

    // Without ZEP_VP_DEBUG the same run is silent.
    unlink((under(top_, "out.sh")).c_str());
    r = run(top_, {nvpath()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(file_exists(under(top_, "out.sh")));
}

// The tool always asks for SLOW mode (see the trace above), so its "w+b"
// output copies up; the FAST-mode rule for write-only opens is the unit
// tests'.
TEST_F(ViewPathE2E, OutputIsCopiedUpThenTruncated) {
    write_file(under(top_, "prog"), prog_);
    std::string stale(200000, 'z');
    write_file(under(base_, "out.sh"), stale);
    Outcome r = run(top_, {nvpath(), "ZEP_VP_DEBUG=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("symkeep: info: Copied file to out.sh\n"));
    std::string out = read_file(under(top_, "out.sh"));
    EXPECT_LT(out.size(), stale.size());
    EXPECT_EQ(out.find("zzzz"), std::string::npos);
    EXPECT_EQ(out.compare(0, 4, "\x7f" "ELF"), 0);
    EXPECT_EQ(read_file(under(base_, "out.sh")), stale);  // the lower node is never written
}
