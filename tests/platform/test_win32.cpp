// The Windows backend against the real system (under wine in the cross
// build), for what only exists there: drive letters and '\' in paths, the
// ".exe" program name, the thread-local-storage release of a thread's log
// and the PE section walk.  (The fiber-local release and the unhandled
// exception filter are the probe's, in eventlog/ and crash/.)  Elsewhere the
// file holds one skipped test, so the executable exists on every platform.
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>

#include <map>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/gensys.h"
#include "shared/gswitch/gen_switch.h"
#include "support/harness.h"

GSWITCH_TABLE GSwitch platform_test_switches[] = {
    gswitch_record("PlatformTestFirst", 1, __FILE__, __LINE__),
    gswitch_record("PlatformTestSecond", 0, __FILE__, __LINE__),
};

namespace {

std::string own(char* s) {
    std::string out = s != nullptr ? s : "<none>";
    FreeHook(s);
    return out;
}

TEST(Win32Paths, DrivesAndBackslashes) {
    const struct { const char* in; const char* normalised; } normalise[] = {
        {"c:/a/b/../c", "C:\\a\\c"}, {"c:a\\.\\b", "C:a\\b"}, {"d:\\", "D:\\"}, {"C:/..", "C:\\"},
        {"//server/share/x/../y/", "\\\\server\\share\\y\\"}, {"/a//b/", "\\a\\b\\"},
        {"./c:x", ".\\c:x"},  // dropping "./" must not make a drive
    };
    for (const auto& c : normalise) {
        std::string copy = c.in;
        gen_path_normalise(&copy[0]);
        EXPECT_STREQ(copy.c_str(), c.normalised) << c.in;
    }
    char cwd[MAX_PATH + 1] = "";
    ASSERT_GT(GetCurrentDirectoryA(sizeof cwd, cwd), 2u);
    cwd[0] = static_cast<char>(toupper(cwd[0]));
    const struct { const char *dir, *name; std::string joined; } join[] = {  // a null name: gen_abspath(dir)
        {"c:\\dir", "sub/file", "C:\\dir\\sub\\file"}, {"c:/dir/", "../x", "C:\\x"},
        {"\\\\srv\\share", "a/b", "\\\\srv\\share\\a\\b"}, {"e:", "\\top", "\\top"},  // rooted names stand
        {"c:/x/../y", nullptr, "C:\\y"}, {"c:x/./y", nullptr, "C:x\\y"}, {"rel/./a", nullptr, native(std::string(cwd) + "/rel/a")},
    };
    for (const auto& c : join)
        EXPECT_EQ(own(c.name ? gen_pathjoin(c.dir, c.name) : gen_abspath(c.dir)), c.joined) << c.dir << " + " << (c.name ? c.name : "-");
    for (const char* rooted : {"C:x", "c:", "C:\\x", "\\x", "/x"}) EXPECT_TRUE(gen_isabsolute(rooted)) << rooted;
    for (const char* relative : {"x", "x\\y", ".\\C:", ""}) EXPECT_FALSE(plat_path_is_rooted(relative)) << relative;
    const struct { const char *in, *dir; } dirpath[] = {
        {"C:", "C:\\"}, {"c:\\", "c:\\"}, {"C:/", "C:/"}, {"C:\\dir\\", "C:\\dir"}, {"\\\\srv\\share", "\\\\srv\\share\\"},
        {"\\\\srv\\share\\", "\\\\srv\\share\\"}, {"\\\\srv\\share\\x\\", "\\\\srv\\share\\x"}, {"\\", "\\"},
    };
    for (const auto& c : dirpath) EXPECT_EQ(own(gen_normalise_dirpath(c.in)), c.dir) << c.in;
    TempDir tmp;
    write_file(tmp.file("file"), "x");
    const struct { std::string path; int dir; } isdir[] = {{"C:", 1}, {"c:\\", 1}, {"C:/", 1}, {"C:\\windows\\", 1},
        {tmp.path() + "\\", 1}, {tmp.file("file"), 0}, {tmp.file("missing") + "\\", 0}, {"", -1}};
    for (const auto& c : isdir) EXPECT_EQ(gen_isdir(c.path.c_str()), c.dir) << c.path;
}

// The last row is what start-up takes for a relative path.
TEST(Win32Start, ProgramNameLosesAFinalExeOnly) {
    char module[MAX_PATH + 1];
    plat_module_file_name(module, sizeof module);
    const struct { const char *given, *name; } rows[] = {
        {"C:\\some\\dir\\Tool.EXE", "Tool"}, {"C:\\some\\dir\\tool.exe", "tool"}, {"c:/some/dir/Tool.Exe", "Tool"},
        {"C:prog.exe", "prog"}, {"C:\\some\\dir\\prog.exe.bak", "prog.exe.bak"},
        {"C:\\some\\dir\\prog.exes", "prog.exes"}, {"C:\\some\\dir\\prog", "prog"}, {module, "platform_tests"},
    };
    for (const auto& row : rows) {
        gen_setprogpath(row.given);
        EXPECT_EQ(std::string(gen_getprogname()) + " " + gen_getprogpath(), std::string(row.name) + " " + row.given);
    }
    gen_setprogpath(nullptr);
}

// Without the fiber-local routines a worker's log is released by the
// image's TLS callback, which writes the thread-end dump and removes the
// log's backing file.
TEST(Win32Threads, ThreadLocalSlotsReleaseTheWorkersLog) {
    TempDir maps, dumps;
    const Outcome r = run_program({SYMKEEP_PROBE, "log-thread-tls", dumps.path()}, {"ZEP_RNE_DUMP_PATH=" + maps.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> rep;
    std::istringstream in(r.out);
    for (std::string k, v; in >> k >> v;) rep[k] = v;
    EXPECT_EQ(rep["worker_file_while_running"] + " " + rep["worker_file_after_end"], "present absent");
    RneLog log;
    ASSERT_TRUE(rne_read_file(dumps.file(rep["pid"] + "_" + rep["worker_tid"] + ".rne").c_str(), &log)) << log.error;
    EXPECT_EQ(log.events.at(0).name + "=" + std::to_string(log.events[0].value) + " of " + std::to_string(log.events.size()), "worker=7 of 2");
}

TEST(Win32Sections, TheSectionWalkFindsWholeRecordsAndOnlyShortNames) {
    uintptr_t begin = 1, end = 1;
    ASSERT_EQ(plat_image_section("gswitch", &begin, &end), 1);
    const auto first = reinterpret_cast<uintptr_t>(&platform_test_switches[0]);
    EXPECT_EQ((end - begin) % sizeof(GSwitch) + (first - begin) % sizeof(GSwitch), 0u);
    EXPECT_TRUE(begin <= first && first + sizeof platform_test_switches <= end);
    ASSERT_EQ(plat_image_section(".text", &begin, &end), 1);
    const auto code = reinterpret_cast<uintptr_t>(&plat_image_section);
    EXPECT_TRUE(begin <= code && code < end);
    for (const char* name : {"gswitc", "gswitch1", "gswitches", ".tex", "", "nosuchsec"}) {
        begin = end = 1;
        EXPECT_EQ(plat_image_section(name, &begin, &end) + begin + end, 0u) << name;
    }
}

}  // namespace

#else

TEST(Win32, OnlyOnWindows) { GTEST_SKIP() << "Windows-only behaviour"; }

#endif
