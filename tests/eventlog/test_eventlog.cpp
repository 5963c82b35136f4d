// The event log: its size variables, each record byte for byte, clock
// records, the wrap, the re-entry guard, per-thread logs and their release,
// file-backed storage, RNE files and the reader, damaged input included.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_counter.h"
#include "shared/eventlog/zolta_testing.h"
#include "support/harness.h"

namespace {

// The counter every log read sees; tests set it freely.
uint64_t g_counter = 0;
uint64_t read_counter() { return g_counter; }

class EventLog : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }
    void TearDown() override { fresh(), zolta_counter_source = nullptr; }
    static void fresh(const char* size = nullptr) {
        for (const char* v : {"ZEP_ZOLTA_LOG_SIZE", "ZEP_ZOLTA_LOG_BYTES", "ZEP_RNE_DUMP_PATH", "ZEP_ZOLTA_NO_MAP_LOGS"})
            unsetenv(v);
        if (size) setenv("ZEP_ZOLTA_LOG_SIZE", size, 1);
        g_counter = 0x0000000A12345678ull;
        zolta_counter_source = read_counter;
        zolta_reset_for_tests();
    }
    static std::vector<uint8_t> written(const ThreadLog* log) {
        const auto* d = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(log->data_start));
        return std::vector<uint8_t>(d, d + (log->write_pos - log->data_start));
    }
    static RneLog read(const ThreadLog* log) {
        RneLog r;
        EXPECT_TRUE(rne_read_thread_log(log, &r)) << r.error;
        return r;
    }
    static std::string rne_name(const TempDir& dir) {
        return dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) + ".rne");
    }
};

// Little-endian words and NUL-padded text fields, for byte-exact records.
struct Bytes {
    std::vector<uint8_t> b;
    Bytes& word(uint32_t w) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
        return *this;
    }
    Bytes& field(const std::string& s) {
        b.insert(b.end(), s.begin(), s.end());
        do b.push_back(0);
        while (b.size() % 4 != 0);
        return *this;
    }
};

TEST(EventLogSize, BothVariablesWithTheirFallbacks) {
    const uint32_t def = ZOLTA_DEFAULT_LOG_SIZE;
    const char* unset = nullptr;
    const struct { const char *size, *bytes; uint32_t want; } rows[] = {
        {unset, unset, def}, {"64K", unset, 65536}, {"64k", unset, 65536}, {"1G", unset, 1073741824u},
        {"3g", unset, 3221225472u}, {"2m", unset, 2097152}, {"4G", unset, def}, {"4194303K", unset, 4294966272u},
        {"4194304K", unset, def}, {"16K", unset, def}, {"20000", unset, 20000}, {" +20000", unset, 20000},
        {"16656", unset, 16656}, {"16655", unset, def}, {"64KB", unset, def}, {"0", unset, def}, {"-5", unset, def},
        {"12x", unset, def}, {"", unset, def}, {"K", unset, def}, {"99999999999999999999", unset, def},
        {"4G", "100000", 100000}, {"64KB", "100000x", def}, {unset, "100000", 100000}, {unset, "100000x", def},
        {unset, "100000 ", def}, {unset, "64K", def}, {unset, "16655", def}, {unset, "16656", 16656},
        {unset, "4294967296", def}, {"20000", "100000", 20000},
    };
    for (const auto& row : rows) {
        errno = 77;
        EXPECT_EQ(zolta_parse_log_size(row.size, row.bytes), row.want) << (row.size ? row.size : "-") << " / "
                                                                         << (row.bytes ? row.bytes : "-");
        EXPECT_EQ(errno, 77);
    }
}

