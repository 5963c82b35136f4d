// Event-log writer: size variables, byte-exact record encodings, clock
// records, the wrap, the re-entry guard, errno, per-thread logs and their
// release, and file-backed storage.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <cerrno>
#include <string>
#include <thread>

#include "eventlog_fixture.h"
#include "platform/platform.h"
#include "support/child.h"
#include "support/harness.h"

namespace {

struct SizeCase {
    const char* size;
    const char* bytes;
    uint32_t expected;
};

TEST(ZoltaLogSize, ParsesBothVariablesWithTheirFallbacks) {
    const uint32_t def = ZOLTA_DEFAULT_LOG_SIZE;
    const SizeCase cases[] = {
        {nullptr, nullptr, def},
        {"64K", nullptr, 65536},
        {"64k", nullptr, 65536},
        {"1G", nullptr, 1073741824u},
        {"3g", nullptr, 3221225472u},
        {"2m", nullptr, 2097152},
        {"4G", nullptr, def},          // does not fit 32 bits
        {"4194303K", nullptr, 4294966272u},
        {"4194304K", nullptr, def},
        {"16K", nullptr, def},         // below the smallest size
        {"20000", nullptr, 20000},
        {" +20000", nullptr, 20000},   // leading space and sign
        {"16656", nullptr, 16656},
        {"16655", nullptr, def},
        {"64KB", nullptr, def},        // two characters follow
        {"0", nullptr, def},
        {"-5", nullptr, def},
        {"12x", nullptr, def},
        {"", nullptr, def},
        {"K", nullptr, def},
        {"99999999999999999999", nullptr, def},  // overflow
        {"4G", "100000", 100000},      // rejected size falls back to bytes
        {"64KB", "100000x", def},
        {nullptr, "100000", 100000},
        {nullptr, "100000x", def},
        {nullptr, "100000 ", def},
        {nullptr, "64K", def},         // no multiplier for bytes
        {nullptr, "16655", def},
        {nullptr, "16656", 16656},
        {nullptr, "4294967296", def},
        {"20000", "100000", 20000},    // a valid size wins
    };
    for (const SizeCase& c : cases) {
        errno = 77;
        EXPECT_EQ(zolta_parse_log_size(c.size, c.bytes), c.expected)
            << "size=" << (c.size ? c.size : "(unset)") << " bytes=" << (c.bytes ? c.bytes : "(unset)");
        EXPECT_EQ(errno, 77);
    }
}

using ZoltaTest = EventLogTest;

TEST_F(ZoltaTest, SizeIsReadAtTheFirstLogAndSmallSizesStillHoldTheLargestRecord) {
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    ThreadLog* log = ZOLTA_StartThreadLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(zolta_log_size(), 20000u);
    EXPECT_EQ(log->wrap_limit - log->data_start, 20000u - ZOLTA_MAX_RECORD);

    // Fixed for the process: a later change of the variable does nothing.
    setenv("ZEP_ZOLTA_LOG_SIZE", "64K", 1);
    std::thread([] { ZOLTA_LogU32("other", 1); }).join();
    EXPECT_EQ(zolta_log_size(), 20000u);

    zolta_reset_for_tests();
    setenv("ZEP_ZOLTA_LOG_SIZE", "16656", 1);
    log = ZOLTA_StartThreadLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(zolta_log_size(), ZOLTA_MAX_RECORD);
    EXPECT_EQ(log->wrap_limit, log->data_start);
    // The largest record right after a wrap, with a clock record before it,
    // lands exactly in the region.
    const std::string name(400, 'n'), text(20000, 't');
    ZOLTA_LogEvent(name.c_str(), text.c_str(), 18, 5);
    test_counter() += uint64_t{1} << 32;
    ZOLTA_LogEvent(name.c_str(), text.c_str(), 18, 6);
    EXPECT_EQ(log->write_pos, log->data_start + ZOLTA_MAX_RECORD);
    EXPECT_EQ(log->wrap_mark, log->data_start + ZOLTA_MAX_RECORD - 8);
}

TEST_F(ZoltaTest, HeaderOfANewLog) {
    ThreadLog* log = ZOLTA_GetThreadLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->busy, 1) << "a newly created log comes back busy";
    log->busy = 0;
    const auto* h = reinterpret_cast<const uint8_t*>(log);
    EXPECT_EQ(h[0], 0x12);
    EXPECT_EQ(h[1], 2);
    EXPECT_EQ(h[2], 'D');
    EXPECT_EQ(log->write_pos, log->data_start);
    EXPECT_EQ(log->wrap_limit, log->data_start + ZOLTA_DEFAULT_LOG_SIZE - ZOLTA_MAX_RECORD);
    EXPECT_EQ(log->wrap_mark, 0u);
    EXPECT_EQ(log->handed_out, 1);
    EXPECT_EQ(log->counter_high, 0xAu);
    EXPECT_EQ(log->thread_id, plat_thread_id());
    EXPECT_EQ(log->start_counter, test_counter());
    EXPECT_GT(log->start_time_ns, 1500000000ull * 1000000000ull);  // after 2017
    EXPECT_EQ(log->dump_time_ns, 0u);
    EXPECT_EQ(zolta_backing_file(log), nullptr);  // no dump path: on the heap
    char exe[ZOLTA_PATH_SIZE];
    plat_module_file_name(exe, sizeof exe);
    EXPECT_STREQ(log->program_path, exe);
    EXPECT_EQ(ZOLTA_StartThreadLog(), log);
    EXPECT_EQ(ZOLTA_GetThreadLog(), log);
}

