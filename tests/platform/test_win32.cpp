// The Windows backend against the real system (under wine in the cross
// build): what the POSIX suite cannot show because it only exists there.
//
//  - paths: drive letters upper-cased, '\' written by every normaliser,
//    "C:x" counted as absolute, drive and share roots as directories;
//  - the program name loses a final ".exe" in any letter case, and only that;
//  - a thread's log is released by the fiber-local storage callback (or by
//    the image's TLS callback where the fiber routines are missing), which
//    writes the thread-end dump;
//  - an exception without a signal of its own goes through the
//    unhandled-exception filter into the crash report, parameters included;
//  - the switch records are found by walking the image's PE section table.
//
// Elsewhere the file holds one skipped test, so the executable exists on
// every platform.
#include <gtest/gtest.h>

#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_testing.h"
#include "shared/crash/rnedump.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/geninit.h"
#include "shared/gensys.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/gswitch/gen_switch.h"
#include "support/child.h"
#include "support/rne_events.h"
#include "support/harness.h"


// Records of this executable's own switch section, for the section walk.
GSWITCH_TABLE GSwitch platform_test_switches[] = {
    gswitch_record("PlatformTestFirst", 1, __FILE__, __LINE__),
    gswitch_record("PlatformTestSecond", 0, __FILE__, __LINE__),
    gswitch_record("PlatformTestThird", 1, __FILE__, __LINE__),
};

namespace {

std::string own(char* s) {
    std::string out = s != nullptr ? s : "<none>";
    FreeHook(s);
    return out;
}

std::string normalised(const char* in) {
    std::string copy = in;
    gen_path_normalise(&copy[0]);
    return copy.c_str();
}

// How the runtime writes an absolute path of the tests' temporary tree.
std::string windows_form(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.size() >= 2 && path[1] == ':' && path[0] >= 'a' && path[0] <= 'z') path[0] = char(path[0] - 'a' + 'A');
    return path;
}

// The "key value" lines a child printed.
std::string reported(const std::string& out, const std::string& key) {
    const std::string start = key + " ";
    size_t at = out.rfind("\n" + start);
    at = at == std::string::npos ? (out.compare(0, start.size(), start) == 0 ? 0 : std::string::npos) : at + 1;
    if (at == std::string::npos) return "";
    const size_t end = out.find('\n', at);
    return out.substr(at + start.size(), end == std::string::npos ? std::string::npos : end - at - start.size());
}

// --- Paths -------------------------------------------------------------------

TEST(Win32Paths, NormalisersWriteBackslashesAndUpperCaseDrives) {
    ASSERT_EQ(PLAT_PATH_SEPARATOR, '\\');
    struct Case {
        const char* in;
        const char* want;
    };
    const Case normalise[] = {
        {"c:/a/b/../c", "C:\\a\\c"},
        {"c:a\\.\\b", "C:a\\b"},
        {"d:\\", "D:\\"},
        {"C:/..", "C:\\"},
        {"//server/share/x/../y/", "\\\\server\\share\\y\\"},
        {"/a//b/", "\\a\\b\\"},
        // Dropping "./" must not turn a name into a drive.
        {"./c:x", ".\\c:x"},
    };
    for (const Case& c : normalise) EXPECT_EQ(normalised(c.in), c.want) << c.in;

    const struct {
        const char* dir;
        const char* name;
        const char* want;
    } join[] = {
        {"c:\\dir", "sub/file", "C:\\dir\\sub\\file"},
        {"c:/dir/", "../x", "C:\\x"},
        {"\\\\srv\\share", "a/b", "\\\\srv\\share\\a\\b"},
        {"e:", "\\top", "\\top"},  // a rooted name stands as given
    };
    for (const auto& c : join) EXPECT_EQ(own(gen_pathjoin(c.dir, c.name)), c.want) << c.dir << " + " << c.name;

    EXPECT_EQ(own(gen_abspath("c:/x/../y")), "C:\\y");
    EXPECT_EQ(own(gen_abspath("c:x/./y")), "C:x\\y");
    char cwd[MAX_PATH + 1] = "";
    const DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
    ASSERT_GT(n, 2u);
    ASSERT_LT(n, sizeof cwd);
    const std::string rel = own(gen_abspath("rel/./a"));
    EXPECT_EQ(rel, windows_form(cwd) + "\\rel\\a");
    EXPECT_TRUE(rel[0] >= 'A' && rel[0] <= 'Z' && rel[1] == ':') << rel;
}