// Each kind's record (the first two are the sizes the format documents),
// then names and texts at and past their fields' sizes, read back cut.
TEST_F(EventLog, RecordLayouts) {
    static const std::string kSwitch = "SupportHexFloatFormat=0 from: default";  // 37 characters
    const uint32_t c = 0x12345678;
    const struct { const char* what; void (*log)(); Bytes want; } rows[] = {
        {"u32", [] { ZOLTA_LogU32("ABCDEFG", 1); }, Bytes().word(c).field("ABCDEFG").word(1).word(8).word(6)},
        {"text", [] { ZOLTA_LogText("GSWITCH", kSwitch.c_str()); },
         Bytes().word(c).field("GSWITCH").field(kSwitch).word((40u << 16) | 8).word(4)},
        {"address", [] { ZOLTA_LogAddress("a", 0x1122334455667788ull); },
         Bytes().word(c).field("a").word(0x55667788).word(0x11223344).word(4).word(12)},
        {"integer", [] { ZOLTA_LogInteger("sig", 11); }, Bytes().word(c).field("sig").word(11).word(0).word(4).word(14)},
        {"null text", [] { ZOLTA_LogText("note", nullptr); }, Bytes().word(c).field("note").word(8).word(4)},
        {"empty", [] { ZOLTA_LogText("", ""); }, Bytes().word(c).field("").field("").word((4u << 16) | 4).word(4)},
        {"text+extra", [] { ZOLTA_LogEvent("x", "yz", 18, 0xCAFE); },
         Bytes().word(c).field("x").field("yz").word((4u << 16) | 4).word(0xCAFE).word(18)},
        {"bare", [] { uint32_t v = 99; ZOLTA_LogEvent("ignored", &v, 20, 0); }, Bytes().word(c).word(99).word(20)},
        {"text type 30", [] { ZOLTA_LogEvent("t", "abc", 30, 0); },
         Bytes().word(c).field("t").field("abc").word((4u << 16) | 4).word(30)},
        {"clock type refused", [] { ZOLTA_LogEvent("t", "abc", 3, 0); }, Bytes()},
    };
    ASSERT_EQ(rows[0].want.b.size() * 100 + rows[1].want.b.size(), 2460u);
    for (const auto& row : rows) {
        zolta_reset_for_tests();
        ThreadLog* log = ZOLTA_StartThreadLog();
        row.log();
        EXPECT_EQ(written(log), row.want.b) << row.what;
        EXPECT_EQ(log->busy, 0) << row.what;
    }
    const struct { size_t name, text; uint32_t fields; } cut[] = {
        {3, 3, 8}, {4, 4, 16}, {7, 8, 20}, {254, 16382, 16640}, {255, 16383, 16640}, {300, 20000, 16640}};
    for (const auto& row : cut) {
        zolta_reset_for_tests();
        ThreadLog* log = ZOLTA_StartThreadLog();
        std::string name(row.name, 'n'), text(row.text, 't');
        for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char>('a' + i % 26);
        ZOLTA_LogText(name.c_str(), text.c_str());
        EXPECT_EQ(written(log).size(), 12 + row.fields) << row.name;
        const RneLog r = read(log);
        ASSERT_EQ(r.events.size(), 1u);
        EXPECT_EQ(r.events[0].name + "|" + r.events[0].text, name.substr(0, 255) + "|" + text.substr(0, 16383));
    }
}

