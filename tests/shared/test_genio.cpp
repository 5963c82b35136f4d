// Checked file I/O: the wording and status of each refusal, where opens
// leave the position, and the directory test with its normalised forms.
// (Failing system calls are injected in test_faults.)
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <fcntl.h>

#include <gtest/gtest.h>

#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/gensys.h"
#include "support/harness.h"

namespace {

TEST(CheckedIo, WhatEachRefusalPrintsAndItsStatus) {
    TempDir dir;
    const std::string file = dir.file("f"), missing = dir.file("missing"), nested = dir.file("no/such/out");
    write_file(file, "abc");
    auto open = [](const std::string& name, const char* description, const char* mode) {
        return [=] { gen_safe_fopen(name.c_str(), description, mode); };
    };
    auto seek = [&](bool wide, const char* name) {
        return [&, wide, name] {
            FILE* fp = std::fopen(file.c_str(), "r");
            std::printf("%d", wide ? gen_safe_fseek64(name, fp, 2, SEEK_SET) : gen_safe_fseek(name, fp, 2, SEEK_SET));
            std::printf("%c", std::fgetc(fp));
            wide ? gen_safe_fseek64(name, fp, -5, SEEK_SET) : gen_safe_fseek(name, fp, -5, SEEK_SET);
        };
    };
    const std::string fatal = "symkeep: fatal: ", unable = fatal + "Unable to open ", absent = std::strerror(ENOENT),
                      isdir = std::strerror(EISDIR), invalid = std::strerror(EINVAL);
    struct Row {
        const char* name;
        std::function<void()> body;
        int status;
        std::string err, out = "";
    };
    const Row rows[] = {
        {"missing input", open(missing, nullptr, "rb"), 1, unable + missing + " for input: " + absent + "\n"},
        {"missing described input", open(missing, "switch file", "r"), 1,
         unable + "switch file '" + missing + "' for input: " + absent + "\n"},
        {"output in a missing directory", open(nested, nullptr, "w+b"), 1,
         unable + nested + " for output: " + absent + "\n"},
        {"a directory for input", open(dir.path(), nullptr, "r"), 1,
         unable + dir.path() + " for input: " + isdir + "\n"},
        {"a directory for output", open(dir.path(), nullptr, "w+b"), 1,
         unable + dir.path() + " for output: " + isdir + "\n"},
        {"a directory to append to", open(dir.path(), nullptr, "a"), 1,
         unable + dir.path() + " for output: " + isdir + "\n"},
        {"closing no file",
         [] {
             const int nameless = gen_safe_fclose(nullptr, nullptr, nullptr);
             std::printf("%d %d", nameless, gen_safe_fclose("o", "output", nullptr));
         },
         -1, "symkeep: error: Attempt to close NULL file (null)\nsymkeep: error: Attempt to close NULL file output 'o'\n",
         "-1 -1"},
        {"seek before the start", seek(false, "f"), 1, fatal + "seek failed to -5 in 'f': " + invalid + "\n", "0c"},
        {"seek before the start, no name", seek(false, nullptr), 1,
         fatal + "seek failed to -5 in file: " + invalid + "\n", "0c"},
        {"64-bit seek before the start", seek(true, "f"), 1,
         fatal + "seek failed to 0xfffffffffffffffb in 'f': " + invalid + "\n", "0c"},
        {"64-bit seek, no name", seek(true, nullptr), 1,
         fatal + "seek failed to 0xfffffffffffffffb in file: " + invalid + "\n", "0c"},
    };
    for (const Row& row : rows) {
        const Outcome r = trap([&] {
            gen_setprogpath("/opt/tools/symkeep");
            row.body();
        });
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_EQ(r.err, row.err) << row.name;
        EXPECT_EQ(r.out, row.out) << row.name;
    }
    EXPECT_FALSE(file_exists(nested));
    // Appends start at the end; opens are not inherited by programs started later.
    FILE* fp = gen_safe_fopen(file.c_str(), nullptr, "a+");
    EXPECT_EQ(std::ftell(fp), 3);
    EXPECT_TRUE(fcntl(fileno(fp), F_GETFD) & FD_CLOEXEC);
    std::fclose(fp);
    fp = gen_safe_fopen(file.c_str(), nullptr, "r+b");
    EXPECT_EQ(std::ftell(fp), 0);
    std::fclose(fp);
}

TEST(CheckedIo, DirectoryTestAndNormalisedForms) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    const struct {
        std::string path;
        int is_dir;
    } answers[] = {{"", -1}, {dir.path(), 1}, {dir.path() + "/", 1}, {dir.file("plain"), 0}, {dir.file("absent"), 0},
                   {"/", 1}};
    for (const auto& a : answers) EXPECT_EQ(gen_isdir(a.path.c_str()), a.is_dir) << a.path;
    EXPECT_EQ(gen_isdir(nullptr), -1);
    const char* forms[][2] = {{"C:", "C:\\"}, {"C:\\", "C:\\"}, {"c:/", "c:/"}, {"dir/", "dir"}, {"dir\\", "dir"},
                              {"/", "/"}, {"\\\\server\\share", "\\\\server\\share\\"},
                              {"\\\\server\\share\\", "\\\\server\\share\\"},
                              {"//srv/share/sub/", "//srv/share/sub"}, {"a", "a"}};
    for (const auto& f : forms) {
        char* n = gen_normalise_dirpath(f[0]);
        EXPECT_STREQ(n, f[1]) << f[0];
        FreeHook(n);
    }
}

}  // namespace
