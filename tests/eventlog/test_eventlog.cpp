// The event log: its size variables, each record byte for byte, clock
// records, the wrap, the re-entry guard, per-thread logs and their release,
// file-backed storage, RNE files and the reader, damaged input included.
#include <gtest/gtest.h>
#include <sys/stat.h>
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
    static void fresh() {
        for (const char* v : {"ZEP_ZOLTA_LOG_SIZE", "ZEP_ZOLTA_LOG_BYTES", "ZEP_RNE_DUMP_PATH", "ZEP_ZOLTA_NO_MAP_LOGS"})
            unsetenv(v);
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
    static std::string rne_name(const TempDir& dir, uint32_t tid, const char* tail = ".rne") {
        return dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(tid) + tail);
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
    const struct { const char *size, *bytes; uint32_t want; } rows[] = {
        {nullptr, nullptr, def}, {"64K", nullptr, 65536}, {"64k", nullptr, 65536}, {"1G", nullptr, 1073741824u},
        {"3g", nullptr, 3221225472u}, {"2m", nullptr, 2097152}, {"4G", nullptr, def},
        {"4194303K", nullptr, 4294966272u}, {"4194304K", nullptr, def}, {"16K", nullptr, def},
        {"20000", nullptr, 20000}, {" +20000", nullptr, 20000}, {"16656", nullptr, 16656}, {"16655", nullptr, def},
        {"64KB", nullptr, def}, {"0", nullptr, def}, {"-5", nullptr, def}, {"12x", nullptr, def}, {"", nullptr, def},
        {"K", nullptr, def}, {"99999999999999999999", nullptr, def}, {"4G", "100000", 100000},
        {"64KB", "100000x", def}, {nullptr, "100000", 100000}, {nullptr, "100000x", def}, {nullptr, "100000 ", def},
        {nullptr, "64K", def}, {nullptr, "16655", def}, {nullptr, "16656", 16656}, {nullptr, "4294967296", def},
        {"20000", "100000", 20000},
    };
    for (const auto& row : rows) {
        errno = 77;
        EXPECT_EQ(zolta_parse_log_size(row.size, row.bytes), row.want)
            << (row.size ? row.size : "(unset)") << " / " << (row.bytes ? row.bytes : "(unset)");
        EXPECT_EQ(errno, 77);
    }
}

TEST_F(EventLog, SizeIsFixedAtTheFirstLogAndTheSmallestHoldsTheLargestRecord) {
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    ZOLTA_StartThreadLog();
    setenv("ZEP_ZOLTA_LOG_SIZE", "64K", 1);
    std::thread([] { ZOLTA_LogU32("other", 1); }).join();
    EXPECT_EQ(zolta_log_size(), 20000u);

    zolta_reset_for_tests();
    setenv("ZEP_ZOLTA_LOG_SIZE", "16656", 1);
    ThreadLog* log = ZOLTA_StartThreadLog();
    // The largest record right after a wrap, behind a clock record, fills
    // the region exactly.
    const std::string name(400, 'n'), text(20000, 't');
    ZOLTA_LogEvent(name.c_str(), text.c_str(), 18, 5);
    g_counter += uint64_t{1} << 32;
    ZOLTA_LogEvent(name.c_str(), text.c_str(), 18, 6);
    EXPECT_EQ(log->write_pos, log->data_start + ZOLTA_MAX_RECORD);
    EXPECT_EQ(log->wrap_mark, log->data_start + ZOLTA_MAX_RECORD - 8);
    EXPECT_EQ(read(log).events.size(), 1u);
}

// Each kind's record; the first two are the sizes the format documents.
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
    ASSERT_EQ(rows[0].want.b.size(), 24u);
    ASSERT_EQ(rows[1].want.b.size(), 60u);
    for (const auto& row : rows) {
        zolta_reset_for_tests();
        ThreadLog* log = ZOLTA_StartThreadLog();
        row.log();
        EXPECT_EQ(written(log), row.want.b) << row.what;
        EXPECT_EQ(log->busy, 0) << row.what;
    }
}