TEST_F(EventLog, AClockRecordPrecedesAnEventWhoseCounterHighWordChanged) {
    g_counter = 0x100000010ull;
    ThreadLog* log = ZOLTA_StartThreadLog();
    const uint64_t counters[] = {0x100000020ull, 0x200000005ull, 0x200000006ull, 0x700000001ull};
    for (uint32_t i = 0; i < 4; ++i) g_counter = counters[i], ZOLTA_LogU32(std::string(1, char('a' + i)).c_str(), i);
    EXPECT_EQ(written(log), Bytes().word(0x20).field("a").word(0).word(4).word(6).word(1).word(3)
                                .word(5).field("b").word(1).word(4).word(6).word(6).field("c").word(2).word(4).word(6)
                                .word(2).word(3).word(1).field("d").word(3).word(4).word(6).b);
    const RneLog r = read(log);
    ASSERT_EQ(r.events.size(), 4u);
    EXPECT_EQ(r.clock_records, 2u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(r.events[i].counter, counters[i]) << i;
}

// 20000 bytes leave a wrap limit 3336 bytes past the data start: 24-byte
// events 0..139 start at or below it, event 140 wraps.  The size is the
// first log's, whatever the variable says later.
TEST_F(EventLog, TheWrapKeepsTheNewerLapAndTheRestOfTheOlder) {
    fresh("20000");
    ThreadLog* log = ZOLTA_StartThreadLog();
    setenv("ZEP_ZOLTA_LOG_SIZE", "64K", 1);
    std::thread([] { ZOLTA_LogU32("other", 1); }).join();
    EXPECT_EQ(zolta_log_size(), 20000u);
    auto counter_of = [](uint32_t i) { return (i < 140 ? 0xA00000000ull : 0xB00000000ull) + i; };
    for (uint32_t i = 0; i < 150; ++i) {
        g_counter = counter_of(i);
        ZOLTA_LogU32("ABCDEFG", i);
        EXPECT_TRUE(i != 139 || log->wrap_mark == 0) << "the event at the limit still fits";
    }
    EXPECT_EQ(log->wrap_mark - log->data_start, 140u * 24);
    EXPECT_EQ(log->write_pos - log->data_start, 8u + 10 * 24);  // a clock record first
    // The newer lap ends inside event 10: events 11..139 remain of the older.
    const RneLog r = read(log);
    EXPECT_TRUE(r.wrapped);
    ASSERT_EQ(r.events.size(), 150u - 11);
    for (uint32_t i = 11; i < 150; ++i) {
        const RneEvent& e = r.events[i - 11];
        EXPECT_EQ(e.value * 2 + e.older_lap, i * 2 + (i < 140)) << i;
        EXPECT_EQ(e.counter, counter_of(i)) << i;
    }
    EXPECT_EQ(r.events[140 - 11].offset, 8u) << "the newer lap starts behind the clock record";
    EXPECT_EQ(r.events[139 - 11].offset, 139u * 24);
    TempDir dir;
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    RneLog f;
    ASSERT_TRUE(rne_read_file(rne_name(dir).c_str(), &f)) << f.error;
    EXPECT_EQ(read_file(rne_name(dir)).size(), ZOLTA_HEADER_SIZE + 140u * 24);
    EXPECT_EQ(f.events.size(), r.events.size());
}

// A handler that logs while an event is written (here the counter read)
// must not touch the log; and logging leaves errno as it was.
uint64_t nested_counter() {
    ZOLTA_LogU32("nested", 99);
    errno = EIO;
    return 0xA00000001ull;
}

TEST_F(EventLog, EventsInsideAnEventAreDroppedAndErrnoIsKept) {
    errno = 1234;
    ThreadLog* log = ZOLTA_StartThreadLog();
    zolta_counter_source = nested_counter;
    ZOLTA_LogU32("outer", 1);
    EXPECT_EQ(errno, 1234);
    zolta_counter_source = read_counter;
    EXPECT_EQ(written(log), Bytes().word(1).field("outer").word(1).word(8).word(6).b);
    log->busy = 1;
    ZOLTA_LogText("while busy", "x");
    EXPECT_EQ(written(log).size(), 24u);
    log->busy = 0;
}

// Each thread's log (the probe's test shows a worker's, with the process's
// start pair) is released at the thread's end, and the thread gets no other.
TEST_F(EventLog, AReleasedThreadGetsNoSecondLog) {
    ThreadLog* main_log = ZOLTA_StartThreadLog();
    EXPECT_EQ(ZOLTA_GetThreadLog(), main_log);
    EXPECT_EQ(zolta_backing_file(main_log), nullptr) << "no dump path: on the heap";
    int count = -1, after_release = -1;
    bool second_log = true;
    std::thread([&] {
        ZOLTA_LogU32("before", 1);
        count = zolta_live_log_count();
        ZOLTA_ThreadEnd(ZOLTA_GetThreadLog());
        after_release = zolta_live_log_count();
        ZOLTA_LogU32("after", 2);
        second_log = ZOLTA_GetThreadLog() != nullptr || ZOLTA_StartThreadLog() != nullptr;
    }).join();
    EXPECT_EQ(count * 10 + after_release, 21);
    EXPECT_FALSE(second_log);
}

// With a dump path the logs are files there, named "<pid>_<tid>_map.rne"
// (the crash tests show their mode and contents), and gone with the log; a
// relative path is made absolute; the no-map variable (set to anything)
// keeps them on the heap; a path that cannot be made leaves threads without logs.
TEST_F(EventLog, LogsAreFileBackedUnderTheDumpPath) {
    TempDir dir;
    char real[4096], cwd[4096];
    ASSERT_TRUE(realpath(dir.path().c_str(), real) && getcwd(cwd, sizeof cwd));
    const std::string name = std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) + "_map.rne";
    const struct { std::string path; const char* no_map; std::string backing; } rows[] = {
        {dir.file("made"), nullptr, under(dir.file("made"), name)},  // a path given keeps its spelling
        {"rel/", nullptr, std::string(real) + TempDir::kSeparator + "rel/" + name},
        {dir.path(), "1", "heap"}, {dir.file("missing/dumps"), nullptr, "none"},
    };
    for (const auto& row : rows) {
        fresh("20000");
        setenv("ZEP_RNE_DUMP_PATH", row.path.c_str(), 1);
        if (row.no_map) setenv("ZEP_ZOLTA_NO_MAP_LOGS", row.no_map, 1);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        ZOLTA_LogU32("mapped", 3);
        ASSERT_EQ(chdir(cwd), 0);
        const ThreadLog* log = ZOLTA_GetThreadLog();
        const char* backing = log ? zolta_backing_file(log) : nullptr;
        EXPECT_EQ(!log ? "none" : backing ? backing : "heap", row.backing);
        EXPECT_EQ(zolta_live_log_count(), log ? 1 : 0);
        if (!backing) continue;
        EXPECT_EQ(read_file(row.backing).size(), 20000 + ZOLTA_HEADER_SIZE);
        zolta_reset_for_tests();
        EXPECT_FALSE(file_exists(row.backing)) << "releasing the log deletes its file";
    }
}

