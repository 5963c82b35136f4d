// The switch registry: hashing and the index, the record layout, the
// definition checks, the environment and switch-file sources with their
// warnings, the argument forms and the module lookup.  Anything that touches the registry's
// once-only state runs in a child process; the events are read back from the
// child's own event log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/genstr.h"
#include "shared/gswitch/gen_switch.h"
#include "shared/gswitch/gen_switch_testing.h"
#include "support/child.h"
#include "support/harness.h"

using ::testing::HasSubstr;

// This executable's own compiled-in switches, in the order the walk must
// register them.
GSWITCH_TABLE GSwitch test_switches[] = {
    gswitch_record("FirstTestSwitch", 1, "tests/gswitch/test_gswitch.cpp", 30),
    gswitch_record("SecondTestSwitch", 0, "tests/gswitch/test_gswitch.cpp", 31),
    gswitch_record("ThirdTestSwitch", 0, "tests/gswitch/test_gswitch.cpp", 32),
};

namespace {

// The "GSWITCH" event texts of the calling thread's log after the first
// `skip`, joined by '|'.
std::string switch_events(size_t skip = 0) {
    RneLog log;
    if (!rne_read_thread_log(ZOLTA_StartThreadLog(), &log)) return "<unreadable: " + log.error + ">";
    std::string out;
    for (const RneEvent& e : log.events) {
        if (e.name != "GSWITCH") continue;
        if (skip > 0) {
            --skip;
            continue;
        }
        out += (out.empty() ? "" : "|") + e.text;
    }
    return out;
}

const char kNoFile[] = "/nonexistent/dir/prog";

}  // namespace

TEST(GSwitchHash, ValuesAndBucket) {
    const struct { const char* name; uint64_t hash; } cases[] = {
        {"", 0}, {"ab", 3687}, {"SampleGSwitch", 73319508234639047ull}, {"SAMPLEGSWITCH", 73319508234639047ull},
        {"samplegswitch", 73319508234639047ull},
        {"@[", 64 * 37 + 91},             // neighbours of A-Z are not folded
        {"\x80", 0xFFFFFFFFFFFFFF80ull},  // high bytes count as negative
        {"a\xff", 97 * 37 - 1},
    };
    for (const auto& c : cases) EXPECT_EQ(GSwitch_Hash(c.name), c.hash) << c.name;
    EXPECT_EQ(GSwitch_Hash("SampleGSwitch") % GSWITCH_TABLE_SIZE, 5274u);
}

TEST(GSwitchIndex, ChainsHoldNamesOfOneBucket) {
    gswitch_reset_for_tests();
    // Two names whose hashes differ but share a bucket.
    std::vector<std::string> names = {"k0"};
    for (int i = 1; names.size() < 2; ++i) {
        std::string n = "k" + std::to_string(i);
        if (GSwitch_Hash(n.c_str()) % GSWITCH_TABLE_SIZE == GSwitch_Hash("k0") % GSWITCH_TABLE_SIZE) names.push_back(n);
    }
    GSwitch a = gswitch_record(names[0].c_str(), 0, "f", 1), b = gswitch_record(names[1].c_str(), 0, "f", 2);
    GSwitch_Insert(&a);
    GSwitch_Insert(&b);
    EXPECT_EQ(GSwitch_Find("K0"), &a);
    std::string upper = names[1];
    upper[0] = 'K';
    EXPECT_EQ(GSwitch_Find(upper.c_str()), &b);
    EXPECT_EQ(GSwitch_Find("k0x"), nullptr);
    gswitch_reset_for_tests();
}

// Offsets are checked at compile time; here, that a compiled-in record
// carries its default and zeroes everything registration fills in.
TEST(GSwitchRecord, SlotContentsAndSourceNames) {
    GSwitch live = gswitch_record("Live", 1, "x.cpp", 7);
    GSwitch rec = gswitch_record("Name", 1, "dir/file.cpp", 0x01020304);
    uint8_t bytes[64];
    std::memcpy(bytes, &rec, sizeof bytes);
    EXPECT_EQ(bytes[8], 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes + 16, bytes + 32), std::vector<uint8_t>(16, 0));
    std::vector<uint8_t> tail(24, 0);
    tail[0] = 4, tail[1] = 3, tail[2] = 2, tail[3] = 1;  // the line, little-endian
    EXPECT_EQ(std::vector<uint8_t>(bytes + 40, bytes + 64), tail);

    const char* texts[] = {"Compiled In", "Environment Variable", "GSW File", "Command Line",
                           "Command Line Arg", "Runtime", "Unknown"};
    for (uint32_t s = 0; s < 7; ++s) {
        live.source = s;
        EXPECT_STREQ(GSwitch_SourceName(&live), texts[s]);
    }
    live.source = 0xFFFFFFFFu;
    EXPECT_STREQ(GSwitch_SourceName(&live), "Unknown");
    // The text is the live record's, not the duplicate's own.
    live.source = GSW_SOURCE_COMMAND_LINE;
    rec.real_switch_ptr = &live;
    EXPECT_STREQ(GSwitch_SourceName(&rec), "Command Line");
}

