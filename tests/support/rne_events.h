// Expected event sequences of an RNE log, for the tests that read the logs
// a crash or an exit leaves behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shared/eventlog/rnereader.h"

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