// Each event kind's record, byte for byte; the first two are the sizes the
// format documents (24 and 60 bytes).
TEST_F(ZoltaTest, RecordLayouts) {
    struct Case {
        const char* what;
        void (*log)();
        std::vector<uint8_t> expected;
    };
    static const std::string kSwitchText = "SupportHexFloatFormat=0 from: default";  // 37 characters
    const Case cases[] = {
        {"32-bit value, seven-character name", [] { ZOLTA_LogU32("ABCDEFG", 1); },
         Bytes().word(0x12345678).field("ABCDEFG").word(1).word(8).word(6).get()},
        {"switch text", [] { ZOLTA_LogText("GSWITCH", kSwitchText.c_str()); },
         Bytes().word(0x12345678).field("GSWITCH").field(kSwitchText).word((40u << 16) | 8).word(4).get()},
        {"address", [] { ZOLTA_LogAddress("a", 0x1122334455667788ull); },
         Bytes().word(0x12345678).field("a").word(0x55667788).word(0x11223344).word(4).word(12).get()},
        {"integer", [] { ZOLTA_LogInteger("sig", 11); },
         Bytes().word(0x12345678).field("sig").word(11).word(0).word(4).word(14).get()},
        {"null text", [] { ZOLTA_LogText("note", nullptr); },
         Bytes().word(0x12345678).field("note").word(8).word(4).get()},
        {"empty text", [] { ZOLTA_LogText("", ""); },
         Bytes().word(0x12345678).field("").field("").word((4u << 16) | 4).word(4).get()},
        {"text with extra word", [] { ZOLTA_LogEvent("x", "yz", 18, 0xCAFE); },
         Bytes().word(0x12345678).field("x").field("yz").word((4u << 16) | 4).word(0xCAFE).word(18).get()},
        {"bare value", [] { uint32_t v = 99; ZOLTA_LogEvent("ignored", &v, 20, 0); },
         Bytes().word(0x12345678).word(99).word(20).get()},
        {"another text type", [] { ZOLTA_LogEvent("t", "abc", 30, 0); },
         Bytes().word(0x12345678).field("t").field("abc").word((4u << 16) | 4).word(30).get()},
        {"clock type is refused", [] { ZOLTA_LogEvent("t", "abc", 3, 0); }, {}},
    };
    ASSERT_EQ(cases[0].expected.size(), 24u);
    ASSERT_EQ(cases[1].expected.size(), 60u);
    for (const Case& c : cases) {
        zolta_reset_for_tests();
        ThreadLog* log = ZOLTA_StartThreadLog();
        c.log();
        EXPECT_EQ(written(log), c.expected) << c.what;
        EXPECT_EQ(log->busy, 0) << c.what;
    }
}