TEST(GSwitchPath, Equality) {
    const struct { const char* a; const char* b; bool equal; } cases[] = {
        {"src/A.cpp", "SRC\\a.CPP", true}, {nullptr, "", true},  {"a/b", "a/bc", false},
        {"a:b", "a/b", false},             {"[", "{", false},    {"a.cpp", "b.cpp", false},
    };
    for (const auto& c : cases) EXPECT_EQ(gen_pathequal(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

TEST(GSwitchRegister, DefinitionChecks) {
    const struct {
        GSwitch first, second;
        bool late;
        int status;
        const char* message;
    } cases[] = {
        {gswitch_record("Dup", 0, "src/a.cpp", 10), gswitch_record("DUP", 0, "src/b.cpp", 10), false, 1,
         "fatal: Error: GSwitch DUP is defined in multiple files (src/b.cpp, src/a.cpp)\n"},
        {gswitch_record("Dup", 0, "src/a.cpp", 10), gswitch_record("dup", 0, "SRC\\A.CPP", 12), false, 1,
         "fatal: Error: GSwitch dup is defined on multiple lines of the same file: src/a.cpp#(12,10)\n"},
        {gswitch_record("Dup", 0, "src/a.cpp", 10), gswitch_record("Dup", 1, "src\\a.cpp", 10), false, 0, ""},
        {gswitch_record("Fine", 0, "a", 1), gswitch_record("Bad", 0, "a", 2), false, 1,
         "fatal: Error: GSwitch Bad is not defined with the correct source.\n"},
        {gswitch_record("Fine", 0, "a", 1), gswitch_record("Late", 0, "a", 2), true, 1,
         "fatal: Switch Late being registered after initialization is complete.\n"},
    };
    for (auto c : cases) {
        if (std::strcmp(c.second.name, "Bad") == 0) c.second.source = GSW_SOURCE_FILE;
        Outcome r = run_in_child([&] {
            gswitch_set_module_file_name_for_tests(kNoFile);
            GSwitch_Register(&c.first);
            if (c.late) {
                int32_t argc = 0;
                char* argv[] = {nullptr};
                GSwitch_Initialize(&argc, argv);
            }
            GSwitch_Register(&c.second);
            std::printf("%d %s", c.second.real_switch_ptr == &c.first, switch_events().c_str());
        });
        EXPECT_EQ(r.status, c.status) << c.second.name;
        EXPECT_EQ(r.err, c.message);
        // The one legal duplicate shares the first record and adds no event.
        if (c.status == 0) {
            EXPECT_EQ(r.out, "1 Dup off: Compiled In");
        }
    }
}

TEST(GSwitchRegister, EnvironmentValues) {
    const struct { const char* value; const char* events; } cases[] = {
        {nullptr, "Env off: Compiled In|Dflt on: Compiled In"},
        {"1", "Env off: Compiled In|Env on: Environment Variable|Dflt on: Compiled In"},
        {"0", "Env off: Compiled In|Dflt on: Compiled In"},
        {"true", "Env off: Compiled In|Dflt on: Compiled In"},
        {"01", "Env off: Compiled In|Dflt on: Compiled In"},
        {"", "Env off: Compiled In|Dflt on: Compiled In"},
    };
    for (const auto& c : cases) {
        Outcome r = run_in_child([&] {
            if (c.value) setenv("ZEP_GSW_Env", c.value, 1);
            gswitch_set_module_file_name_for_tests(kNoFile);
            GSwitch env = gswitch_record("Env", 0, "e", 1), dflt = gswitch_record("Dflt", 1, "e", 2);
            GSwitch_Register(&env);
            GSwitch_Register(&dflt);
            std::printf("%s", switch_events().c_str());
        });
        EXPECT_EQ(r.out, c.events) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(r.err, "");
    }
}

// The warnings of the documented examples are checked end to end; these are
// the line-reading corners: every terminator, unterminated and long lines,
// control bytes, signs and numbers out of range.
TEST(GSwitchFile, LinesWarningsAndPendingList) {
    TempDir dir;
    const std::string long_name(300, 'L');
    write_file(dir.file("prog.gsw"), "# switch file\r\n\nSampleGSwitch 1\r  Hex\t0\n   # comment\nOther 0  \f\n"
                                     "Name\x01 1\nNeg -5\nBig 99999999999\nZero -0\n" + long_name + " 1");
    Outcome r = run_in_child([&] {
        gswitch_set_module_file_name_for_tests(dir.file("prog.elf").c_str());
        GSwitch_ReadFile();
        GSwitch_ReadFile();  // once only
        for (const PendingSwitch* p = GSwitch_PendingList(); p; p = p->next) std::printf("%s=%d\n", p->name, p->value);
    });
    EXPECT_EQ(r.out, "SampleGSwitch=1\nHex=0\nOther=0\n" + long_name + "=1\n");
    EXPECT_EQ(r.err,
              "warning: Invalid switch format on line 7: Name\x01 1\n"
              "warning: Invalid switch value -5 on line 8 for switch Neg\n"
              "warning: Invalid switch value 2147483647 on line 9 for switch Big\n"
              "warning: Trailing garbage after switch on line 10 for switch Zero\n");
}

// The compiled-in records of this executable, with all three sources of a
// start: environment, then the file (last line of a name wins, a line that
// changes nothing logs nothing), then unknown names.
TEST(GSwitchInitialize, SectionOrderAndSourcePrecedence) {
    TempDir dir;
    write_file(dir.file("prog.gsw"),
               "secondtestswitch 0\nThirdTestSwitch 1\nThirdTestSwitch 0\nThirdTestSwitch 1\n"
               "FirstTestSwitch 1\nNoSuchSwitch 1\n");
    Outcome r = run_in_child([&] {
        setenv("ZEP_GSW_SecondTestSwitch", "1", 1);
        gswitch_set_module_file_name_for_tests(dir.file("prog").c_str());
        int32_t argc = 1;
        char prog[] = "prog";
        char* argv[] = {prog, nullptr};
        GSwitch_Initialize(&argc, argv);
        std::printf("%s\n%d %d\n", switch_events().c_str(), GSwitch_PendingList() == nullptr, GSwitch_InitComplete());
        const GSwitch* g = GSwitch_Find("SecondTestSwitch");
        std::printf("%d %s\n", g->value, GSwitch_SourceName(g));
    });
    EXPECT_EQ(r.out,
              "FirstTestSwitch on: Compiled In|"
              "SecondTestSwitch off: Compiled In|SecondTestSwitch on: Environment Variable|"
              "SecondTestSwitch off: GSW File|"
              "ThirdTestSwitch off: Compiled In|ThirdTestSwitch on: GSW File|ThirdTestSwitch off: GSW File|"
              "ThirdTestSwitch on: GSW File\n"
              "1 1\n"
              "0 GSW File\n");
    EXPECT_EQ(r.err, "warning: Unknown switch specified in .gsw file: NoSuchSwitch\n");
}

TEST(GSwitchInitialize, ArgumentForms) {
    const struct {
        std::vector<std::string> args;
        std::string remaining, events, recorded, err;
    } cases[] = {
        {{"prog", "-ZEPXSecondTestSwitch", "in.elf"}, "prog in.elf", "SecondTestSwitch on: Command Line",
         "-ZEPArgXSecondTestSwitch ZEP_GSW_SecondTestSwitch=1", ""},
        {{"prog", "--", "-ZEPXSecondTestSwitch"}, "prog -- -ZEPXSecondTestSwitch", "", "", ""},
        {{"prog", "-ZEPX"}, "prog", "", "", "warning: No ZEP XSwitch name specified, ignoring argument.\n"},
        {{"prog", "-ZEPArgXNoSuch"}, "prog", "", "-ZEPArgXNoSuch ZEP_GSW_NoSuch=1", ""},
        {{"-ZEPZNoSuch", "-ZEPArgZFirstTestSwitch", "-zepxThirdTestSwitch", "-ZEPArgThirdTestSwitch", "x", "--",
          "-ZEPXThirdTestSwitch"},
         "-zepxThirdTestSwitch -ZEPArgThirdTestSwitch x -- -ZEPXThirdTestSwitch",
         "FirstTestSwitch off: Command Line Arg",
         "-ZEPArgZNoSuch ZEP_GSW_NoSuch=0 -ZEPArgZFirstTestSwitch ZEP_GSW_FirstTestSwitch=0",
         "warning: No ZEP switch found for NoSuch, ignoring\n"},
    };
    for (const auto& c : cases) {
        Outcome r = run_in_child([&] {
            unsetenv("ZEP_GSW_SecondTestSwitch");
            gswitch_set_module_file_name_for_tests(kNoFile);
            std::vector<char*> argv;
            for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            int32_t argc = static_cast<int32_t>(c.args.size());
            GSwitch_Initialize(&argc, argv.data());
            std::string remaining;
            for (int32_t i = 0; i < argc; ++i) remaining += (i ? " " : "") + std::string(argv[i]);
            std::string recorded;
            for (const SwitchArg* a = GSwitch_ArgumentList(); a; a = a->next) {
                const std::string var = "ZEP_GSW_" + std::string(a->text + 8);
                recorded += (recorded.empty() ? "" : " ") + std::string(a->text) + " " + var + "=";
                recorded += getenv(var.c_str());
            }
            std::printf("%s\n%d\n%s\n%s\n", remaining.c_str(), argv[argc] == nullptr,
                        switch_events(3).c_str(), recorded.c_str());
        });
        EXPECT_EQ(r.out, c.remaining + "\n1\n" + c.events + "\n" + c.recorded + "\n") << c.args[1];
        EXPECT_EQ(r.err, c.err) << c.args[1];
    }
}

TEST(GSwitchModule, IsTheRunningExecutable) {
    char exe[PATH_MAX] = {0};
#ifdef _WIN32
    // No /proc: the system's own name of the process's executable.
    ASSERT_GT(plat_module_file_name(exe, sizeof exe), 0u);
#else
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
#endif
    Outcome r = run_in_child([] { std::printf("%s", GSwitch_ModuleFileName()); });
    EXPECT_EQ(r.out, exe);
}

namespace {

// A module list as the system might answer it: listing succeeds or not,
// `count` modules exist, and the one at 1-based position `holder` (none when
// 0) is the registry's code address alone.  Every file-name query fails.
struct FakeModules {
    bool listed;
    size_t count;
    uintptr_t holder;
};
FakeModules g_modules;

int fake_list(PlatModule* modules, size_t cap, size_t* count) {
    // Handles past the count and after a failure are there as well; the walk
    // must not use them.
    for (size_t i = 0; i < cap; ++i) modules[i] = reinterpret_cast<PlatModule>(i + 1);
    *count = g_modules.count;
    return g_modules.listed ? 1 : 0;
}

int fake_bounds(PlatModule module, uintptr_t* base, size_t* size) {
    const bool holds = reinterpret_cast<uintptr_t>(module) == g_modules.holder;
    // An image of the one address the walk compares, bounds included.
    *base = holds ? reinterpret_cast<uintptr_t>(&GSwitch_ModuleFileName) : 0x1000;
    *size = holds ? 0 : 0x10;
    return 1;
}

size_t fake_file_name(PlatModule, char* buf, size_t cap) {
    std::snprintf(buf, cap, "partial");  // a failing system may leave part of a name
    return 0;
}

}  // namespace

// When no module can be named, the switch file is looked for in the current
// directory under a name that says so; a module found but not named leaves
// the cache empty, so every call tries again.
TEST(GSwitchModule, ListingFailuresAndFallbackName) {
    TempDir dir;
    write_file(dir.file("UNABLE_TO_LOAD_MODULE_FILENAME.gsw"), "Found 1\n");
    const std::string fallback = "UNABLE_TO_LOAD_MODULE_FILENAME\nFound=1\n";
    const std::string unnamed = "error: Unable to determine module filename.\n";
    const struct {
        FakeModules modules;
        std::string out, err;
    } cases[] = {
        {{false, 3, 2}, fallback, "error: Unable to enumerate modules.\n"},
        {{true, 511, 512}, fallback, ""},
        {{true, 512, 0}, fallback, "error: Number of modules larger than expected.\n"},
        {{true, 3, 3}, "\n", unnamed + unnamed},
    };
    for (const auto& c : cases) {
        Outcome r = run_in_child([&] {
            g_modules = c.modules;
            plat_module_calls = {fake_list, fake_bounds, fake_file_name};
            if (chdir(dir.path().c_str()) != 0) std::printf("chdir failed\n");
            std::printf("%s\n", GSwitch_ModuleFileName());
            GSwitch_ReadFile();
            for (const PendingSwitch* p = GSwitch_PendingList(); p; p = p->next)
                std::printf("%s=%d\n", p->name, p->value);
        });
        EXPECT_EQ(r.out, c.out) << "row " << &c - cases;
        EXPECT_EQ(r.err, c.err) << "row " << &c - cases;
    }
}