TEST_F(EventLog, NamesAndTextsAreCutToTheirFields) {
    const struct { size_t name, text; uint32_t n, m; } rows[] = {
        {0, 1, 4, 4}, {3, 3, 4, 4}, {4, 4, 8, 8}, {7, 8, 8, 12}, {254, 16382, 256, 16384},
        {255, 16383, 256, 16384}, {256, 16384, 256, 16384}, {300, 20000, 256, 16384},
    };
    for (const auto& row : rows) {
        zolta_reset_for_tests();
        ThreadLog* log = ZOLTA_StartThreadLog();
        std::string name(row.name, 'n'), text(row.text, 't');
        for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char>('a' + i % 26);
        ZOLTA_LogText(name.c_str(), text.c_str());
        EXPECT_EQ(written(log).size(), 12 + row.n + row.m) << row.name;
        const RneLog r = read(log);
        ASSERT_EQ(r.events.size(), 1u);
        EXPECT_EQ(r.events[0].name, name.substr(0, 255));
        EXPECT_EQ(r.events[0].text, text.substr(0, 16383));
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
// events 0..139 start at or below it, event 140 wraps.
TEST_F(EventLog, TheWrapKeepsTheNewerLapAndTheRestOfTheOlder) {
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    ThreadLog* log = ZOLTA_StartThreadLog();
    auto counter_of = [](uint32_t i) { return (i < 140 ? 0xA00000000ull : 0xB00000000ull) + i; };
    for (uint32_t i = 0; i < 150; ++i) {
        g_counter = counter_of(i);
        ZOLTA_LogU32("ABCDEFG", i);
        if (i == 139) {
            EXPECT_EQ(log->wrap_mark, 0u) << "the event at the limit still fits";
        }
    }
    EXPECT_EQ(log->wrap_mark - log->data_start, 140u * 24);
    EXPECT_EQ(log->write_pos - log->data_start, 8u + 10 * 24);  // a clock record first
    // The newer lap ends inside event 10: events 11..139 remain of the older.
    const RneLog r = read(log);
    EXPECT_TRUE(r.wrapped);
    ASSERT_EQ(r.events.size(), 150u - 11);
    for (uint32_t i = 11; i < 150; ++i) {
        const RneEvent& e = r.events[i - 11];
        EXPECT_EQ(e.value, i);
        EXPECT_EQ(e.older_lap, i < 140) << i;
        EXPECT_EQ(e.counter, counter_of(i)) << i;
    }
    EXPECT_EQ(r.events[140 - 11].offset, 8u) << "the newer lap starts behind the clock record";
    EXPECT_EQ(r.events[139 - 11].offset, 139u * 24);

    TempDir dir;
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    RneLog f;
    ASSERT_TRUE(rne_read_file(rne_name(dir, plat_thread_id()).c_str(), &f)) << f.error;
    EXPECT_EQ(read_file(rne_name(dir, plat_thread_id())).size(), ZOLTA_HEADER_SIZE + 140u * 24);
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
    EXPECT_EQ(errno, 1234);
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

TEST_F(EventLog, EachThreadHasItsOwnLogWithTheProcessStartPair) {
    ThreadLog* main_log = ZOLTA_StartThreadLog();
    EXPECT_EQ(ZOLTA_GetThreadLog(), main_log);
    EXPECT_EQ(zolta_backing_file(main_log), nullptr) << "no dump path: on the heap";
    g_counter += 1000;  // a later log keeps the first start pair
    std::vector<std::thread> pool;
    std::vector<int> good(6, 0);
    for (int t = 0; t < 6; ++t)
        pool.emplace_back([&, t] {
            const std::string name = "thread" + std::to_string(t);
            for (uint32_t i = 0; i < 2000; ++i) ZOLTA_LogU32(name.c_str(), i);
            RneLog r;
            const ThreadLog* log = ZOLTA_GetThreadLog();
            if (log == main_log || !rne_read_thread_log(log, &r) || r.events.size() != 2000 ||
                r.thread_id != plat_thread_id() || log->start_counter != main_log->start_counter ||
                log->start_time_ns != main_log->start_time_ns || zolta_live_log_count() < 2)
                return;
            for (uint32_t i = 0; i < 2000; ++i)
                if (r.events[i].name != name || r.events[i].value != i) return;
            good[static_cast<size_t>(t)] = 1;
        });
    for (std::thread& th : pool) th.join();
    EXPECT_EQ(good, std::vector<int>(6, 1));
    EXPECT_EQ(zolta_live_log_count(), 1) << "each worker's log is released at its end";

    int count_after_release = -1;
    bool second_log = true;
    std::thread([&] {
        ZOLTA_LogU32("before", 1);
        ZOLTA_ThreadEnd(ZOLTA_GetThreadLog());
        count_after_release = zolta_live_log_count();
        ZOLTA_LogU32("after", 2);
        second_log = ZOLTA_GetThreadLog() != nullptr || ZOLTA_StartThreadLog() != nullptr;
    }).join();
    EXPECT_EQ(count_after_release, 1);
    EXPECT_FALSE(second_log) << "a released thread gets no second log";
}

// With a dump path the logs are files there, named "<pid>_<tid>_map.rne",
// private, and gone with the log; a relative path is made absolute; the
// no-map variable (set to anything) keeps them on the heap; a path that
// cannot be made leaves threads without logs.
TEST_F(EventLog, LogsAreFileBackedUnderTheDumpPath) {
    TempDir dir;
    char real[4096], cwd[4096];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string name = std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) + "_map.rne";
    const struct { std::string path; const char* no_map; std::string backing; } rows[] = {
        {dir.file("made"), nullptr, dir.file("made") + TempDir::kSeparator + name},
        {"rel/", nullptr, std::string(real) + TempDir::kSeparator + "rel/" + name},
        {dir.path(), "1", ""},
        {dir.file("missing/dumps"), nullptr, "no log"},
    };
    for (const auto& row : rows) {
        fresh();
        setenv("ZEP_RNE_DUMP_PATH", row.path.c_str(), 1);
        setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
        if (row.no_map) setenv("ZEP_ZOLTA_NO_MAP_LOGS", row.no_map, 1);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        ZOLTA_LogU32("mapped", 3);
        ASSERT_EQ(chdir(cwd), 0);
        const ThreadLog* log = ZOLTA_GetThreadLog();
        if (row.backing == "no log") {
            EXPECT_EQ(log, nullptr);
            EXPECT_EQ(ZOLTA_StartThreadLog(), nullptr);
            EXPECT_EQ(zolta_live_log_count(), 0);
            continue;
        }
        ASSERT_NE(log, nullptr) << row.path;
        const char* backing = zolta_backing_file(log);
        EXPECT_EQ(backing != nullptr ? backing : "", row.backing);
        if (row.backing.empty()) continue;
        struct stat st;
        ASSERT_EQ(stat(row.backing.c_str(), &st), 0);
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
        EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
        EXPECT_EQ(st.st_size, 20000 + static_cast<off_t>(ZOLTA_HEADER_SIZE));
        RneLog r;  // the live log, readable as it stands
        ASSERT_TRUE(rne_read_file(row.backing.c_str(), &r)) << r.error;
        ASSERT_EQ(r.events.size(), 1u);
        EXPECT_EQ(r.events[0].value, 3u);
        zolta_reset_for_tests();
        EXPECT_FALSE(file_exists(row.backing)) << "releasing the log deletes its file";
    }
}

void log_sample_events() {
    ZOLTA_LogU32("ABCDEFG", 1);
    ZOLTA_LogText("GSWITCH", "SupportHexFloatFormat=0 from: default");
    ZOLTA_LogAddress("CONTEXT_RECORD__Rip", 0xFFFF800012345678ull);
    ZOLTA_LogInteger("rnedump_abort_signal", 11);
    ZOLTA_LogText("note", nullptr);
    ZOLTA_LogEvent("extra", "with extra", 19, 0xABCD);
    uint32_t bare = 42;
    ZOLTA_LogEvent("", &bare, 21, 0);
}

std::string described(const RneLog& r) {
    std::ostringstream s;
    for (const RneEvent& e : r.events)
        s << e.type << ' ' << e.name << '=' << (e.has_text ? e.text : "-") << '/' << std::hex << e.value << '/'
          << e.extra << '@' << e.counter << std::dec << '\n';
    return s.str();
}

TEST_F(EventLog, TheDumpWritesTheHeaderAndDataAndReadsBack) {
    TempDir dir;
    ThreadLog* log = ZOLTA_StartThreadLog();
    log_sample_events();
    g_counter = 0xB00000001ull;  // the dump counter
    write_file(rne_name(dir, plat_thread_id()), std::string(100000, 'x'));  // written over, not truncated
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    EXPECT_EQ(log->writing_file, 0) << "cleared after the write";

    const std::string file = rne_name(dir, plat_thread_id()), bytes = read_file(file);
    ASSERT_EQ(bytes.size(), 100000u);
    EXPECT_EQ(bytes.find_first_not_of('x', ZOLTA_HEADER_SIZE + written(log).size()), std::string::npos);
    RneLog r;
    ASSERT_TRUE(rne_read_file(file.c_str(), &r)) << r.error;
    EXPECT_EQ(described(r), "6 ABCDEFG=-/1/0@a12345678\n"
                            "4 GSWITCH=SupportHexFloatFormat=0 from: default/0/0@a12345678\n"
                            "12 CONTEXT_RECORD__Rip=-/ffff800012345678/0@a12345678\n"
                            "14 rnedump_abort_signal=-/b/0@a12345678\n"
                            "4 note=-/0/0@a12345678\n"
                            "19 extra=with extra/0/abcd@a12345678\n"
                            "21 =-/2a/0@a12345678\n");
    EXPECT_EQ(described(read(log)), described(r));
    EXPECT_EQ(r.thread_id, plat_thread_id());
    EXPECT_EQ(r.start_counter, 0xA12345678ull);
    EXPECT_EQ(r.dump_counter, 0xB00000001ull);
    EXPECT_GE(r.dump_time_ns, r.start_time_ns);
    EXPECT_GT(r.start_time_ns, 1500000000ull * 1000000000ull);  // after 2017
    EXPECT_EQ(r.data_size, ZOLTA_DEFAULT_LOG_SIZE);
    char exe[ZOLTA_PATH_SIZE];
    plat_module_file_name(exe, sizeof exe);
    EXPECT_EQ(r.program_path, exe);
    EXPECT_TRUE(r.writing_file);
    EXPECT_FALSE(r.wrapped);

    EXPECT_EQ(ZOLTA_WriteRNEFile(dir.file("missing").c_str(), log, plat_process_id()), 0);
    EXPECT_EQ(ZOLTA_WriteRNEFile(std::string(5000, 'd').c_str(), log, plat_process_id()), 0);
    EXPECT_EQ(log->writing_file, 0);
}

void put(std::string& b, size_t at, uint64_t v, int bytes = 8) {
    for (int i = 0; i < bytes; ++i) b[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}
uint64_t get(const std::string& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
    return v;
}

// The reader refuses damage with a message and recovers the newest events
// after it.  The image: a header and three 24-byte events.
TEST_F(EventLog, DamagedInputIsRefusedWithTheEventsAfterTheDamage) {
    ThreadLog* log = ZOLTA_StartThreadLog();
    for (uint32_t i = 0; i < 3; ++i) ZOLTA_LogU32("ABCDEFG", i);
    const std::vector<uint8_t> data = written(log);
    const std::string image = std::string(reinterpret_cast<const char*>(log), ZOLTA_HEADER_SIZE) +
                              std::string(data.begin(), data.end());
    const size_t H = ZOLTA_HEADER_SIZE, end = image.size();
    const uint64_t pos = get(image, 16), start = get(image, 32);
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
        {"header cut short", [](std::string& b) { b.resize(100); }, 0, "shorter than a log header"},
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

TEST(RneCounterTime, ConvertsThroughTheStartAndDumpPairs) {
    RneLog log;  // 2000 ns over 4000 ticks
    log.start_time_ns = 1700000000000000000ull, log.start_counter = 1000;
    log.dump_time_ns = 1700000000000002000ull, log.dump_counter = 5000;
    const struct { uint64_t dump_time, dump_counter, counter; bool ok; int64_t ns; } rows[] = {
        {log.dump_time_ns, 5000, 3000, true, 1700000000000001000ll},
        {log.dump_time_ns, 5000, 1000, true, 1700000000000000000ll},
        {log.dump_time_ns, 5000, 0, true, 1699999999999999500ll},
        {0, 5000, 3000, false, 0},                   // never dumped
        {log.dump_time_ns, 10, 3000, false, 0},      // the counter ran backwards
        {log.dump_time_ns, 5000, UINT64_MAX, false, 0},  // out of range
    };
    for (const auto& row : rows) {
        log.dump_time_ns = row.dump_time, log.dump_counter = row.dump_counter;
        int64_t ns = 0;
        EXPECT_EQ(rne_counter_to_unix_ns(log, row.counter, &ns), row.ok) << row.counter;
        EXPECT_EQ(ns, row.ok ? row.ns : 0) << row.counter;
    }
}

std::map<std::string, std::string> reports(const std::string& out) {
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    for (std::string k, v; in >> k >> v;) m[k] = v;
    return m;
}

// In a process of its own (the probe): a worker's backing file lives
// exactly as long as the worker; with a dump directory the worker's end and
// the main thread's exit each write an RNE file, timed by real clocks.
TEST(EventLogProcess, BackingFilesAndThreadEndFiles) {
    TempDir maps, dumps;
    const std::vector<std::string> env = {"ZEP_ZOLTA_LOG_SIZE=64K", "ZEP_ZOLTA_LOG_BYTES", "ZEP_ZOLTA_NO_MAP_LOGS",
                                          "ZEP_RNE_DUMP_PATH=" + maps.path()};
    for (const bool dump : {false, true}) {
        const Outcome r = run_program({SYMKEEP_PROBE, "log-thread", dump ? dumps.path() : ""}, env);
        ASSERT_EQ(r.status, 0) << r.err;
        auto rep = reports(r.out);
        const std::string pid = rep["pid"], worker = pid + "_" + rep["worker_tid"], main = pid + "_" + rep["tid"];
        EXPECT_EQ(rep["main_file"], maps.file(main + "_map.rne"));
        EXPECT_EQ(rep["worker_file"], maps.file(worker + "_map.rne"));
        EXPECT_EQ(rep["worker_file_while_running"], "present");
        EXPECT_EQ(rep["worker_file_after_end"], "absent");
        EXPECT_EQ(files_in(maps.path()), std::vector<std::string>{}) << "the main thread's went with the exit";
        if (!dump) continue;
        EXPECT_EQ(files_in(dumps.path()), (std::vector<std::string>{std::min(worker, main) + ".rne",
                                                                   std::max(worker, main) + ".rne"}));
        RneLog w, m;
        ASSERT_TRUE(rne_read_file(dumps.file(worker + ".rne").c_str(), &w)) << w.error;
        ASSERT_TRUE(rne_read_file(dumps.file(main + ".rne").c_str(), &m)) << m.error;
        ASSERT_EQ(w.events.size(), 2u);
        EXPECT_EQ(w.events[0].name + "=" + std::to_string(w.events[0].value) + " " + w.events[1].text, "worker=7 running");
        EXPECT_EQ(std::to_string(w.thread_id), rep["worker_tid"]);
        EXPECT_EQ(w.data_size, 65536u);
        ASSERT_EQ(m.events.size(), 2u);
        EXPECT_EQ(m.events[0].name + " " + m.events[1].text, "main returning");
        EXPECT_EQ(m.start_counter, w.start_counter);
        int64_t ns = 0;
        ASSERT_TRUE(rne_counter_to_unix_ns(m, m.events[1].counter, &ns));
        EXPECT_GE(ns, static_cast<int64_t>(m.start_time_ns) - 1000000);
        EXPECT_LE(ns, static_cast<int64_t>(m.dump_time_ns) + 1000000);
    }
}

#ifndef _WIN32  // fork exists only there
TEST(EventLogProcess, AForkedChildMakesItsOwnLog) {
    const Outcome r = run_program({SYMKEEP_PROBE, "fork"}, {"ZEP_RNE_DUMP_PATH"});
    EXPECT_EQ(r.out, "child own\nparent_events 1\n") << r.err;
}
#endif

}  // namespace