TEST_F(ZoltaTest, NameAndTextLengthsAndTruncation) {
    struct Case {
        size_t name_len;
        size_t text_len;
        uint32_t n;  // name field bytes
        uint32_t m;  // text field bytes
    };
    const Case cases[] = {
        {0, 1, 4, 4},     {3, 3, 4, 4},           {4, 4, 8, 8},          {7, 8, 8, 12},
        {254, 16382, 256, 16384}, {255, 16383, 256, 16384}, {256, 16384, 256, 16384},
        {300, 20000, 256, 16384},
    };
    for (const Case& c : cases) {
        zolta_reset_for_tests();
        ThreadLog* log = ZOLTA_StartThreadLog();
        std::string name(c.name_len, 'n'), text(c.text_len, 't');
        for (size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char>('a' + i % 26);
        ZOLTA_LogText(name.c_str(), text.c_str());
        const auto bytes = written(log);
        ASSERT_EQ(bytes.size(), 4 + c.n + c.m + 8) << c.name_len << "/" << c.text_len;
        const uint32_t lengths = bytes[bytes.size() - 8] | bytes[bytes.size() - 7] << 8 |
                                 bytes[bytes.size() - 6] << 16 | bytes[bytes.size() - 5] << 24;
        EXPECT_EQ(lengths, (c.m << 16) | c.n);
        const std::string stored_name(reinterpret_cast<const char*>(bytes.data() + 4));
        EXPECT_EQ(stored_name, name.substr(0, 255));
        const std::string stored_text(reinterpret_cast<const char*>(bytes.data() + 4 + c.n));
        EXPECT_EQ(stored_text, text.substr(0, 16383));
    }
}

TEST_F(ZoltaTest, ClockRecordPrecedesAnEventWhenTheCounterHighWordChanges) {
    test_counter() = 0x0000000100000010ull;
    ThreadLog* log = ZOLTA_StartThreadLog();
    test_counter() = 0x0000000100000020ull;
    ZOLTA_LogU32("a", 1);
    test_counter() = 0x0000000200000005ull;
    ZOLTA_LogU32("b", 2);
    test_counter() = 0x0000000200000006ull;
    ZOLTA_LogU32("c", 3);
    test_counter() = 0x0000000700000001ull;
    ZOLTA_LogU32("d", 4);
    const auto expected = Bytes()
                              .word(0x20).field("a").word(1).word(4).word(6)
                              .word(1).word(3)  // clock record: previous high 1
                              .word(5).field("b").word(2).word(4).word(6)
                              .word(6).field("c").word(3).word(4).word(6)
                              .word(2).word(3)
                              .word(1).field("d").word(4).word(4).word(6)
                              .get();
    EXPECT_EQ(written(log), expected);
    EXPECT_EQ(log->counter_high, 7u);

    RneLog read;
    ASSERT_TRUE(rne_read_thread_log(log, &read)) << read.error;
    ASSERT_EQ(read.events.size(), 4u);
    EXPECT_EQ(read.clock_records, 2u);
    const uint64_t counters[] = {0x100000020ull, 0x200000005ull, 0x200000006ull, 0x700000001ull};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(read.events[i].counter, counters[i]) << i;
        EXPECT_EQ(read.events[i].value, i + 1);
    }
}