TEST(Win32Paths, DrivePrefixesAreAbsoluteAndRootsAreDirectories) {
    const struct {
        const char* path;
        bool absolute;
    } absolute[] = {
        {"C:x", true}, {"c:", true}, {"C:\\x", true}, {"\\x", true}, {"/x", true},
        {"x", false},  {"x\\y", false}, {".\\C:", false}, {"", false},
    };
    for (const auto& c : absolute) {
        EXPECT_EQ(gen_isabsolute(c.path), c.absolute) << c.path;
        EXPECT_EQ(plat_path_is_rooted(c.path), c.absolute) << c.path;
    }

    const struct {
        const char* in;
        const char* want;
    } dirpath[] = {
        {"C:", "C:\\"},
        {"c:\\", "c:\\"},
        {"C:/", "C:/"},
        {"C:\\dir\\", "C:\\dir"},
        {"\\\\srv\\share", "\\\\srv\\share\\"},
        {"\\\\srv\\share\\", "\\\\srv\\share\\"},
        {"\\\\srv\\share\\x\\", "\\\\srv\\share\\x"},
        {"\\", "\\"},
    };
    for (const auto& c : dirpath) EXPECT_EQ(own(gen_normalise_dirpath(c.in)), c.want) << c.in;

    TempDir tmp;
    write_file(tmp.file("file"), "x");
    const struct {
        std::string path;
        int want;
    } isdir[] = {
        {"C:", 1}, {"c:\\", 1}, {"C:/", 1}, {"C:\\windows\\", 1},
        {windows_form(tmp.path()) + "\\", 1}, {windows_form(tmp.file("file")), 0},
        {windows_form(tmp.file("missing")) + "\\", 0}, {"", -1},
    };
    for (const auto& c : isdir) EXPECT_EQ(gen_isdir(c.path.c_str()), c.want) << c.path;
}

// --- Program name ------------------------------------------------------------

TEST(Win32Start, ProgramNameLosesAFinalExeOnly) {
    const struct {
        const char* given;
        const char* name;
    } cases[] = {
        {"C:\\some\\dir\\Tool.EXE", "Tool"},
        {"C:\\some\\dir\\tool.exe", "tool"},
        {"c:/some/dir/Tool.Exe", "Tool"},
        {"C:prog.exe", "prog"},
        {"C:\\some\\dir\\prog.exe.bak", "prog.exe.bak"},
        {"C:\\some\\dir\\prog.exes", "prog.exes"},
        {"C:\\some\\dir\\prog", "prog"},
    };
    Outcome r = run_in_child([&] {
        for (const auto& c : cases) {
            gen_init(c.given, 0, 0);
            std::printf("%s|%s\n", gen_getprogname(), gen_getprogpath());
        }
        // Not absolute: the running module, whose file name ends in ".exe".
        gen_init("platform_tests", 0, 0);
        std::printf("%s\n", gen_getprogname());
    });
    std::string want;
    for (const auto& c : cases) want += std::string(c.name) + "|" + c.given + "\n";
    EXPECT_EQ(r.out, want + "platform_tests\n") << r.err;
    EXPECT_EQ(r.status, 0);
}

// --- Thread-end dump ---------------------------------------------------------

