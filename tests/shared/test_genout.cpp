// Diagnostics: the line layout, the severity words and counters, the system
// error text and the single-newline rule, and the copy into the event log.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "shared/eventlog/rnereader.h"
#include "shared/geninit.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "support/child.h"

namespace {

void init_as_symkeep() { gen_init("/opt/tools/symkeep", 0, 0); }

std::string errtext(int e) { return std::strerror(e); }

struct LayoutCase {
    const char* what;
    uint32_t code;
    const char* format;
    int err;
    std::string expected;
};

TEST(Diagnostics, LineLayoutPerSeverity) {
    const LayoutCase cases[] = {
        {"plain report", 0, "done", 0, "symkeep: done\n"},
        {"disaster", 1, "boom", 0, "symkeep: disaster: boom\n"},
        {"fatal", 2, "stop", 0, "symkeep: fatal: stop\n"},
        {"error", 3, "Attempt to close NULL file %s", 0, "symkeep: error: Attempt to close NULL file x\n"},
        {"warning", 4, "odd", 0, "symkeep: warning: odd\n"},
        {"info", 5, "note", 0, "symkeep: info: note\n"},
        {"plain message has no name", 6, "bare", 0, "bare\n"},
        {"system text appended", 102, "Error writing to file", EIO,
         "symkeep: fatal: Error writing to file: " + errtext(EIO) + "\n"},
        {"no system text when errno is 0", 102, "Error writing to file", 0,
         "symkeep: fatal: Error writing to file\n"},
        {"format ending in newline gets no second one", 3, "line\n", 0, "symkeep: error: line\n"},
        {"format of just a newline", 4, "\n", 0, "symkeep: warning: \n"},
        {"system text with a format ending in newline", 103, "x\n", ENOENT,
         "symkeep: error: x\n: " + errtext(ENOENT) + "\n"},
        {"unknown code: name, no word", 50, "odd code", 0, "symkeep: odd code\n"},
        {"unknown code above 106", 107, "odd code", 0, "symkeep: odd code\n"},
    };
    for (const LayoutCase& c : cases) {
        Outcome r = run_in_child([&] {
            init_as_symkeep();
            errno = c.err;
            gen_message(c.code, c.format, "x");
        });
        EXPECT_EQ(r.err, c.expected) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
    }
}

TEST(Diagnostics, NoProgramNameBeforeInit) {
    Outcome r = run_in_child([] { gen_error("early %d", 1); });
    EXPECT_EQ(r.err, "error: early 1\n");
}

TEST(Diagnostics, EarlierStandardOutputComesFirst) {
    Outcome r = run_in_child([] {
        init_as_symkeep();
        std::printf("normal output");
        gen_warning("after it");
        std::printf("!");
    });
    // stdout was flushed before the diagnostic was written.
    EXPECT_EQ(r.out, "normal output!");
    EXPECT_EQ(r.err, "symkeep: warning: after it\n");
}

TEST(Diagnostics, WrappersUseTheirCodes) {
    Outcome r = run_in_child([] {
        init_as_symkeep();
        errno = ENOSPC;
        gen_fatal("cannot write %s", "out");
        gen_error("e");
        gen_warning("w");
        gen_info("i");
    });
    EXPECT_EQ(r.err, "symkeep: fatal: cannot write out: " + errtext(ENOSPC) +
                         "\nsymkeep: error: e\nsymkeep: warning: w\nsymkeep: info: i\n");
}

TEST(Diagnostics, CountersBySeverity) {
    Outcome r = run_in_child([] {
        std::memset(gen_error_count, 0, sizeof gen_error_count);
        gen_error_total = 0;
        for (uint32_t code : {0u, 1u, 2u, 3u, 3u, 4u, 5u, 6u, 102u, 50u}) gen_message(code, "m");
        std::printf("%u %u %u %u %u %u %u total %u", gen_error_count[0], gen_error_count[1], gen_error_count[2],
                    gen_error_count[3], gen_error_count[4], gen_error_count[5], gen_error_count[6],
                    gen_error_total);
    });
    // Code 102 counts as fatal; code 50 is not counted anywhere.
    EXPECT_EQ(r.out, "1 1 2 2 1 1 1 total 6");
}

TEST(Diagnostics, ErrnoIsClearedOnlyAfterAnAppendedText) {
    Outcome r = run_in_child([] {
        errno = EACCES;
        gen_fatal("x");
        int after_fatal = errno;
        errno = EACCES;
        gen_error("y");
        std::printf("%d %d", after_fatal, errno);
    });
    EXPECT_EQ(r.out, "0 " + std::to_string(EACCES));
}

TEST(Diagnostics, AlternativeWords) {
    Outcome r = run_in_child([] {
        init_as_symkeep();
        AltPrefixStyle = true;
        gen_message(0, "a");
        gen_message(3, "b");
        gen_message(1, "c");
    });
    EXPECT_EQ(r.err, "symkeep: ERROR: a\nsymkeep: ERROR: b\nsymkeep: ERROR: DISASTER: c\n");
}

TEST(Diagnostics, LogCopyCarriesPrefixesWithoutNewline) {
    Outcome r = run_in_child([] {
        init_as_symkeep();
        errno = ENOENT;
        gen_fatal("gone %s", "f");
        RneLog log;
        rne_read_thread_log(ZOLTA_GetThreadLog(), &log);
        if (!log.events.empty()) std::printf("%s|%s", log.events.back().name.c_str(), log.events.back().text.c_str());
    });
    EXPECT_EQ(r.out, "fatal|symkeep: fatal: gone f: " + errtext(ENOENT));

    r = run_in_child([] {
        gen_message(6, "plain\n");
        RneLog log;
        rne_read_thread_log(ZOLTA_GetThreadLog(), &log);
        if (!log.events.empty()) std::printf("%s|%s", log.events.back().name.c_str(), log.events.back().text.c_str());
    });
    EXPECT_EQ(r.out, "DOMESSAGE Unknown Code|plain");
}

TEST(Diagnostics, LongMessagePrintedWholeLogCopyCut) {
    std::string long_text(6000, 'q');
    Outcome r = run_in_child([&] {
        init_as_symkeep();
        gen_error("%s", long_text.c_str());
        RneLog log;
        rne_read_thread_log(ZOLTA_GetThreadLog(), &log);
        if (!log.events.empty()) std::printf("%zu", log.events.back().text.size());
    });
    EXPECT_EQ(r.err, "symkeep: error: " + long_text + "\n");
    EXPECT_EQ(r.out, "4095");
}

TEST(Diagnostics, FormatAllocMeasuresThenFormats) {
    char* s = gen_format_alloc("%s-%I64x-%5d", "abc", uint64_t{0x1234567890}, 42);
    EXPECT_STREQ(s, "abc-1234567890-   42");
    FreeHook(s);
}

}  // namespace