// The file is the header and the data, written over what was there; the
// reader decodes each kind (rnecat's tests show every field of each).
TEST_F(EventLog, TheDumpWritesTheHeaderAndDataAndReadsBack) {
    TempDir dir;
    ThreadLog* log = ZOLTA_StartThreadLog();
    ZOLTA_LogText("GSWITCH", "SupportHexFloatFormat=0 from: default");
    ZOLTA_LogAddress("CONTEXT_RECORD__Rip", 0xFFFF800012345678ull);
    g_counter = 0xB00000001ull;  // the dump counter
    write_file(rne_name(dir), std::string(100000, 'x'));
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    EXPECT_EQ(log->writing_file, 0) << "cleared after the write";
    const std::string bytes = read_file(rne_name(dir));
    ASSERT_EQ(bytes.size(), 100000u);
    EXPECT_EQ(bytes.find_first_not_of('x', ZOLTA_HEADER_SIZE + written(log).size()), std::string::npos);
    RneLog r;
    ASSERT_TRUE(rne_read_file(rne_name(dir).c_str(), &r)) << r.error;
    ASSERT_EQ(r.events.size(), 2u);
    EXPECT_EQ(r.events[0].text + " " + std::to_string(r.events[1].value) + " " + std::to_string(r.events[1].counter),
              "SupportHexFloatFormat=0 from: default 18446603336526616184 43255092856");
    EXPECT_EQ(r.thread_id, plat_thread_id());
    EXPECT_EQ(r.start_counter, 0xA12345678ull);
    EXPECT_EQ(r.dump_counter, 0xB00000001ull);
    EXPECT_EQ(r.data_size, ZOLTA_DEFAULT_LOG_SIZE);
    EXPECT_GE(r.dump_time_ns, r.start_time_ns);
    EXPECT_GT(r.start_time_ns, 1500000000ull * 1000000000ull);  // after 2017
    char exe[ZOLTA_PATH_SIZE];
    plat_module_file_name(exe, sizeof exe);
    EXPECT_EQ(r.program_path, exe);
    EXPECT_TRUE(r.writing_file && !r.wrapped);
    EXPECT_EQ(ZOLTA_WriteRNEFile(dir.file("missing").c_str(), log, plat_process_id()), 0);
    EXPECT_EQ(ZOLTA_WriteRNEFile(std::string(5000, 'd').c_str(), log, plat_process_id()), 0);
    EXPECT_EQ(log->writing_file, 0);
}

