// End-to-end crash reports: the probe (and the tool) run as subprocesses
// with a dump directory, fail in each way the runtime catches, and leave one
// RNE file whose name, mode, size, events and abort line are checked.
#include <csignal>
#include <cstdlib>

#include "crash/crash_support.h"
#include "shared/gensys.h"

namespace {

struct FailureCase {
    const char* mode;
    const char* reason;
    int signal;  // 0: the assertion path
};

#ifdef _WIN32
constexpr int kUnhandled = 7;  // the probe's "bus": an exception no signal stands for
#else
constexpr int kUnhandled = SIGBUS;
#endif

// The events each path writes, from its first one on.
std::vector<Ev> expected_tail(const FailureCase& c, const std::map<std::string, std::string>& report) {
    const uint64_t fault = std::strtoull(report.count("fault_address") ? report.at("fault_address").c_str() : "0",
                                         nullptr, 16);
    if (c.signal == 0) return {text_ev(kAbortNote), text_ev(c.reason), text_ev(kExitNote)};
    if (c.signal == kUnhandled) {  // ends without exit handlers
#ifdef _WIN32
        // RaiseException's own address; the context's branch records follow.
        return {value_ev("EXCEPTION_RECORD__ExceptionCode", 14, 0xC0000006u),
                value_ev("EXCEPTION_RECORD__ExceptionFlags", 14, 0), any_ev("EXCEPTION_RECORD__ExceptionAddress", 12),
                any_ev("CONTEXT_RECORD__Rip", 12), any_ev("CONTEXT_RECORD__LastBranchToRip", 12),
                any_ev("CONTEXT_RECORD__LastBranchFromRip", 12), any_ev("CONTEXT_RECORD__LastExceptionToRip", 12),
                any_ev("CONTEXT_RECORD__LastExceptionFromRip", 12), text_ev(kAbortNote), text_ev(c.reason)};
#else
        return {value_ev("EXCEPTION_RECORD__ExceptionCode", 14, SIGBUS),
                value_ev("EXCEPTION_RECORD__ExceptionFlags", 14, BUS_ADRERR),
                value_ev("EXCEPTION_RECORD__ExceptionAddress", 12, fault), any_ev("CONTEXT_RECORD__Rip", 12),
                text_ev(kAbortNote), text_ev(c.reason)};
#endif
    }
    std::vector<Ev> tail = {any_ev("EXCEPTION_RECORD__ExceptionAddress", 12), any_ev("CONTEXT_RECORD__Rip", 12),
                            value_ev("rnedump_abort_signal", 14, static_cast<uint64_t>(c.signal)),
                            text_ev(kAbortNote), text_ev(c.reason), text_ev(kExitNote)};
    if (c.signal == SIGSEGV) tail[0] = value_ev("EXCEPTION_RECORD__ExceptionAddress", 12, fault);
    return tail;
}

std::string in_dir(const std::string& dir, const std::string& name) { return dir + TempDir::kSeparator + name; }

class CrashDump : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CrashDump, WritesTheFailingThreadsLogAndNamesTheDirectory) {
    const FailureCase& c = GetParam();
    TempDir tmp;
    const std::string dir = tmp.file("dumps");
    Outcome r = run_probe(c.mode, {"ZEP_RNE_DUMP_PATH=" + dir});
    const auto report = probe_report(r.out);

    EXPECT_EQ(r.status, 1) << r.err;
    const std::string line =
        std::string("Program \"probe\" has ") + c.reason + ". RNE logs of this event are in " + dir + "\n";
    ASSERT_GE(r.err.size(), line.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - line.size()), line);
    EXPECT_EQ(r.err.find("Program \""), r.err.size() - line.size()) << "exactly one abort line";

    const std::string name = report.at("pid") + "_" + report.at("tid") + ".rne";
    // Ending without exit handlers leaves the log's backing file behind.
    std::vector<std::string> files = {name};
    if (c.signal == kUnhandled) files.push_back(report.at("pid") + "_" + report.at("tid") + "_map.rne");
    ASSERT_EQ(files_in(dir), files);
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
    EXPECT_EQ(permissions(in_dir(dir, name)), 0600u);
#endif
    RneLog log;
    ASSERT_TRUE(rne_read_file(in_dir(dir, name).c_str(), &log)) << log.error;
    EXPECT_FALSE(log.wrapped);
    EXPECT_EQ(read_file(in_dir(dir, name)).size(), 5816 + log.write_offset);
    expect_events_from(log, expected_tail(c, report));
