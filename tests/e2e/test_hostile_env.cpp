// Hostile environment values: each gives its documented behaviour and the
// same output file as a run without it, never a crash.
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "data/elfmaker.h"
#include "support/harness.h"

namespace {

class HostileEnv : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir.file("prog"), elfmaker::make_elf(elfmaker::sample_exec(64, false)));
        Outcome plain = run({});
        ASSERT_EQ(plain.status, 0) << plain.err;
        expected = read_file(dir.file("prog.sh"));
    }

    Outcome run(const std::vector<std::string>& env, const std::string& program = SYMKEEP_BIN) {
        std::remove(dir.file("prog.sh").c_str());
        return run_program({program, "-keep", "main", "prog"}, env, dir.path());
    }

    void expect_plain_result(const Outcome& r, const std::string& what) {
        EXPECT_EQ(r.status, 0) << what << ": " << r.err;
        EXPECT_EQ(read_file(dir.file("prog.sh")), expected) << what;
    }

    TempDir dir;
    std::string expected;
};

TEST_F(HostileEnv, ViewPathValues) {
    std::string many;  // 200 entries, well past the 128 nodes kept
    for (int i = 0; i < 200; ++i) many += (i ? ":" : "") + dir.file("node" + std::to_string(i));
    std::string longest = "/" + std::string(1500, 'a');  // longer than the 1024-byte path text
    for (const std::string& value : {many, longest, std::string(":::"), std::string("")}) {
        Outcome r = run({"NVPATH=" + value});
        expect_plain_result(r, "NVPATH of " + std::to_string(value.size()) + " bytes");
        EXPECT_EQ(r.err, "");
    }
    Outcome r = run({"NVPATH=" + dir.path(), "ZEP_VP_XSW=not-a-number"});
    expect_plain_result(r, "ZEP_VP_XSW");
    EXPECT_EQ(r.err, "");
}

TEST_F(HostileEnv, LogSizes) {
    // Values that are no size fall back to the default; the smallest one
    // accepted still holds every record.
    for (const char* size : {"4G", "-1", "99999999999999999999", "16663", "0", "12Q"}) {
        std::string rne = dir.file(std::string("rne_") + size);
        Outcome r = run({std::string("ZEP_ZOLTA_LOG_SIZE=") + size, "ZEP_RNE_DUMP_PATH=" + rne});
        expect_plain_result(r, size);
        EXPECT_EQ(r.err, "") << size;
    }
}

TEST_F(HostileEnv, DumpPaths) {
    write_file(dir.file("afile"), "not a directory");
    const std::vector<std::string> values = {
        dir.file("afile"),                                  // names a file: no dumps
        dir.file("missing/parent/dir"),                     // parent missing: no dumps
        "/" + std::string(5000, 'p'),                       // longer than any path
    };
    for (const std::string& value : values) {
        Outcome r = run({"ZEP_RNE_DUMP_PATH=" + value});
        expect_plain_result(r, value.substr(0, 40));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(read_file(dir.file("afile")), "not a directory");
    EXPECT_FALSE(file_exists(dir.file("missing")));
}

TEST_F(HostileEnv, UnwritableDumpDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "an unwritable directory is writable for root";
    std::string locked = dir.file("locked");
    mkdir(locked.c_str(), 0555);
    Outcome r = run({"ZEP_RNE_DUMP_PATH=" + locked});
    expect_plain_result(r, "unwritable");
}

TEST_F(HostileEnv, HugeSwitchFile) {
    // A copy of the tool, so its switch file can sit beside it.
    std::string tool = dir.file("symkeep");
    write_file(tool, read_file(SYMKEEP_BIN));
    chmod(tool.c_str(), 0755);
    std::string gsw = "SampleGSwitch on\n" + std::string(1 << 20, 'x') + "\n";
    while (gsw.size() < (10u << 20)) gsw += "# filler to make the file ten megabytes long ........\n";
    write_file(dir.file("symkeep.gsw"), gsw);

    Outcome r = run({}, tool);
    expect_plain_result(r, "switch file");
    // One warning per bad line, each printed whole, however long.
    EXPECT_EQ(r.err,
              "symkeep: warning: Invalid switch value format on line 1 for switch SampleGSwitch\n"
              "symkeep: warning: Invalid switch format on line 2: " +
                  std::string(1 << 20, 'x') + "\n");
}

}  // namespace