void put(std::string& b, size_t at, uint64_t v, int bytes = 8) {
    for (int i = 0; i < bytes; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// The reader refuses damage with a message and recovers the newest events
// after it.  The image: a header and three 24-byte events.
TEST_F(EventLog, DamagedInputIsRefusedWithTheEventsAfterTheDamage) {
    RneLog none;
    EXPECT_TRUE(!rne_read_thread_log(nullptr, &none) && none.error == "no log");
    ThreadLog* log = ZOLTA_StartThreadLog();
    for (uint32_t i = 0; i < 3; ++i) ZOLTA_LogU32("ABCDEFG", i);
    const std::vector<uint8_t> data = written(log);
    const std::string image = std::string(reinterpret_cast<const char*>(log), ZOLTA_HEADER_SIZE) +
                              std::string(data.begin(), data.end());
    const size_t H = ZOLTA_HEADER_SIZE, end = image.size();
    const uint64_t pos = log->write_pos, start = log->data_start;
    const struct { const char* what; std::function<void(std::string&)> damage; size_t events; const char* error; } rows[] = {
        {"intact", [](std::string&) {}, 3, ""},
        {"format byte", [](std::string& b) { b[2] = 'X'; }, 0, "not an event log"},
        {"write position before data", [&](std::string& b) { put(b, 16, start - 4); }, 0, "before the data start"},
        {"write position off a word", [&](std::string& b) { put(b, 16, pos - 2); }, 0, "word boundary"},
        {"write position past the file", [&](std::string& b) { put(b, 16, pos + 4); }, 0, "shorter than the write position"},
        {"wrap mark past the file", [&](std::string& b) { put(b, 56, pos + 400); }, 3, "shorter than the wrap mark"},
        {"newest name length 0", [&](std::string& b) { put(b, end - 8, 0, 4); }, 0, "bad name length"},
        {"newest name length 260", [&](std::string& b) { put(b, end - 8, 260, 4); }, 0, "bad name length"},
        {"oldest name before the start", [&](std::string& b) { put(b, H + 16, 12, 4); }, 2, "before the data start"},
        {"oldest name unterminated", [&](std::string& b) { b[H + 11] = 'Z'; }, 2, "terminating zero"},
        {"unknown type, wild lengths", [&](std::string& b) { put(b, H + 40, 0xFFFFFFFF7FFF0008ull); }, 1,
         "bad name or text length"},
        {"header cut short", [&](std::string& b) { b.resize(H - 1); }, 0, "shorter than a log header"},
        {"data cut short", [](std::string& b) { b.pop_back(); }, 0, "shorter than the write position"},
    };
    for (const auto& row : rows) {
        std::string b = image;
        row.damage(b);
        RneLog r;
        EXPECT_EQ(rne_parse(b.data(), b.size(), &r), row.error[0] == '\0') << row.what;
        EXPECT_NE(r.error.find(row.error), std::string::npos) << row.what << ": " << r.error;
        ASSERT_EQ(r.events.size(), row.events) << row.what;
        for (size_t k = 0; k < r.events.size(); ++k) EXPECT_EQ(r.events[k].value, 3 - row.events + k) << row.what;
    }
}

// 2000 ns over 4000 ticks; a log never dumped, a counter that ran
// backwards and one out of range give no time.
TEST(RneCounterTime, ConvertsThroughTheStartAndDumpPairs) {
    RneLog log;
    log.start_time_ns = 1700000000000000000ull, log.start_counter = 1000;
    const uint64_t dumped = 1700000000000002000ull;
    const struct { uint64_t dump_time, dump_counter, counter; int64_t ns; } rows[] = {
        {dumped, 5000, 3000, 1700000000000001000ll}, {dumped, 5000, 1000, 1700000000000000000ll},
        {dumped, 5000, 0, 1699999999999999500ll}, {0, 5000, 3000, 0}, {dumped, 10, 3000, 0}, {dumped, 5000, UINT64_MAX, 0},
    };
    for (const auto& row : rows) {
        log.dump_time_ns = row.dump_time, log.dump_counter = row.dump_counter;
        int64_t ns = 0;
        EXPECT_EQ(rne_counter_to_unix_ns(log, row.counter, &ns), row.ns != 0) << row.counter;
        EXPECT_EQ(ns, row.ns) << row.counter;
    }
}

// In a process of its own (the probe): a worker's backing file lives
// exactly as long as the worker; with a dump directory the worker's end and
// the main thread's exit each write an RNE file, timed by real clocks.
TEST(EventLogProcess, BackingFilesAndThreadEndFiles) {
    TempDir maps, dumps;
    const std::vector<std::string> env = {"ZEP_ZOLTA_LOG_SIZE=64K", "ZEP_ZOLTA_LOG_BYTES", "ZEP_ZOLTA_NO_MAP_LOGS",
                                          "ZEP_RNE_DUMP_PATH=" + maps.path()};
    const Outcome r = run_program({SYMKEEP_PROBE, "log-thread", dumps.path()}, env);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> rep;
    std::istringstream in(r.out);
    for (std::string k, v; in >> k >> v;) rep[k] = v;
    const std::string pid = rep["pid"], worker = pid + "_" + rep["worker_tid"], main = pid + "_" + rep["tid"];
    EXPECT_EQ(rep["main_file"] + " " + rep["worker_file"], maps.file(main + "_map.rne") + " " + maps.file(worker + "_map.rne"));
    EXPECT_EQ(rep["worker_file_while_running"] + " " + rep["worker_file_after_end"], "present absent");
    EXPECT_EQ(files_in(maps.path()), std::vector<std::string>{}) << "the main thread's went with the exit";
    EXPECT_EQ(files_in(dumps.path()), (std::vector<std::string>{std::min(worker, main) + ".rne",
                                                               std::max(worker, main) + ".rne"}));
    RneLog w, m;
    ASSERT_TRUE(rne_read_file(dumps.file(worker + ".rne").c_str(), &w)) << w.error;
    ASSERT_TRUE(rne_read_file(dumps.file(main + ".rne").c_str(), &m)) << m.error;
    ASSERT_EQ(w.events.size() + m.events.size(), 4u);
    EXPECT_EQ(w.events[0].name + "=" + std::to_string(w.events[0].value) + " " + w.events[1].text + " " +
                  std::to_string(w.thread_id) + " " + std::to_string(w.data_size),
              "worker=7 running " + rep["worker_tid"] + " 65536");
    EXPECT_EQ(m.events[0].name + " " + m.events[1].text, "main returning");
    EXPECT_EQ(m.start_counter, w.start_counter);
    int64_t ns = 0;
    ASSERT_TRUE(rne_counter_to_unix_ns(m, m.events[1].counter, &ns));
    EXPECT_GE(ns, static_cast<int64_t>(m.start_time_ns) - 1000000);
    EXPECT_LE(ns, static_cast<int64_t>(m.dump_time_ns) + 1000000);
}

#ifndef _WIN32  // fork exists only there
TEST(EventLogProcess, AForkedChildMakesItsOwnLog) {
    const Outcome r = run_program({SYMKEEP_PROBE, "fork"}, {"ZEP_RNE_DUMP_PATH"});
    EXPECT_EQ(r.out, "child own\nparent_events 1\n") << r.err;
}
#endif

}  // namespace