#if defined(__x86_64__)
    // For these two the faulting address is the faulting instruction.
    if (c.signal == SIGFPE || c.signal == SIGILL) {
        ASSERT_GE(log.events.size(), 6u);
        const RneEvent& address = log.events[log.events.size() - 6];
        EXPECT_EQ(address.value, log.events[log.events.size() - 5].value);
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(Paths, CrashDump,
                         ::testing::Values(FailureCase{"assert", "encountered an assertion failure", 0},
                                           FailureCase{"segv", "aborted", SIGSEGV},
                                           FailureCase{"fpe", "aborted", SIGFPE},
                                           FailureCase{"ill", "aborted", SIGILL},
                                           FailureCase{"bus", "caught an unhandled signal", kUnhandled}),
                         [](const auto& info) { return std::string(info.param.mode); });

TEST(CrashDump, NormalExitOfTheToolDumpsTheMainThreadsLog) {
    TempDir tmp;
    const std::string dir = tmp.file("dumps");
    Outcome r = run_program({SYMKEEP_BIN, "-o", tmp.file("out"), tmp.file("missing.elf")},
                                {"ZEP_RNE_DUMP_PATH=" + dir, kChildAsanOptions});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("RNE logs"), std::string::npos);
    const auto names = files_in(dir);
    ASSERT_EQ(names.size(), 1u);
    RneLog log;
    ASSERT_TRUE(rne_read_file((dir + "/" + names[0]).c_str(), &log)) << log.error;
    EXPECT_EQ(names[0], names[0].substr(0, names[0].find('_')) + "_" + std::to_string(log.thread_id) + ".rne");
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
    EXPECT_EQ(permissions(dir + "/" + names[0]), 0600u);
#endif
    ASSERT_GE(log.events.size(), 3u);
    EXPECT_EQ(log.events.back().text, kExitNote);
    // The set-up's marker, then the diagnostic about the missing input.
    const std::string marker = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    size_t m = 0;
    while (m < log.events.size() && log.events[m].name != marker) ++m;
    ASSERT_LT(m, log.events.size());
    EXPECT_EQ(log.events[m].type, 6u);
    EXPECT_EQ(log.events[m].value, 1u);
    EXPECT_NE(log.events[log.events.size() - 2].text.find("missing.elf"), std::string::npos);
}

TEST(CrashDump, WorkerThreadEndAndMainThreadExitEachWriteTheirLog) {
    TempDir tmp;
    Outcome r = run_probe("thread", {"ZEP_RNE_DUMP_PATH=" + tmp.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto report = probe_report(r.out);
    const std::string prefix = tmp.path() + "/" + report.at("pid") + "_";
    RneLog worker, main;
    ASSERT_TRUE(rne_read_file((prefix + report.at("worker_tid") + ".rne").c_str(), &worker)) << worker.error;
    ASSERT_TRUE(rne_read_file((prefix + report.at("tid") + ".rne").c_str(), &main)) << main.error;
    expect_events_from(worker, {value_ev("worker", 6, 42)});
    expect_events_from(main, {Ev{"probe", 4, "thread"}, text_ev(kExitNote)});
    EXPECT_EQ(files_in(tmp.path()).size(), 2u) << "the backing files are gone";
}

TEST(CrashDump, ChildProcessesSeeTheDumpPathMadeAbsolute) {
    TempDir tmp;
    Outcome r = run_probe("env", {"ZEP_RNE_DUMP_PATH=dumps"}, tmp.path());
    ASSERT_EQ(r.status, 0) << r.err;
#ifdef _WIN32
    const std::string dumps = tmp.file("dumps");
    r.out.erase(std::remove(r.out.begin(), r.out.end(), '\r'), r.out.end());
#else
    const std::string dumps = std::filesystem::canonical(tmp.path()).string() + "/dumps";
#endif
    EXPECT_NE(r.out.find("child " + dumps + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::is_directory(dumps));
}

// Without a usable dump directory nothing is installed: a fault takes the
// platform's default action and no abort line appears.
TEST(CrashDump, NoDirectoryNoHandlersNoLine) {
    TempDir tmp;
    const std::vector<std::vector<std::string>> settings = {
        {"ZEP_RNE_DUMP_PATH=" + tmp.file("missing/dumps"), "TMP=" + tmp.path()},
        {"ZEP_RNE_DUMP_PATH", "TMP=" + tmp.path()},
    };
    for (const auto& env : settings) {
        Outcome segv = run_probe("segv", env);
        EXPECT_EQ(segv.signal, SIGSEGV) << env[0];
        EXPECT_EQ(segv.err.find("RNE logs"), std::string::npos) << env[0];
        EXPECT_TRUE(files_in(tmp.path()).empty()) << env[0];
    }
    Outcome assertion = run_probe("assert", settings[0]);
    EXPECT_EQ(assertion.status, 1);
    EXPECT_EQ(assertion.err.find("RNE logs"), std::string::npos);
    EXPECT_TRUE(files_in(tmp.path()).empty());
}

TEST(CrashDump, AssertionWithoutDumpPathUsesAFreshFallbackDirectory) {
    for (const char* mode : {"assert", "taken"}) {
        TempDir tmp;
        Outcome r = run_probe(mode, {"ZEP_RNE_DUMP_PATH", "TMP=" + tmp.path()});
        EXPECT_EQ(r.status, 1);
        const auto report = probe_report(r.out);
        char user[257] = "";
        plat_user_name(user, sizeof user);
        const std::string dir = tmp.file("ZEP_RNE_") + gen_gethostname() + "_" + user + "_" + report.at("pid") +
                                (std::string(mode) == "taken" ? "_0001" : "_0000");
        EXPECT_NE(r.err.find("RNE logs of this event are in " + dir + "\n"), std::string::npos) << r.err;
        EXPECT_EQ(files_in(dir), std::vector<std::string>{report.at("pid") + "_" + report.at("tid") + ".rne"});
    }
}

}  // namespace
