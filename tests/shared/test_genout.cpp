// Diagnostics: the line layout per severity, the system error text and the
// single-newline rule, the counters, earlier output first, and the copy of
// each line in the thread's event log.
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/genmem.h"
#include "shared/genout.h"
#include "shared/gensys.h"
#include "support/harness.h"

namespace {

// The newest event of this thread's log, as "name|text".
void print_last_event() {
    RneLog log;
    rne_read_thread_log(ZOLTA_GetThreadLog(), &log);
    if (!log.events.empty()) std::printf("%s|%s", log.events.back().name.c_str(), log.events.back().text.c_str());
}

TEST(Diagnostics, WhatEachMessagePrints) {
    const std::string eio = std::strerror(EIO), enoent = std::strerror(ENOENT), long_text(6000, 'q');
    auto message = [](uint32_t code, const char* format, int error = 0) {
        return [=] { errno = error, gen_message(code, format, "x"); };
    };
    struct Row {
        const char* name;
        std::function<void()> body;
        std::string err, out = "";
        bool named = true;
    };
    const Row rows[] = {
        {"plain report", message(0, "done"), "symkeep: done\n"},
        {"disaster", message(1, "boom"), "symkeep: disaster: boom\n"},
        {"fatal", message(2, "stop"), "symkeep: fatal: stop\n"},
        {"error", message(3, "close %s"), "symkeep: error: close x\n"},
        {"warning", message(4, "odd"), "symkeep: warning: odd\n"},
        {"info", message(5, "note"), "symkeep: info: note\n"},
        {"a plain message has no name", message(6, "bare"), "bare\n"},
        {"system text appended", message(102, "Error writing", EIO), "symkeep: fatal: Error writing: " + eio + "\n"},
        {"no system text when errno is 0", message(102, "Error writing"), "symkeep: fatal: Error writing\n"},
        {"a format's newline is the line's", message(3, "line\n"), "symkeep: error: line\n"},
        {"a format of just a newline", message(4, "\n"), "symkeep: warning: \n"},
        {"system text after a newline", message(103, "x\n", ENOENT), "symkeep: error: x\n: " + enoent + "\n"},
        {"unknown code: name, no word", message(50, "odd"), "symkeep: odd\n"},
        {"unknown code above 106", message(107, "odd"), "symkeep: odd\n"},
        {"no name before start-up", message(3, "early"), "error: early\n", "", false},
        {"earlier output first", [] { std::printf("out"), gen_warning("w"), std::printf("!"); },
         "symkeep: warning: w\n", "out!"},
        {"the wrappers' words",
         [] { errno = ENOSPC, gen_fatal("no %s", "room"), gen_error("e"), gen_warning("w"), gen_info("i"); },
         "symkeep: fatal: no room: " + std::string(std::strerror(ENOSPC)) +
             "\nsymkeep: error: e\nsymkeep: warning: w\nsymkeep: info: i\n"},
        {"counters by severity (102 as fatal, 50 nowhere)",
         [] {
             std::memset(gen_error_count, 0, sizeof gen_error_count), gen_error_total = 0, errno = 0;
             for (uint32_t code : {0u, 1u, 2u, 3u, 3u, 4u, 5u, 6u, 102u, 50u}) gen_message(code, "m");
             for (uint32_t n : gen_error_count) std::printf("%u ", n);
             std::printf("total %u", gen_error_total);
         },
         "m\ndisaster: m\nfatal: m\nerror: m\nerror: m\nwarning: m\ninfo: m\nm\nfatal: m\nm\n",
         "1 1 2 2 1 1 1 total 6", false},
        {"errno cleared only after an appended text",
         [] {
             errno = EACCES, gen_fatal("x");
             const int after_fatal = errno;
             errno = EACCES, gen_error("y");
             std::printf("%d %d", after_fatal, errno == EACCES);
         },
         "symkeep: fatal: x: " + std::string(std::strerror(EACCES)) + "\nsymkeep: error: y\n", "0 1"},
        {"alternative words",
         [] {
             AltPrefixStyle = true;
             gen_message(0, "a"), gen_message(3, "b"), gen_message(1, "c");
             AltPrefixStyle = false;
         },
         "symkeep: ERROR: a\nsymkeep: ERROR: b\nsymkeep: ERROR: DISASTER: c\n"},
        {"the log copy keeps the prefixes, not the newline",
         [] { errno = ENOENT, gen_fatal("gone %s", "f"), print_last_event(); },
         "symkeep: fatal: gone f: " + enoent + "\n", "fatal|symkeep: fatal: gone f: " + enoent},
        {"a plain message's log copy", [] { gen_message(6, "plain\n"), print_last_event(); }, "plain\n",
         "DOMESSAGE Unknown Code|plain"},
        {"a long line printed whole, its log copy cut",
         [&] {
             gen_error("%s", long_text.c_str());
             RneLog log;
             rne_read_thread_log(ZOLTA_GetThreadLog(), &log);
             std::printf("%zu", log.events.empty() ? 0 : log.events.back().text.size());
         },
         "symkeep: error: " + long_text + "\n", "4095"},
    };
    for (const Row& row : rows) {
        const Outcome r = trap([&] {
            gen_setprogpath(row.named ? "/opt/tools/symkeep" : nullptr);
            row.body();
        });
        EXPECT_EQ(r.err, row.err) << row.name;
        EXPECT_EQ(r.out, row.out) << row.name;
    }
    char* text = gen_format_alloc("%s-%I64x-%5d", "abc", uint64_t{0x1234567890}, 42);
    EXPECT_STREQ(text, "abc-1234567890-   42");
    FreeHook(text);
}

}  // namespace