// 20000 bytes leave a wrap limit 3336 bytes past the data start: 24-byte
// events 0..139 start at or below it, event 140 starts beyond it and wraps.
TEST_F(ZoltaTest, WrapRecordsTheMarkAndTheReaderRecoversBothLaps) {
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    ThreadLog* log = ZOLTA_StartThreadLog();
    const uint32_t total = 150;
    // The high word changes with the event that wraps, so a clock record
    // sits at the data start.
    auto counter_of = [](uint32_t i) { return (i < 140 ? 0x0000000A00000000ull : 0x0000000B00000000ull) + i; };
    for (uint32_t i = 0; i < total; ++i) {
        test_counter() = counter_of(i);
        ZOLTA_LogU32("ABCDEFG", i);
        if (i == 139) {
            EXPECT_EQ(log->wrap_mark, 0u) << "the event at the limit still fits";
        }
    }
    EXPECT_EQ(log->wrap_mark - log->data_start, 140u * 24);
    EXPECT_EQ(log->write_pos - log->data_start, 8u + 10 * 24);

    // The newer lap (events 140..149) ends at 248, inside event 10: events
    // 11..139 remain of the older lap.
    RneLog read;
    ASSERT_TRUE(rne_read_thread_log(log, &read)) << read.error;
    EXPECT_TRUE(read.wrapped);
    ASSERT_EQ(read.events.size(), total - 11);
    for (size_t k = 0; k < read.events.size(); ++k) {
        const uint32_t i = static_cast<uint32_t>(k + 11);
        const RneEvent& e = read.events[k];
        EXPECT_EQ(e.value, i);
        EXPECT_EQ(e.name, "ABCDEFG");
        EXPECT_EQ(e.older_lap, i < 140) << i;
        EXPECT_EQ(e.counter, counter_of(i)) << i;
    }
    EXPECT_EQ(read.events[140 - 11].offset, 8u) << "first event of the newer lap, behind the clock record";
    EXPECT_EQ(read.events[139 - 11].offset, 139u * 24);
}

// A handler on the same thread (here: the counter read inside an event)
// that logs while an event is being written must not touch the log.
uint64_t reentering_counter() {
    ZOLTA_LogU32("nested", 99);
    return 0x0000000A00000001ull;
}

TEST_F(ZoltaTest, EventsStartedInsideAnEventAreDropped) {
    ThreadLog* log = ZOLTA_StartThreadLog();
    zolta_counter_source = reentering_counter;
    ZOLTA_LogU32("outer", 1);
    zolta_counter_source = read_test_counter;
    EXPECT_EQ(written(log), Bytes().word(1).field("outer").word(1).word(8).word(6).get());
    EXPECT_EQ(log->busy, 0);

    log->busy = 1;
    ZOLTA_LogText("while busy", "x");
    EXPECT_EQ(written(log).size(), 24u);
    log->busy = 0;
    ZOLTA_LogText("after", "x");
    EXPECT_GT(written(log).size(), 24u);
}

uint64_t errno_clobbering_counter() {
    errno = EIO;
    return 0x0000000A00000001ull;
}

TEST_F(ZoltaTest, ErrnoIsPreserved) {
    errno = 1234;
    ZOLTA_LogText("first", "creates the log");
    EXPECT_EQ(errno, 1234);
    zolta_counter_source = errno_clobbering_counter;
    ZOLTA_LogU32("second", 2);
    EXPECT_EQ(errno, 1234);
    ZOLTA_GetThreadLog();
    EXPECT_EQ(errno, 1234);
}

TEST_F(ZoltaTest, EachThreadHasItsOwnLogWithTheProcessStartPair) {
    ThreadLog* main_log = ZOLTA_StartThreadLog();
    const uint64_t start_counter = main_log->start_counter, start_time = main_log->start_time_ns;
    test_counter() += 1000;  // a later log must not take a new start pair
    ThreadLog* worker_log = nullptr;
    uint32_t worker_tid = 0;
    uint64_t worker_start_counter = 0, worker_start_time = 0;
    int count_inside = 0;
    std::thread([&] {
        ZOLTA_LogU32("worker", 5);
        worker_log = ZOLTA_GetThreadLog();
        worker_tid = plat_thread_id();
        worker_start_counter = worker_log->start_counter;
        worker_start_time = worker_log->start_time_ns;
        count_inside = zolta_live_log_count();
        RneLog read;
        EXPECT_TRUE(rne_read_thread_log(worker_log, &read)) << read.error;
        ASSERT_EQ(read.events.size(), 1u);
        EXPECT_EQ(read.events[0].name, "worker");
        EXPECT_EQ(read.thread_id, worker_tid);
    }).join();
    EXPECT_NE(worker_log, main_log);
    EXPECT_NE(worker_tid, plat_thread_id());
    EXPECT_EQ(worker_start_counter, start_counter);
    EXPECT_EQ(worker_start_time, start_time);
    EXPECT_EQ(count_inside, 2);
    EXPECT_EQ(zolta_live_log_count(), 1) << "the worker's log is released at its end";
    EXPECT_EQ(ZOLTA_GetThreadLog(), main_log);
}

