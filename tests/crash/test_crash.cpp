// Crash reports and rnecat.  The probe (and the tool) fail in each way the
// runtime catches and leave one RNE file whose name, mode, events and abort
// line are checked; rnecat prints logs written here, damaged ones included.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"
#include "shared/gensys.h"
#include "support/harness.h"

namespace {

// A sanitizer build's own handlers off, so that the runtime's see the faults.
const char* kAsanOptions =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0:"
    "allocator_may_return_null=1";
const std::string kAbort = "rnedump 4 RNEDump_DoOnAbortDump: about to call ZOLTA_DumpAllRNEFiles";
const std::string kExit = "rnedump 4 RNEDump_DumpIfEnabled: about to call ZOLTA_DumpAllRNEFiles";

// A probe run with its "key value" report; `name` is "<pid>_<tid>", its files' stem.
struct Probe : Outcome {
    std::map<std::string, std::string> rep;
    std::string name;
};
Probe probe(const std::string& scenario, std::vector<std::string> env, const std::string& cwd = "",
            const std::string& arg = "") {
    env.push_back(kAsanOptions);
    std::vector<std::string> argv = {SYMKEEP_PROBE, scenario};
    if (!arg.empty()) argv.push_back(arg);
    Probe r{run_program(argv, env, cwd), {}, {}};
    std::istringstream in(r.out);
    for (std::string k, v; in >> k >> v;) r.rep[k] = v;
    r.name = r.rep["pid"] + "_" + r.rep["tid"];
    return r;
}

// The last `want.size()` events as "name type text-or-hex-value"; a wanted
// line ending in '*' takes any value.
void expect_tail(const std::string& file, const std::vector<std::string>& want) {
    RneLog log;
    ASSERT_TRUE(rne_read_file(file.c_str(), &log)) << file << ": " << log.error;
    ASSERT_GE(log.events.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const RneEvent& e = log.events[log.events.size() - want.size() + i];
        std::ostringstream got;
        got << e.name << ' ' << e.type << ' ' << std::hex;
        if (e.type == ZOLTA_TYPE_TEXT) got << e.text; else got << e.value;
        const bool any = want[i].back() == '*';
        EXPECT_EQ(any ? got.str().substr(0, want[i].size() - 1) + "*" : got.str(), want[i]);
    }
}

unsigned mode_of(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

TEST(CrashDump, EachPathWritesTheFailingThreadsLogAndNamesTheDirectory) {
#ifdef _WIN32  // RaiseException's own address; the context's branch records follow
    const std::vector<std::string> unhandled = {"EXCEPTION_RECORD__ExceptionCode 14 c0000006",
        "EXCEPTION_RECORD__ExceptionFlags 14 0", "EXCEPTION_RECORD__ExceptionAddress 12 *",
        "EXCEPTION_RECORD__ExceptionParameters 12 1234", "EXCEPTION_RECORD__ExceptionParameters 12 fedcba9876543210",
        "CONTEXT_RECORD__Rip 12 *", "CONTEXT_RECORD__LastBranchToRip 12 *", "CONTEXT_RECORD__LastBranchFromRip 12 *",
        "CONTEXT_RECORD__LastExceptionToRip 12 *", "CONTEXT_RECORD__LastExceptionFromRip 12 *"};
#else
    const std::vector<std::string> unhandled = {"EXCEPTION_RECORD__ExceptionCode 14 " + std::to_string(SIGBUS),
        "EXCEPTION_RECORD__ExceptionFlags 14 " + std::to_string(BUS_ADRERR), "EXCEPTION_RECORD__ExceptionAddress 12 @",
        "CONTEXT_RECORD__Rip 12 *"};
#endif
    const struct { const char* scenario; const char* reason; int signal; } rows[] = {
        {"assert", "encountered an assertion failure", 0}, {"segv", "aborted", SIGSEGV},
        {"fpe", "aborted", SIGFPE}, {"ill", "aborted", SIGILL}, {"bus", "caught an unhandled signal", -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario);
        TempDir tmp;
        const std::string dir = tmp.file("dumps");
        const Probe r = probe(row.scenario, {"ZEP_RNE_DUMP_PATH=" + dir});
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string line = std::string("Program \"probe\" has ") + row.reason + ". RNE logs of this event are in " +
                                 dir + "\n";
        EXPECT_EQ(r.err.find("Program \""), r.err.size() - line.size()) << "one abort line, last: " << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(line.size(), r.err.size())), line);
        // Ending without exit handlers (the unhandled path) leaves the backing file.
        std::vector<std::string> files = {r.name + ".rne"};
        if (row.signal < 0) files.push_back(r.name + "_map.rne");
        EXPECT_EQ(files_in(dir), files);
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
        EXPECT_EQ(mode_of(under(dir, r.name + ".rne")), 0600u);
#endif
        std::vector<std::string> tail = {kAbort, std::string("rnedump 4 ") + row.reason, kExit};
        if (row.signal > 0) {  // a fault's own address only for the read of address 0x10
            tail.insert(tail.begin(), {"EXCEPTION_RECORD__ExceptionAddress 12 " + std::string(row.signal == SIGSEGV ? "10" : "*"),
                                       "CONTEXT_RECORD__Rip 12 *", "rnedump_abort_signal 14 " +
                                       (std::ostringstream() << std::hex << row.signal).str()});
        } else if (row.signal < 0) {
            tail.pop_back();
            tail.insert(tail.begin(), unhandled.begin(), unhandled.end());
            for (std::string& t : tail)
                if (t.back() == '@') t = t.substr(0, t.size() - 1) + r.rep.at("fault_address").substr(2);
        }
        expect_tail(under(dir, r.name + ".rne"), tail);
    }
}

