// RNE files and the reader: the file written from a log, read back; damaged
// and truncated input; the counter-to-time conversion.
#include <sys/stat.h>

#include <random>
#include <string>

#include "eventlog_fixture.h"
#include "platform/platform.h"
#include "support/harness.h"

namespace {

using RneFileTest = EventLogTest;

std::string rne_name(const TempDir& dir, uint32_t tid) {
    return dir.file(std::to_string(plat_process_id()) + "_" + std::to_string(tid) + ".rne");
}

std::vector<uint8_t> as_bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

uint64_t get64(const std::vector<uint8_t>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | b[at + static_cast<size_t>(i)];
    return v;
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    put32(b, at, static_cast<uint32_t>(v));
    put32(b, at + 4, static_cast<uint32_t>(v >> 32));
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

void expect_sample_events(const std::vector<RneEvent>& ev) {
    ASSERT_EQ(ev.size(), 7u);
    EXPECT_EQ(ev[0].type, 6u);
    EXPECT_EQ(ev[0].name, "ABCDEFG");
    EXPECT_EQ(ev[0].value, 1u);
    EXPECT_EQ(ev[1].type, 4u);
    EXPECT_EQ(ev[1].name, "GSWITCH");
    EXPECT_TRUE(ev[1].has_text);
    EXPECT_EQ(ev[1].text, "SupportHexFloatFormat=0 from: default");
    EXPECT_EQ(ev[2].type, 12u);
    EXPECT_EQ(ev[2].value, 0xFFFF800012345678ull);
    EXPECT_EQ(ev[3].type, 14u);
    EXPECT_EQ(ev[3].name, "rnedump_abort_signal");
    EXPECT_EQ(ev[3].value, 11u);
    EXPECT_EQ(ev[4].name, "note");
    EXPECT_FALSE(ev[4].has_text);
    EXPECT_EQ(ev[5].type, 19u);
    EXPECT_EQ(ev[5].text, "with extra");
    EXPECT_EQ(ev[5].extra, 0xABCDu);
    EXPECT_EQ(ev[6].type, 21u);
    EXPECT_EQ(ev[6].value, 42u);
    for (const RneEvent& e : ev) EXPECT_EQ(e.counter, 0x0000000A12345678ull);
}

TEST_F(RneFileTest, DumpWritesHeaderAndDataAndReadsBack) {
    TempDir dir;
    ThreadLog* log = ZOLTA_StartThreadLog();
    log_sample_events();
    test_counter() = 0x0000000B00000001ull;  // the dump counter
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    EXPECT_EQ(log->writing_file, 0) << "cleared after the write";
    EXPECT_EQ(log->dump_counter, 0x0000000B00000001ull);

    const std::string file = rne_name(dir, plat_thread_id());
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
#ifndef _WIN32  // no POSIX modes: the C runtime shows every writable file as 0666
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    const auto bytes = as_bytes(read_file(file));
    ASSERT_EQ(bytes.size(), ZOLTA_HEADER_SIZE + (log->write_pos - log->data_start));
    EXPECT_EQ(bytes[72], 1) << "file-writing flag set in the file";
    EXPECT_EQ(get64(bytes, 104), 0x0000000B00000001ull);
    const uint64_t dump_time = get64(bytes, 88);
    EXPECT_GE(dump_time, log->start_time_ns);
    // The data follows the header byte for byte.
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(log->data_start));
    EXPECT_TRUE(std::equal(bytes.begin() + ZOLTA_HEADER_SIZE, bytes.end(), data));

    RneLog from_file;
    ASSERT_TRUE(rne_parse(bytes.data(), bytes.size(), &from_file)) << from_file.error;
    expect_sample_events(from_file.events);
    EXPECT_EQ(from_file.thread_id, plat_thread_id());
    EXPECT_EQ(from_file.dump_time_ns, dump_time);
    EXPECT_EQ(from_file.start_counter, 0x0000000A12345678ull);
    EXPECT_EQ(from_file.data_size, ZOLTA_DEFAULT_LOG_SIZE);
    EXPECT_TRUE(from_file.writing_file);
    EXPECT_FALSE(from_file.wrapped);

    RneLog live;
    ASSERT_TRUE(rne_read_thread_log(log, &live)) << live.error;
    expect_sample_events(live.events);
}

TEST_F(RneFileTest, AnExistingFileIsWrittenOverNotTruncated) {
    TempDir dir;
    ZOLTA_StartThreadLog();
    ZOLTA_LogU32("value", 5);
    const std::string file = rne_name(dir, plat_thread_id());
    write_file(file, std::string(100000, 'x'));
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    const std::string bytes = read_file(file);
    EXPECT_EQ(bytes.size(), 100000u);
    EXPECT_EQ(bytes[ZOLTA_HEADER_SIZE + 24], 'x') << "old bytes stay behind the data";
    RneLog read;
    ASSERT_TRUE(rne_read_file(file.c_str(), &read)) << read.error;
    ASSERT_EQ(read.events.size(), 1u);
    EXPECT_EQ(read.events[0].value, 5u);
}

TEST_F(RneFileTest, WrappedLogFileHoldsNewerLapThenTheRestOfTheOlder) {
    setenv("ZEP_ZOLTA_LOG_SIZE", "20000", 1);
    TempDir dir;
    ThreadLog* log = ZOLTA_StartThreadLog();
    for (uint32_t i = 0; i < 145; ++i) ZOLTA_LogU32("ABCDEFG", i);
    ZOLTA_DumpAllRNEFiles(dir.path().c_str());
    const std::string file = rne_name(dir, plat_thread_id());
    EXPECT_EQ(read_file(file).size(), ZOLTA_HEADER_SIZE + (log->wrap_mark - log->data_start));
    RneLog read;
    ASSERT_TRUE(rne_read_file(file.c_str(), &read)) << read.error;
    ASSERT_EQ(read.events.size(), 145u - 5);
    EXPECT_EQ(read.events.front().value, 5u);
    EXPECT_EQ(read.events.back().value, 144u);
}

TEST_F(RneFileTest, UnwritableDirectoryWritesNothing) {
    ThreadLog* log = ZOLTA_StartThreadLog();
    EXPECT_EQ(ZOLTA_WriteRNEFile("/nonexistent/dir", log, plat_process_id()), 0);
    EXPECT_EQ(log->writing_file, 0);
    EXPECT_EQ(ZOLTA_WriteRNEFile(std::string(5000, 'd').c_str(), log, plat_process_id()), 0);
}

// A valid file image of three 24-byte events, for the damage cases.
std::vector<uint8_t> three_events_image() {
    zolta_reset_for_tests();
    ThreadLog* log = ZOLTA_StartThreadLog();
    for (uint32_t i = 0; i < 3; ++i) ZOLTA_LogU32("ABCDEFG", i);
    std::vector<uint8_t> b(reinterpret_cast<const uint8_t*>(log),
                           reinterpret_cast<const uint8_t*>(log) + ZOLTA_HEADER_SIZE);
    const std::vector<uint8_t> data = written_bytes(log);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

TEST_F(RneFileTest, DamagedInputIsRefusedWithTheEventsAfterTheDamage) {
    const size_t H = ZOLTA_HEADER_SIZE;
    struct Case {
        const char* what;
        void (*damage)(std::vector<uint8_t>&);
        size_t events;  // recovered
        const char* error;
    };
    const Case cases[] = {
        {"intact", [](std::vector<uint8_t>&) {}, 3, ""},
        {"format byte", [](std::vector<uint8_t>& b) { b[2] = 'X'; }, 0, "not an event log"},
        {"write position before data", [](std::vector<uint8_t>& b) { put64(b, 16, get64(b, 32) - 4); }, 0,
         "before the data start"},
        {"write position off a word", [](std::vector<uint8_t>& b) { put64(b, 16, get64(b, 16) - 2); }, 0,
         "word boundary"},
        {"write position past the file", [](std::vector<uint8_t>& b) { put64(b, 16, get64(b, 16) + 4); }, 0,
         "shorter than the write position"},
        {"wrap mark past the file", [](std::vector<uint8_t>& b) { put64(b, 56, get64(b, 16) + 400); }, 3,
         "shorter than the wrap mark"},
        {"newest name length zero", [](std::vector<uint8_t>& b) { put32(b, b.size() - 8, 0); }, 0,
         "bad name length"},
        {"newest name length too long", [](std::vector<uint8_t>& b) { put32(b, b.size() - 8, 260); }, 0,
         "bad name length"},
        {"oldest name length beyond the start", [](std::vector<uint8_t>& b) { put32(b, H + 16, 12); }, 2,
         "before the data start"},
        {"oldest name unterminated", [](std::vector<uint8_t>& b) { b[H + 11] = 'Z'; }, 2, "terminating zero"},
        {"unknown type with wild lengths",
         [](std::vector<uint8_t>& b) {
             put32(b, H + 44, 0xFFFFFFFF);
             put32(b, H + 40, 0x7FFF0008);
         },
         1, "bad name or text length"},
        {"header cut short", [](std::vector<uint8_t>& b) { b.resize(100); }, 0, "shorter than a log header"},
        {"data cut short", [](std::vector<uint8_t>& b) { b.resize(b.size() - 1); }, 0,
         "shorter than the write position"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = three_events_image();
        c.damage(b);
        RneLog read;
        const bool ok = rne_parse(b.data(), b.size(), &read);
        EXPECT_EQ(ok, c.error[0] == '\0') << c.what;
        EXPECT_NE(read.error.find(c.error), std::string::npos) << c.what << ": " << read.error;
        ASSERT_EQ(read.events.size(), c.events) << c.what;
        // What is recovered is the newest events, oldest first.
        for (size_t k = 0; k < read.events.size(); ++k) EXPECT_EQ(read.events[k].value, 3 - c.events + k) << c.what;
    }
}

TEST(RneCounterTime, ConvertsThroughTheStartAndDumpPairs) {
    RneLog log;
    log.start_time_ns = 1700000000000000000ull;
    log.start_counter = 1000;
    log.dump_time_ns = 1700000000000002000ull;  // 2000 ns over 4000 ticks
    log.dump_counter = 5000;
    int64_t ns = 0;
    ASSERT_TRUE(rne_counter_to_unix_ns(log, 3000, &ns));
    EXPECT_EQ(ns, 1700000000000001000ll);
    ASSERT_TRUE(rne_counter_to_unix_ns(log, 1000, &ns));
    EXPECT_EQ(ns, 1700000000000000000ll);
    ASSERT_TRUE(rne_counter_to_unix_ns(log, 0, &ns));
    EXPECT_EQ(ns, 1699999999999999500ll);

    RneLog never_dumped = log;
    never_dumped.dump_time_ns = 0;
    EXPECT_FALSE(rne_counter_to_unix_ns(never_dumped, 3000, &ns));
    RneLog backwards = log;
    backwards.dump_counter = 10;
    EXPECT_FALSE(rne_counter_to_unix_ns(backwards, 3000, &ns));
    EXPECT_FALSE(rne_counter_to_unix_ns(log, UINT64_MAX, &ns)) << "out of range";
}

}  // namespace
