// Checked file I/O: every wording, every status, and that nothing is opened
// or created when it should not be.
#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "shared/geninit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "support/child.h"
#include "support/harness.h"

namespace {

void init_as_symkeep() { gen_init("/opt/tools/symkeep", 0, 0); }
std::string errtext(int e) { return std::strerror(e); }

TEST(CheckedOpen, FailureWordings) {
    TempDir dir;
    std::string missing = dir.file("missing");
    struct Case {
        const char* description;
        const char* mode;
        std::string expected;
    } cases[] = {
        {nullptr, "r", "symkeep: fatal: Unable to open " + missing + " for input: " + errtext(ENOENT) + "\n"},
        {nullptr, "rb", "symkeep: fatal: Unable to open " + missing + " for input: " + errtext(ENOENT) + "\n"},
        {"switch file", "r",
         "symkeep: fatal: Unable to open switch file '" + missing + "' for input: " + errtext(ENOENT) + "\n"},
    };
    for (const Case& c : cases) {
        Outcome r = run_in_child([&] {
            init_as_symkeep();
            gen_safe_fopen(missing.c_str(), c.description, c.mode);
        });
        EXPECT_EQ(r.status, 1) << c.mode;
        EXPECT_EQ(r.err, c.expected);
    }
    // An output in a directory that does not exist.
    std::string nested = dir.file("no/such/out");
    Outcome r = run_in_child([&] {
        init_as_symkeep();
        gen_safe_fopen(nested.c_str(), nullptr, "w+b");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "symkeep: fatal: Unable to open " + nested + " for output: " + errtext(ENOENT) + "\n");
}

TEST(CheckedOpen, DirectoryIsRefusedWithoutOpening) {
    TempDir dir;
    for (const char* mode : {"r", "w+b", "a"}) {
        Outcome r = run_in_child([&] {
            init_as_symkeep();
            gen_safe_fopen(dir.path().c_str(), nullptr, mode);
        });
        std::string role = mode[0] == 'r' ? "input" : "output";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "symkeep: fatal: Unable to open " + dir.path() + " for " + role + ": " + errtext(21) + "\n");
    }
}

TEST(CheckedOpen, AppendPositionsAtTheEnd) {
    TempDir dir;
    std::string f = dir.file("f");
    write_file(f, "12345");
    FILE* a = gen_safe_fopen(f.c_str(), nullptr, "a+");
    EXPECT_EQ(std::ftell(a), 5);
    std::fclose(a);
    FILE* w = gen_safe_fopen(f.c_str(), nullptr, "r+b");
    EXPECT_EQ(std::ftell(w), 0);
    std::fclose(w);
}

TEST(CheckedOpen, HandleIsNotInherited) {
    TempDir dir;
    std::string f = dir.file("f");
    write_file(f, "x");
    FILE* fp = gen_safe_fopen(f.c_str(), nullptr, "r");
    int flags = fcntl(fileno(fp), F_GETFD);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    std::fclose(fp);
}

TEST(CheckedClose, Wordings) {
    Outcome r = run_in_child([] {
        init_as_symkeep();
        int a = gen_safe_fclose(nullptr, nullptr, nullptr);
        int b = gen_safe_fclose("out.sh", "output", nullptr);
        std::printf("%d %d", a, b);
    });
    EXPECT_EQ(r.out, "-1 -1");
    EXPECT_EQ(r.err,
              "symkeep: error: Attempt to close NULL file (null)\n"
              "symkeep: error: Attempt to close NULL file output 'out.sh'\n");

    // A failing close on a full device is reported as fatal and returned.
    if (access("/dev/full", W_OK) == 0) {
        r = run_in_child([] {
            init_as_symkeep();
            FILE* fp = std::fopen("/dev/full", "w");
            std::fputs("data", fp);
            std::printf("%d", gen_safe_fclose("/dev/full", nullptr, fp) != 0);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "1");
        EXPECT_EQ(r.err, "symkeep: fatal: Error closing /dev/full: " + errtext(ENOSPC) + "\n");
    }
}

TEST(CheckedSeek, NegativePositionsEndTheProgram) {
    TempDir dir;
    std::string f = dir.file("f");
    write_file(f, "abc");
    struct Case {
        bool wide;
        const char* name;
        std::string expected;
    } cases[] = {
        {false, "f", "symkeep: fatal: seek failed to -5 in 'f': " + errtext(EINVAL) + "\n"},
        {false, nullptr, "symkeep: fatal: seek failed to -5 in file: " + errtext(EINVAL) + "\n"},
        {true, "f", "symkeep: fatal: seek failed to 0xfffffffffffffffb in 'f': " + errtext(EINVAL) + "\n"},
        {true, nullptr, "symkeep: fatal: seek failed to 0xfffffffffffffffb in file: " + errtext(EINVAL) + "\n"},
    };
    for (const Case& c : cases) {
        Outcome r = run_in_child([&] {
            init_as_symkeep();
            FILE* fp = std::fopen(f.c_str(), "r");
            if (c.wide)
                gen_safe_fseek64(c.name, fp, -5, SEEK_SET);
            else
                gen_safe_fseek(c.name, fp, -5, SEEK_SET);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.expected);
    }
    FILE* fp = std::fopen(f.c_str(), "r");
    EXPECT_EQ(gen_safe_fseek64("f", fp, 2, SEEK_SET), 0);
    EXPECT_EQ(std::fgetc(fp), 'c');
    std::fclose(fp);
}

TEST(DescriptorIo, CountBeyond32BitsIsReportedThenCut) {
    Outcome r = run_in_child([] {
        init_as_symkeep();
        // The low 32 bits of 2^32 are 0: nothing is written.
        int64_t n = gen_write(1, "zzz", 0x100000000ull);
        char buf[4];
        int64_t m = gen_read(0, buf, 0x100000000ull);
        std::printf("[%lld %lld]", static_cast<long long>(n), static_cast<long long>(m));
    });
    EXPECT_EQ(r.out, "[0 0]");
    EXPECT_EQ(r.err,
              "symkeep: error: gen_write(): count exceeds unsigned 32-bit range\n"
              "symkeep: error: gen_read(): count exceeds unsigned 32-bit range\n");
}

TEST(DirectoryTest, Answers) {
    TempDir dir;
    std::string f = dir.file("plain");
    write_file(f, "x");
    EXPECT_EQ(gen_isdir(nullptr), -1);
    EXPECT_EQ(gen_isdir(""), -1);
    EXPECT_EQ(gen_isdir(dir.path().c_str()), 1);
    EXPECT_EQ(gen_isdir((dir.path() + "/").c_str()), 1);  // one trailing separator dropped
    EXPECT_EQ(gen_isdir(f.c_str()), 0);
    EXPECT_EQ(gen_isdir(dir.file("absent").c_str()), 0);
    EXPECT_EQ(gen_isdir("/"), 1);  // length 1: tested unchanged
}

TEST(DirectoryTest, NormalisedForms) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"C:", "C:\\"}, {"C:\\", "C:\\"}, {"c:/", "c:/"}, {"dir/", "dir"}, {"dir\\", "dir"}, {"/", "/"},
        {"\\\\server\\share", "\\\\server\\share\\"}, {"\\\\server\\share\\", "\\\\server\\share\\"},
        {"//srv/share/sub/", "//srv/share/sub"}, {"a", "a"},
    };
    for (const Case& c : cases) {
        char* n = gen_normalise_dirpath(c.in);
        EXPECT_STREQ(n, c.out) << c.in;
        FreeHook(n);
    }
}

}  // namespace