// The tool's ordinary exit dumps its main thread's log without an abort
// line: the set-up's marker (named with the bytes 1 to 15), the message about
// the missing input, the exit's own text last.
TEST(CrashDump, TheToolsExitDumpsItsMainThreadsLog) {
    TempDir tmp;
    const Outcome r = run_program({SYMKEEP_BIN, tmp.file("missing.elf")}, {"ZEP_RNE_DUMP_PATH=" + tmp.path(), kAsanOptions});
    const auto names = files_in(tmp.path());
    ASSERT_EQ(names.size(), 1u) << r.err;
    EXPECT_EQ(r.err.find("RNE logs"), std::string::npos) << r.err;
    expect_tail(under(tmp.path(), names[0]), {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f 6 1",
                                              "fatal 4 symkeep: fatal: Unable to open *", kExit});
}

TEST(CrashDump, ChildProcessesSeeTheDumpPathMadeAbsolute) {
    TempDir tmp;
    const Probe r = probe("env", {"ZEP_RNE_DUMP_PATH=dumps"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
#ifdef _WIN32
    const std::string dumps = tmp.file("dumps");
#else
    const std::string dumps = std::filesystem::canonical(tmp.path()).string() + "/dumps";
#endif
    EXPECT_NE(std::regex_replace(r.out, std::regex("\r"), "").find("child " + dumps + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::is_directory(dumps));
}

// Without a usable dump directory nothing is installed: a fault takes the
// platform's default action, no abort line appears; an assertion alone
// dumps, into a fresh fallback directory under TMP.
TEST(CrashDump, WithoutADumpDirectory) {
    for (const std::string unset : {"ZEP_RNE_DUMP_PATH", "ZEP_RNE_DUMP_PATH=/nonexistent/dumps"}) {
        TempDir tmp;
        const Probe segv = probe("segv", {unset, "TMP=" + tmp.path()});
        EXPECT_EQ(segv.signal, SIGSEGV) << unset;
        EXPECT_EQ(segv.err.find("RNE logs"), std::string::npos) << unset;
        EXPECT_TRUE(files_in(tmp.path()).empty()) << unset;
    }
    TempDir tmp;
    EXPECT_EQ(probe("assert", {"ZEP_RNE_DUMP_PATH=" + tmp.file("no/dumps"), "TMP=" + tmp.path()}).err.find("RNE"),
              std::string::npos);
    EXPECT_TRUE(files_in(tmp.path()).empty());
    char user[257] = "";
    plat_user_name(user, sizeof user);
    for (const std::string scenario : {"assert", "taken"}) {
        const Probe r = probe(scenario, {"ZEP_RNE_DUMP_PATH", "TMP=" + tmp.path()});
        EXPECT_EQ(r.status, 1);
        const std::string dir = tmp.file("ZEP_RNE_") + gen_gethostname() + "_" + user + "_" + r.rep.at("pid") +
                                (scenario == "taken" ? "_0001" : "_0000");
        EXPECT_NE(r.err.find("RNE logs of this event are in " + dir + "\n"), std::string::npos) << r.err;
        EXPECT_EQ(files_in(dir), std::vector<std::string>{r.name + ".rne"});
    }
}

// The filter logs the whole record and the context, then the abort texts;
// without records only the texts.
TEST(CrashDump, TheExceptionFilter) {
    TempDir tmp;
    const Probe r = probe("filter", {"ZEP_RNE_DUMP_PATH=" + tmp.path()});
    EXPECT_EQ(r.rep.at("filter"), "1");
    const std::string line = "Program \"probe\" has caught an unhandled signal. RNE logs of this event are in " +
                             tmp.path() + "\n", reason = "rnedump 4 caught an unhandled signal";
    EXPECT_EQ(r.err, line + line + line);
    expect_tail(tmp.file(r.name + ".rne"),
                {"EXCEPTION_RECORD__ExceptionCode 14 c0000005", "EXCEPTION_RECORD__ExceptionFlags 14 1",
                 "EXCEPTION_RECORD__ExceptionAddress 12 401000", "EXCEPTION_RECORD__ExceptionParameters 12 1",
                 "EXCEPTION_RECORD__ExceptionParameters 12 dead0", "CONTEXT_RECORD__Rip 12 401000",
                 "CONTEXT_RECORD__LastBranchToRip 12 10", "CONTEXT_RECORD__LastBranchFromRip 12 20",
                 "CONTEXT_RECORD__LastExceptionToRip 12 30", "CONTEXT_RECORD__LastExceptionFromRip 12 40", kAbort,
                 reason, kAbort, reason, kAbort, reason, kExit});
}

// A process killed outright (no handler, no exit code runs) leaves its
// events in the mapped log file, private, and rnecat reads them (untimed).
TEST(CrashDump, AKilledProcessLeavesItsMappedLog) {
    TempDir tmp;
    const Probe r = probe("killed", {"ZEP_RNE_DUMP_PATH=" + tmp.path()});
#ifdef _WIN32
    EXPECT_EQ(r.status, 9);
#else
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(mode_of(tmp.file(r.name + "_map.rne")), 0600u);
#endif
    EXPECT_EQ(files_in(tmp.path()), std::vector<std::string>{r.name + "_map.rne"});
    const Outcome cat = run_program({RNECAT_BIN, tmp.file(r.name + "_map.rne")});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_NE(cat.out.find("  text(4)  probe  \"killed\"\ncounter "), std::string::npos) << cat.out;
    EXPECT_NE(cat.out.find("  u32(6)  before_kill  7 0x00000007\n"), std::string::npos) << cat.out;
}

// Links planted at the names of the dump and the backing file are never
// followed: the dump is not written (so no abort line), the backing file
// is a private regular file, and the link's target keeps its bytes.
TEST(CrashDump, PlantedSymbolicLinksAreNeverFollowed) {
#ifdef _WIN32
    GTEST_SKIP() << "a symbolic link needs a privilege the Windows test run does not have";
#endif
    for (const std::string scenario : {"assert", "killed"}) {
        TempDir tmp;
        write_file(tmp.file("target"), "precious");
        const Probe r = probe(scenario, {"ZEP_RNE_DUMP_PATH=" + tmp.path()}, "", tmp.file("target"));
        EXPECT_EQ(r.err.find("RNE logs"), std::string::npos) << scenario;
        EXPECT_EQ(read_file(tmp.file("target")), "precious") << scenario;
        EXPECT_EQ(mode_of(tmp.file(r.name + "_map.rne")), scenario == "killed" ? 0600u : 0xFFFFu) << "the exit removes it";
    }
}

Outcome rnecat(std::vector<std::string> args) {
    args.insert(args.begin(), RNECAT_BIN);
    return run_program(args, {kAsanOptions});
}

// What `body` logs in a fresh heap log, written into `dir`; its file.
std::string write_log(const TempDir& dir, void (*body)()) {
    unsetenv("ZEP_RNE_DUMP_PATH");
    zolta_reset_for_tests();
    body();
    ZOLTA_WriteRNEFile(dir.path().c_str(), ZOLTA_GetThreadLog(), plat_process_id());
    zolta_reset_for_tests();
    return dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) + ".rne");
}

// Every kind of event, with names and texts to escape, as text and as JSON
// (rnecat_timeline.py checks the times and the views over several files).
TEST(Rnecat, EveryKindAsTextAndJson) {
    TempDir tmp;
    const std::string file = write_log(tmp, [] {
        ZOLTA_LogU32("\x01\x02\x03", 1);
        ZOLTA_LogText("rnedump", "a\"b\\c\n\t\xc3\xa9");
        ZOLTA_LogInteger("rnedump_abort_signal", 11);
        ZOLTA_LogAddress("a\"q\\", 0xFFFF800012345678ull);
        ZOLTA_LogText("nulltext", nullptr);
        ZOLTA_LogEvent("x", "t", 18, 5);
        const uint32_t seven = 7;
        ZOLTA_LogEvent("", &seven, 20, 0);
    });
    const Outcome text = rnecat({file}), json = rnecat({"--json", file});
    ASSERT_EQ(text.status + json.status, 0) << text.err << json.err;
    EXPECT_EQ(text.out.rfind("file:     ", 0), 0u);  // and the program's path, each escaped
    EXPECT_EQ(std::regex_replace(text.out.substr(text.out.find("\nthread:") + 1), std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6}"), "T"),
              "thread:   " + std::to_string(plat_thread_id()) +
                  "\nstarted:  T UTC\ndumped:   T UTC\nwrapped:  no\nevents:   7\n"
                  "T  u32(6)  \\x01\\x02\\x03  1 0x00000001\n"
                  "T  text(4)  rnedump  \"a\\\"b\\\\c\\n\\t\\xc3\\xa9\"\n"
                  "T  u64(14)  rnedump_abort_signal  11 0x000000000000000b\n"
                  "T  u64(12)  a\"q\\x5c  18446603336526616184 0xffff800012345678\n"
                  "T  text(4)  nulltext  (null)\n"
                  "T  text+extra(18)  x  \"t\" extra=5\n"
                  "T  bare(20)  -  7 0x00000007\n");
    EXPECT_EQ(std::regex_replace(json.out, std::regex("\\{\"time\":\"[-0-9T:.]{26}Z\",\"unix_ns\":\\d+,\"counter\":\\d+,"), ""),
              "\"type\":6,\"kind\":\"u32\",\"name\":\"\\u0001\\u0002\\u0003\",\"value\":1,\"hex\":\"0x00000001\",\"older_lap\":false}\n"
              "\"type\":4,\"kind\":\"text\",\"name\":\"rnedump\",\"text\":\"a\\\"b\\\\c\\u000a\\u0009\\u00c3\\u00a9\",\"older_lap\":false}\n"
              "\"type\":14,\"kind\":\"u64\",\"name\":\"rnedump_abort_signal\",\"value\":11,\"hex\":\"0x000000000000000b\",\"older_lap\":false}\n"
              "\"type\":12,\"kind\":\"u64\",\"name\":\"a\\\"q\\\\\",\"value\":18446603336526616184,\"hex\":\"0xffff800012345678\",\"older_lap\":false}\n"
              "\"type\":4,\"kind\":\"text\",\"name\":\"nulltext\",\"text\":null,\"older_lap\":false}\n"
              "\"type\":18,\"kind\":\"text+extra\",\"name\":\"x\",\"text\":\"t\",\"extra\":5,\"older_lap\":false}\n"
              "\"type\":20,\"kind\":\"bare\",\"value\":7,\"hex\":\"0x00000007\",\"older_lap\":false}\n");
}

// The reader's refusals are the event log's tests; here what rnecat adds.
TEST(Rnecat, AWrappedLog) {
    TempDir tmp;
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    const std::string file = write_log(tmp, [] {
        for (uint32_t i = 0; i < 600; ++i) ZOLTA_LogU32("n", i);
    });
    unsetenv("ZEP_ZOLTA_LOG_SIZE");
    const Outcome text = rnecat({file});
    EXPECT_NE(text.out.find("\nwrapped:  yes (the oldest events were overwritten)\n"), std::string::npos);
    EXPECT_NE(text.out.find("  u32(6)  n  599 0x00000257\n"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("  n  0 0x"), std::string::npos) << "the oldest were overwritten";
}

}  // namespace
