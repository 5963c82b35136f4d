// Shared set-up for the event-log tests: a clean log state, a counter the
// test drives, and helpers to look at the raw data region.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_counter.h"
#include "shared/eventlog/zolta_testing.h"

// The counter every log read sees while a test runs; tests set it freely.
inline uint64_t& test_counter() {
    static uint64_t value = 0;
    return value;
}

inline uint64_t read_test_counter() { return test_counter(); }

// Bytes written so far, from the data start.
inline std::vector<uint8_t> written_bytes(const ThreadLog* log) {
    const auto* d = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(log->data_start));
    return std::vector<uint8_t>(d, d + (log->write_pos - log->data_start));
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : kVariables) unsetenv(v);
        test_counter() = 0x0000000A12345678ull;
        zolta_counter_source = read_test_counter;
        zolta_reset_for_tests();
    }
    void TearDown() override {
        zolta_reset_for_tests();
        zolta_counter_source = nullptr;
        for (const char* v : kVariables) unsetenv(v);
    }

    static std::vector<uint8_t> written(const ThreadLog* log) { return written_bytes(log); }

    static constexpr const char* kVariables[] = {"ZEP_ZOLTA_LOG_SIZE", "ZEP_ZOLTA_LOG_BYTES", "ZEP_RNE_DUMP_PATH",
                                                  "ZEP_ZOLTA_NO_MAP_LOGS"};
};

// Little-endian byte image of words and string pieces, for byte-exact
// expectations.
class Bytes {
public:
    Bytes& word(uint32_t w) {
        for (int i = 0; i < 4; ++i) b_.push_back(static_cast<uint8_t>(w >> (8 * i)));
        return *this;
    }
    // The text, its NUL and zero padding to a multiple of four.
    Bytes& field(const std::string& s) {
        b_.insert(b_.end(), s.begin(), s.end());
        do b_.push_back(0);
        while (b_.size() % 4 != 0);
        return *this;
    }
    const std::vector<uint8_t>& get() const { return b_; }

private:
    std::vector<uint8_t> b_;
};