TEST_F(ZoltaTest, TableGrowsByOneSlotAndReusesEmptySlots) {
    ZOLTA_StartThreadLog();
    EXPECT_EQ(zolta_table_slots(), 1);
    std::thread([] { ZOLTA_LogU32("a", 1); }).join();
    EXPECT_EQ(zolta_table_slots(), 2);
    std::thread([] { ZOLTA_LogU32("b", 1); }).join();
    EXPECT_EQ(zolta_table_slots(), 2) << "the emptied slot is reused";
    EXPECT_EQ(zolta_live_log_count(), 1);
}

TEST_F(ZoltaTest, ConcurrentThreadsKeepTheirEventsApart) {
    ZOLTA_StartThreadLog();
    const int threads = 6;
    const uint32_t events = 2000;
    std::vector<std::thread> pool;
    std::vector<int> good(threads, 0);
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, &good, events] {
            const std::string name = "thread" + std::to_string(t);
            for (uint32_t i = 0; i < events; ++i) ZOLTA_LogU32(name.c_str(), i);
            RneLog read;
            if (!rne_read_thread_log(ZOLTA_GetThreadLog(), &read) || read.events.size() != events) return;
            for (uint32_t i = 0; i < events; ++i)
                if (read.events[i].name != name || read.events[i].value != i) return;
            good[static_cast<size_t>(t)] = 1;
        });
    }
    for (std::thread& th : pool) th.join();
    EXPECT_EQ(good, std::vector<int>(threads, 1));
    EXPECT_EQ(zolta_live_log_count(), 1);
    EXPECT_LE(zolta_table_slots(), threads + 1);
}

TEST_F(ZoltaTest, AReleasedThreadGetsNoSecondLog) {
    int count_after_release = -1;
    bool second_log = true;
    std::thread([&] {
        ZOLTA_LogU32("before", 1);
        ZOLTA_ThreadEnd(ZOLTA_GetThreadLog());
        count_after_release = zolta_live_log_count();
        ZOLTA_LogU32("after", 2);
        second_log = ZOLTA_GetThreadLog() != nullptr || ZOLTA_StartThreadLog() != nullptr;
    }).join();
    EXPECT_EQ(count_after_release, 0);
    EXPECT_FALSE(second_log);
    EXPECT_EQ(zolta_live_log_count(), 0);
}

TEST_F(ZoltaTest, ThreadEndWritesTheLogWhenADumpDirectoryIsSet) {
    TempDir dir;
    ZOLTA_SetDumpDirectory(dir.path().c_str());
    uint32_t tid = 0;
    std::thread([&] {
        tid = plat_thread_id();
        ZOLTA_LogText("worker", "last words");
    }).join();
    ZOLTA_SetDumpDirectory(nullptr);
    const std::string file = dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(tid) + ".rne");
    RneLog read;
    ASSERT_TRUE(rne_read_file(file.c_str(), &read)) << read.error;
    EXPECT_EQ(read.thread_id, tid);
    ASSERT_EQ(read.events.size(), 1u);
    EXPECT_EQ(read.events[0].text, "last words");

    // Cleared again: no file at the next thread end.
    std::thread([&] {
        tid = plat_thread_id();
        ZOLTA_LogText("worker", "quiet");
    }).join();
    EXPECT_FALSE(file_exists(dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(tid) + ".rne")));
}

