// rnecat against logs written by the real event log: every event comes back
// with its name, type, value and a wall-clock time near the moment it was
// written, in order and across a wrap; damaged files end with status 1.
#include <regex>

#include "crash/crash_support.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"

namespace {

struct Written {
    std::string file;
    uint64_t before_ns = 0, after_ns = 0;
};

// A child writes a fresh heap log of `size` bytes with `body`, then dumps it.
Written write_log(const TempDir& tmp, const char* size, const std::function<void()>& body) {
    Outcome r = run_in_child([&] {
        unsetenv("ZEP_RNE_DUMP_PATH");
        setenv("ZEP_ZOLTA_LOG_SIZE", size, 1);
        zolta_reset_for_tests();
        ZOLTA_StartThreadLog();
        const uint64_t before = plat_wall_clock_ns();
        body();
        const uint64_t after = plat_wall_clock_ns();
        ZOLTA_WriteRNEFile(tmp.path().c_str(), ZOLTA_GetThreadLog(), plat_process_id());
        std::printf("%u_%u.rne %llu %llu", plat_process_id(), plat_thread_id(),
                    static_cast<unsigned long long>(before), static_cast<unsigned long long>(after));
    });
    Written w;
    std::istringstream in(r.out);
    in >> w.file >> w.before_ns >> w.after_ns;
    w.file = tmp.file(w.file);
    return w;
}

Outcome rnecat(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {RNECAT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {kChildAsanOptions});
}

// The value of `key` in one flat JSON object: strings unescaped (\u00XX
// gives the byte XX), anything else as its raw token.
std::string json_field(const std::string& line, const std::string& key) {
    size_t p = line.find("\"" + key + "\":");
    if (p == std::string::npos) return "<absent>";
    p += key.size() + 3;
    if (line[p] != '"') return line.substr(p, line.find_first_of(",}", p) - p);
    std::string out;
    for (++p; p < line.size() && line[p] != '"'; ++p) {
        if (line[p] != '\\') {
            out += line[p];
        } else if (line[++p] == 'u') {
            out += static_cast<char>(std::stoi(line.substr(p + 1, 4), nullptr, 16));
            p += 4;
        } else {
            out += line[p];
        }
    }
    return out;
}

// Event i of the round trip: its kind rotates through every type the log
// has, names and texts carry bytes that need escaping.
const char* const kKinds[] = {"text", "u32", "u64", "u64", "text+extra", "bare"};
std::string name_of(int i) { return "ev " + std::to_string(i) + (i % 7 == 0 ? "\"q\\" : ""); }
std::string text_of(int i) { return "say \"hi\"\\\n\t\x01\xc3\xa9 " + std::to_string(i); }
uint64_t value_of(int i) {
    switch (i % 6) {
        case 1: return static_cast<uint32_t>(i * 2654435761u);
        case 2: return uint64_t(i) << 33 | 0xabc;
        case 3: return ~uint64_t(i);
        default: return static_cast<uint64_t>(i);
    }
}
void log_event(int i) {
    const std::string name = name_of(i), text = text_of(i);
    const uint64_t v = value_of(i);
    const uint32_t v32 = static_cast<uint32_t>(v);
    switch (i % 6) {
        case 0: ZOLTA_LogText(name.c_str(), text.c_str()); break;
        case 1: ZOLTA_LogU32(name.c_str(), v32); break;
        case 2: ZOLTA_LogAddress(name.c_str(), v); break;
        case 3: ZOLTA_LogInteger(name.c_str(), v); break;
        case 4: ZOLTA_LogEvent(name.c_str(), text.c_str(), 18, static_cast<uint32_t>(i)); break;
        default: ZOLTA_LogEvent("", &v32, 20, 0); break;
    }
}

TEST(Rnecat, JsonRoundTripAcrossAWrap) {
    TempDir tmp;
    constexpr int kCount = 3000;
    const Written w = write_log(tmp, "20000", [] {
        for (int i = 0; i < kCount; ++i) log_event(i);
    });
    Outcome r = rnecat({"--json", w.file});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string line;
    int expected = -1, first = -1;
    while (std::getline(in, line)) {
        const std::string kind = json_field(line, "kind");
        const std::string name = json_field(line, "name");
        const int i = kind == "bare" ? std::stoi(json_field(line, "value")) : std::stoi(name.substr(3));
        if (expected < 0) expected = first = i;
        ASSERT_EQ(i, expected++) << line;
        EXPECT_EQ(kind, kKinds[i % 6]) << line;
        const bool has_text = kind == "text" || kind == "text+extra";
        EXPECT_EQ(json_field(line, "text"), has_text ? text_of(i) : "<absent>") << line;
        EXPECT_EQ(json_field(line, "extra"), kind == "text+extra" ? std::to_string(i) : "<absent>") << line;
        EXPECT_EQ(json_field(line, "value"), has_text ? "<absent>" : std::to_string(value_of(i))) << line;
        EXPECT_EQ(name, kind == "bare" ? "<absent>" : name_of(i)) << line;
        const uint64_t ns = std::stoull(json_field(line, "unix_ns"));
        EXPECT_GE(ns + 1000000000, w.before_ns) << line;
        EXPECT_LE(ns, w.after_ns + 1000000000) << line;
    }
    EXPECT_EQ(expected, kCount);
    EXPECT_GT(first, 0) << "the oldest events were overwritten";
    RneLog log;
    ASSERT_TRUE(rne_read_file(w.file.c_str(), &log));
    EXPECT_TRUE(log.wrapped);
    EXPECT_NE(rnecat({w.file}).out.find("\nwrapped:  yes"), std::string::npos);
}

TEST(Rnecat, PlainLinesShowTimeTypeNameAndValue) {
    TempDir tmp;
    const Written w = write_log(tmp, "64K", [] {
        ZOLTA_LogU32("\x01\x02\x03", 1);
        ZOLTA_LogText("rnedump", "a\"b\\c\n");
        ZOLTA_LogInteger("rnedump_abort_signal", 11);
        ZOLTA_LogText("nulltext", nullptr);
        ZOLTA_LogEvent("x", "t", 18, 5);
        const uint32_t seven = 7;
        ZOLTA_LogEvent("", &seven, 20, 0);
    });
    Outcome r = rnecat({w.file});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> tails = {
        "  u32(6)  \\x01\\x02\\x03  1 0x00000001",
        "  text(4)  rnedump  \"a\\\"b\\\\c\\n\"",
        "  u64(14)  rnedump_abort_signal  11 0x000000000000000b",
        "  text(4)  nulltext  (null)",
        "  text+extra(18)  x  \"t\" extra=5",
        "  bare(20)  -  7 0x00000007",
    };
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::string> header, events;
    while (std::getline(in, line))
        (std::isdigit(static_cast<unsigned char>(line[0])) ? events : header).push_back(line);
    ASSERT_EQ(events.size(), tails.size()) << r.out;
    const std::regex time("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6}");
    for (size_t i = 0; i < tails.size(); ++i) {
        EXPECT_TRUE(std::regex_match(events[i].substr(0, 26), time)) << events[i];
        EXPECT_EQ(events[i].substr(26), tails[i]);
    }
    const std::string tid = w.file.substr(w.file.rfind('_') + 1, w.file.size() - w.file.rfind('_') - 5);
    EXPECT_NE(std::find(header.begin(), header.end(), "thread:   " + tid), header.end()) << r.out;
    EXPECT_NE(std::find(header.begin(), header.end(), "wrapped:  no"), header.end()) << r.out;
}

TEST(Rnecat, DamagedFilesGiveAnErrorNeverACrash) {
    TempDir tmp;
    const Written w = write_log(tmp, "20000", [] {
        for (int i = 0; i < 600; ++i) log_event(i);
    });
    const std::string good = read_file(w.file);
    const std::string bad = tmp.file("bad.rne");
    for (const size_t cut : {size_t{0}, size_t{100}, size_t{5815}}) {
        write_file(bad, good.substr(0, cut));
        Outcome r = rnecat({bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "rnecat: " + bad + ": shorter than a log header\n");
    }
    write_file(bad, good.substr(0, good.size() - 8));
    EXPECT_EQ(rnecat({bad}).status, 1);
    // Not a log at all: no header is printed.  (Damage anywhere else is the
    // fuzz target's: it prints whatever the reader recovers.)
    std::string damaged = good;
    damaged[0] = static_cast<char>(damaged[0] ^ 0x5A);
    write_file(bad, damaged);
    Outcome r = rnecat({bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "rnecat: " + bad + ": not an event log (bad format bytes)\n");
    EXPECT_EQ(rnecat({tmp.file("none.rne")}).status, 1);
    EXPECT_EQ(rnecat({}).status, 2);
    EXPECT_EQ(rnecat({"--bogus", w.file}).status, 2);
    Outcome help = rnecat({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("SYNOPSIS"), std::string::npos);
}

}  // namespace
