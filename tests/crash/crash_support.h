// Helpers of the crash-report tests: running the probe, reading the dump
// directory and comparing event sequences.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "support/child.h"
#include "support/tempdir.h"

// What the signal tests need from a sanitizer build: its own handlers off,
// so the runtime's handlers see the faults.  Ignored by a plain build.
inline const char* kChildAsanOptions =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0:"
    "allocator_may_return_null=1";

inline ChildResult run_probe(const std::string& mode, std::vector<std::string> env, const std::string& cwd = "") {
    env.push_back(kChildAsanOptions);
    return run_program({CRASH_PROBE, mode}, env, cwd);
}

// The "key value" lines a probe printed.
inline std::map<std::string, std::string> probe_report(const std::string& out) {
    std::map<std::string, std::string> m;
    std::istringstream in(out);
    std::string key, value;
    while (in >> key >> value) m[key] = value;
    return m;
}

inline unsigned permissions(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xFFFF;
}

// An expected event: name, type code, and the value or text when given.
struct Ev {
    std::string name;
    uint32_t type;
    std::string text = "";
    bool has_value = false;
    uint64_t value = 0;
};
inline Ev text_ev(const std::string& text) { return {"rnedump", 4, text}; }
inline Ev value_ev(const std::string& name, uint32_t type, uint64_t value) { return {name, type, "", true, value}; }
inline Ev any_ev(const std::string& name, uint32_t type) { return {name, type}; }

// The log's events from the first event named like expected[0] on must be
// exactly `expected`.
inline void expect_events_from(const RneLog& log, const std::vector<Ev>& expected) {
    size_t i = 0;
    while (i < log.events.size() && log.events[i].name != expected.front().name) ++i;
    ASSERT_EQ(log.events.size() - i, expected.size()) << "events from " << expected.front().name;
    for (const Ev& want : expected) {
        const RneEvent& got = log.events[i++];
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.type, want.type) << want.name;
        if (want.type == 4) {
            EXPECT_EQ(got.text, want.text);
        }
        if (want.has_value) {
            EXPECT_EQ(got.value, want.value) << want.name;
        }
    }
}

constexpr const char* kAbortNote = "RNEDump_DoOnAbortDump: about to call ZOLTA_DumpAllRNEFiles";
constexpr const char* kExitNote = "RNEDump_DumpIfEnabled: about to call ZOLTA_DumpAllRNEFiles";