// A worker's log is released when the worker ends, by the slot's destructor:
// the fiber-local storage callback, or the TLS callback of the fallback.  The
// release writes the thread-end dump and removes the log's backing file.
TEST(Win32Threads, ThreadEndWritesTheWorkersDumpAndDropsItsBackingFile) {
    // All made up front: a child replays the earlier rounds, files included.
    TempDir dirs[2];
    for (const bool thread_local_slots : {false, true}) {
        SCOPED_TRACE(thread_local_slots ? "thread-local storage" : "fiber-local storage");
        const TempDir& tmp = dirs[thread_local_slots ? 1 : 0];
        Outcome r = run_in_child([&] {
            plat_win32_force_thread_local_slots(thread_local_slots);
            // Before the first log: the logs are then mapped files there.
            plat_setenv("ZEP_RNE_DUMP_PATH", tmp.path().c_str());
            gen_init(nullptr, 0, 0);
            const std::string prefix = tmp.path() + "/" + std::to_string(plat_process_id()) + "_";
            uint32_t tid = 0;
            bool mapped = false;
            std::thread worker([&] {
                ZOLTA_LogU32("worker", 42);
                tid = plat_thread_id();
                mapped = file_exists(prefix + std::to_string(tid) + "_map.rne");
            });
            worker.join();
            std::printf("pid %u\ntid %u\nmapped %d\ndumped %d\nmap_left %d\n", plat_process_id(), tid, mapped,
                        file_exists(prefix + std::to_string(tid) + ".rne"),
                        file_exists(prefix + std::to_string(tid) + "_map.rne"));
        });
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(reported(r.out, "mapped"), "1") << "the worker's log lives in the dump directory";
        EXPECT_EQ(reported(r.out, "dumped"), "1") << "written by the time join returns";
        EXPECT_EQ(reported(r.out, "map_left"), "0");

        const std::string tid = reported(r.out, "tid");
        const std::string name = reported(r.out, "pid") + "_" + tid + ".rne";
        const std::vector<std::string> files = files_in(tmp.path());
        EXPECT_NE(std::find(files.begin(), files.end(), name), files.end()) << name;
        RneLog log;
        ASSERT_TRUE(rne_read_file(tmp.file(name).c_str(), &log)) << log.error;
        EXPECT_EQ(std::to_string(log.thread_id), tid);
        ASSERT_FALSE(log.events.empty());
        EXPECT_EQ(log.events.back().name, "worker");
        EXPECT_EQ(log.events.back().type, uint32_t{ZOLTA_TYPE_U32});
        EXPECT_EQ(log.events.back().value, 42u);
    }
}

// --- Unhandled exception -----------------------------------------------------

// An exception code no signal stands for goes to the crash report's
// unhandled-exception path: the whole record and the context's branch
// records are logged, the dump is written, one line names it, and the
// process ends with status 1 without exit handlers.
TEST(Win32Faults, UnhandledExceptionLogsItsRecordAndEndsWithStatusOne) {
    TempDir tmp;
    const ULONG_PTR params[2] = {0x1234, static_cast<ULONG_PTR>(0xfedcba9876543210ull)};
    Outcome r = run_in_child([&] {
        plat_setenv("ZEP_RNE_DUMP_PATH", tmp.path().c_str());
        gen_init(nullptr, 0, 0);
        std::printf("pid %u\ntid %u\n", plat_process_id(), plat_thread_id());
        std::fflush(stdout);
        RaiseException(0xE0000001u, 0, 2, params);
        std::printf("returned 1\n");
    });
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(reported(r.out, "returned"), "");
    const std::string line = "Program \"platform_tests\" has caught an unhandled signal. RNE logs of this event are in " +
                             windows_form(tmp.path()) + "\n";
    ASSERT_GE(r.err.size(), line.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - line.size()), line);
    EXPECT_EQ(r.err.find("Program \""), r.err.size() - line.size()) << "exactly one abort line";

    const std::string name = reported(r.out, "pid") + "_" + reported(r.out, "tid");
    // Ended without exit handlers: the log's backing file stays.
    EXPECT_EQ(files_in(tmp.path()), (std::vector<std::string>{name + ".rne", name + "_map.rne"}));
    RneLog log;
    ASSERT_TRUE(rne_read_file(tmp.file(name + ".rne").c_str(), &log)) << log.error;
    expect_events_from(log, {value_ev("EXCEPTION_RECORD__ExceptionCode", ZOLTA_TYPE_INTEGER, 0xE0000001u),
                             value_ev("EXCEPTION_RECORD__ExceptionFlags", ZOLTA_TYPE_INTEGER, 0),
                             any_ev("EXCEPTION_RECORD__ExceptionAddress", ZOLTA_TYPE_ADDRESS),
                             value_ev("EXCEPTION_RECORD__ExceptionParameters", ZOLTA_TYPE_ADDRESS, params[0]),
                             value_ev("EXCEPTION_RECORD__ExceptionParameters", ZOLTA_TYPE_ADDRESS, params[1]),
                             any_ev("CONTEXT_RECORD__Rip", ZOLTA_TYPE_ADDRESS),
                             any_ev("CONTEXT_RECORD__LastBranchToRip", ZOLTA_TYPE_ADDRESS),
                             any_ev("CONTEXT_RECORD__LastBranchFromRip", ZOLTA_TYPE_ADDRESS),
                             any_ev("CONTEXT_RECORD__LastExceptionToRip", ZOLTA_TYPE_ADDRESS),
                             any_ev("CONTEXT_RECORD__LastExceptionFromRip", ZOLTA_TYPE_ADDRESS), text_ev(kAbortNote),
                             text_ev("caught an unhandled signal")});
    ASSERT_GE(log.events.size(), 11u);
    const size_t first = log.events.size() - 11;
    EXPECT_NE(log.events[first + 2].value, 0u) << "the exception's address";
    EXPECT_NE(log.events[first + 5].value, 0u) << "the instruction pointer";
}