TEST_F(ZoltaTest, LogsAreFileBackedWhenADumpPathIsSet) {
    TempDir dir;
    const std::string sub = dir.file("dumps");  // created with the first log
    setenv("ZEP_RNE_DUMP_PATH", sub.c_str(), 1);
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    ZOLTA_LogU32("mapped", 3);
    ThreadLog* log = ZOLTA_GetThreadLog();
    ASSERT_NE(log, nullptr);
    const char* backing = zolta_backing_file(log);
    ASSERT_NE(backing, nullptr);
    const std::string expected =
        sub + PLAT_PATH_SEPARATOR + std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) +
        "_map.rne";
    EXPECT_EQ(std::string(backing), expected);
    struct stat st;
    ASSERT_EQ(stat(expected.c_str(), &st), 0);
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    EXPECT_EQ(st.st_size, 20000 + static_cast<off_t>(ZOLTA_HEADER_SIZE));
    EXPECT_EQ(log->data_start, reinterpret_cast<uintptr_t>(log) + ZOLTA_HEADER_SIZE);

    // The file holds the live log, readable as it stands.
    RneLog read;
    ASSERT_TRUE(rne_read_file(expected.c_str(), &read)) << read.error;
    ASSERT_EQ(read.events.size(), 1u);
    EXPECT_EQ(read.events[0].name, "mapped");
    EXPECT_EQ(read.events[0].value, 3u);

    zolta_reset_for_tests();
    EXPECT_FALSE(file_exists(expected)) << "releasing the log deletes its file";
}

TEST_F(ZoltaTest, RelativeDumpPathNamesAnAbsoluteBackingFile) {
    TempDir dir;
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    setenv("ZEP_RNE_DUMP_PATH", "rel/", 1);
    ZOLTA_LogU32("x", 1);
    const char* backing = zolta_backing_file(ZOLTA_GetThreadLog());
    const std::string name = backing != nullptr ? backing : "";
    ASSERT_EQ(chdir(old_cwd), 0);  // the file must still go away from elsewhere
    char real[4096];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    EXPECT_EQ(name, std::string(real) + PLAT_PATH_SEPARATOR + "rel/" + std::to_string(plat_process_id()) + "_" +
                        std::to_string(plat_thread_id()) + "_map.rne");
    EXPECT_TRUE(file_exists(name));
    zolta_reset_for_tests();
    EXPECT_FALSE(file_exists(name));
}

TEST_F(ZoltaTest, NoMapVariableKeepsLogsOnTheHeap) {
    TempDir dir;
    setenv("ZEP_RNE_DUMP_PATH", dir.path().c_str(), 1);
#ifdef _WIN32
    setenv("ZEP_ZOLTA_NO_MAP_LOGS", "1", 1);  // the C runtime keeps no variable with an empty value
#else
    setenv("ZEP_ZOLTA_NO_MAP_LOGS", "", 1);  // being set is what counts, even to nothing
#endif
    ZOLTA_LogU32("heap", 1);
    ASSERT_NE(ZOLTA_GetThreadLog(), nullptr);
    EXPECT_EQ(zolta_backing_file(ZOLTA_GetThreadLog()), nullptr);
}

TEST_F(ZoltaTest, UncreatableDumpPathLeavesThreadsWithoutLogs) {
    TempDir dir;
    setenv("ZEP_RNE_DUMP_PATH", dir.file("missing/dumps").c_str(), 1);
    ZOLTA_LogU32("dropped", 1);
    EXPECT_EQ(ZOLTA_GetThreadLog(), nullptr);
    EXPECT_EQ(ZOLTA_StartThreadLog(), nullptr);
    EXPECT_EQ(zolta_live_log_count(), 0);
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());  // nothing to write
    EXPECT_FALSE(file_exists(dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) + ".rne")));
}

TEST_F(ZoltaTest, ForkedChildMakesItsOwnLog) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork";
#endif
    ThreadLog* parent = ZOLTA_StartThreadLog();
    ZOLTA_LogU32("parent", 1);
    const Outcome r = run_in_child([parent] {
        ZOLTA_LogU32("child", 2);
        ThreadLog* log = ZOLTA_GetThreadLog();
        RneLog read;
        rne_read_thread_log(log, &read);
        std::printf("%s %s %zu\n", log != parent ? "own" : "parent's",
                    log != nullptr && log->thread_id == plat_process_id() ? "tid-ok" : "tid-bad", read.events.size());
    });
    EXPECT_EQ(r.out, "own tid-ok 1\n");
    EXPECT_EQ(written(parent).size(), 24u) << "the parent's log is untouched";
}

}  // namespace