// --- PE section walk ---------------------------------------------------------

TEST(Win32Sections, SectionWalkFindsWholeRecordsAndOnlyShortNames) {
    uintptr_t begin = 1, end = 1;
    ASSERT_EQ(plat_image_section("gswitch", &begin, &end), 1);
    EXPECT_EQ((end - begin) % sizeof(GSwitch), 0u) << end - begin;
    const auto first = reinterpret_cast<uintptr_t>(&platform_test_switches[0]);
    const auto last = reinterpret_cast<uintptr_t>(&platform_test_switches[std::size(platform_test_switches)]);
    EXPECT_LE(begin, first);
    EXPECT_GE(end, last);
    EXPECT_EQ((first - begin) % sizeof(GSwitch), 0u);

    ASSERT_EQ(plat_image_section(".text", &begin, &end), 1);
    const auto code = reinterpret_cast<uintptr_t>(&plat_image_section);
    EXPECT_TRUE(begin <= code && code < end);

    // Prefixes, extensions and names longer than the table's 8 bytes.
    for (const char* name : {"gswitc", "gswitch1", "gswitches", ".tex", "", "nosuchsec"}) {
        begin = end = 1;
        EXPECT_EQ(plat_image_section(name, &begin, &end), 0) << name;
        EXPECT_EQ(begin, 0u) << name;
        EXPECT_EQ(end, 0u) << name;
    }
}

// The real tool registers its five switches, in its table's order, at
// start-up; the exit dump shows the "GSWITCH" events.
TEST(Win32Sections, TheToolRegistersItsFiveSwitchesInTableOrder) {
    TempDir tmp;
    const char* switches[] = {"SupportHexFloatFormat", "MakeArgvEscapedOnlyInQuotes", "ZoltaLogArgsOnStartup",
                              "HostProcessorsEnvVariable", "SampleGSwitch"};
    std::vector<std::string> env = {"ZEP_RNE_DUMP_PATH=" + tmp.path()};
    for (const char* s : switches) env.push_back(std::string("ZEP_GSW_") + s);
    Outcome r = run_program({SYMKEEP_BIN, "-help"}, env);
    std::vector<std::string> dumps;
    for (const std::string& f : files_in(tmp.path()))
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".rne") == 0 && f.find("_map") == std::string::npos)
            dumps.push_back(f);
    ASSERT_EQ(dumps.size(), 1u) << "status " << r.status << ": " << r.err;
    RneLog log;
    ASSERT_TRUE(rne_read_file(tmp.file(dumps[0]).c_str(), &log)) << log.error;
    std::vector<std::string> events;
    for (const RneEvent& e : log.events)
        if (e.name == "GSWITCH") events.push_back(e.text);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "SupportHexFloatFormat on: Compiled In",
                          "MakeArgvEscapedOnlyInQuotes on: Compiled In",
                          "ZoltaLogArgsOnStartup on: Compiled In",
                          "HostProcessorsEnvVariable on: Compiled In",
                          "SampleGSwitch off: Compiled In",
                      }));
}

}  // namespace

#else  // !_WIN32

TEST(Win32, OnlyOnWindows) { GTEST_SKIP() << "Windows-only behaviour"; }

#endif  // _WIN32
