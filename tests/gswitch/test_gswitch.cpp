// The switch registry: the definition checks, the environment and switch
// file with their warnings, the argument forms, the section walk and the
// module lookup (the real tool's sources: tests/e2e/test_gswitch_e2e.cpp).
// Each case starts the registry afresh in this process, the ends trapped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shared/eventlog/rnereader.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"
#include "shared/gswitch/gen_switch.h"
#include "shared/gswitch/gen_switch_testing.h"
#include "support/harness.h"

// This executable's own compiled-in switches, in the order the walk must
// register them (the executable is linked with unused sections collected).
GSWITCH_TABLE GSwitch test_switches[] = {
    gswitch_record("FirstTestSwitch", 1, "tests/gswitch/test_gswitch.cpp", 30),
    gswitch_record("SecondTestSwitch", 0, "tests/gswitch/test_gswitch.cpp", 31),
    gswitch_record("ThirdTestSwitch", 0, "tests/gswitch/test_gswitch.cpp", 32),
};

namespace {

const GSwitch kCompiled[3] = {test_switches[0], test_switches[1], test_switches[2]};
const char kNoFile[] = "/nonexistent/dir/prog";

// The "GSWITCH" event texts of this thread's log after the first `skip`, joined by '|'.
std::string switch_events(size_t skip = 0) {
    RneLog log;
    if (!rne_read_thread_log(ZOLTA_StartThreadLog(), &log)) return "<unreadable: " + log.error + ">";
    std::string out;
    for (const RneEvent& e : log.events)
        if (e.name == "GSWITCH" && skip-- == 0) out += (out.empty() ? "" : "|") + e.text, skip = 0;
    return out;
}

// `body` on a fresh registry and log, with the switch file looked for
// beside `module`.
Outcome fresh(const std::string& module, const std::function<void()>& body) {
    for (const char* v : {"ZEP_GSW_Env", "ZEP_GSW_Dflt", "ZEP_GSW_SecondTestSwitch", "ZEP_GSW_FirstTestSwitch", "ZEP_GSW_NoSuch"})
        unsetenv(v);
    gswitch_reset_for_tests();
    zolta_reset_for_tests();
    std::memcpy(test_switches, kCompiled, sizeof kCompiled);
    if (!module.empty()) gswitch_set_module_file_name_for_tests(module.c_str());
    char cwd[PATH_MAX];
    const PlatModuleCalls calls = plat_module_calls;
    EXPECT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const Outcome r = trap(body);
    plat_module_calls = calls;
    EXPECT_EQ(chdir(cwd), 0);
    return r;
}

TEST(GSwitch, DefinitionChecks) {
    struct Row { GSwitch first, second; bool late; int status; const char* err; } rows[] = {
        {gswitch_record("Dup", 0, "src/a.cpp", 10), gswitch_record("DUP", 0, "src/b.cpp", 10), false, 1,
         "fatal: Error: GSwitch DUP is defined in multiple files (src/b.cpp, src/a.cpp)\n"},
        {gswitch_record("Dup", 0, "src/a.cpp", 10), gswitch_record("dup", 0, "SRC\\A.CPP", 12), false, 1,
         "fatal: Error: GSwitch dup is defined on multiple lines of the same file: src/a.cpp#(12,10)\n"},
        {gswitch_record("Dup", 0, "src/a.cpp", 10), gswitch_record("Dup", 1, "src\\a.cpp", 10), false, -1, ""},
        {gswitch_record("Fine", 0, "a", 1), gswitch_record("Bad", 0, "a", 2), false, 1,
         "fatal: Error: GSwitch Bad is not defined with the correct source.\n"},
        {gswitch_record("Fine", 0, "a", 1), gswitch_record("Late", 0, "a", 2), true, 1,
         "fatal: Switch Late being registered after initialization is complete.\n"},
    };
    rows[3].second.source = GSW_SOURCE_FILE;
    for (Row& row : rows) {
        const Outcome r = fresh(kNoFile, [&] {
            GSwitch_Register(&row.first);
            int32_t argc = 0;
            char* argv[] = {nullptr};
            if (row.late) GSwitch_Initialize(&argc, argv);
            GSwitch_Register(&row.second);
            std::printf("%d %s", row.second.real_switch_ptr == &row.first, switch_events().c_str());
        });
        EXPECT_EQ(r.status, row.status) << row.second.name;
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, row.status < 0 ? "1 Dup off: Compiled In" : "") << "the legal duplicate shares the record";
    }
}

// Exactly "0" or "1" sets a switch; the same variable value on two switches,
// one off and one on by default.
TEST(GSwitch, EnvironmentValues) {
    const std::string on = "Env on: Environment Variable|", off = "|Dflt off: Environment Variable", none;
    const struct { const char* value; std::string set, unset; } rows[] = {
        {"1", on, none}, {"0", none, off}, {"true", none, none}, {"01", none, none}, {"", none, none}};
    for (const auto& row : rows) {
        const Outcome r = fresh(kNoFile, [&] {
            setenv("ZEP_GSW_Env", row.value, 1);
            setenv("ZEP_GSW_Dflt", row.value, 1);
            GSwitch env = gswitch_record("Env", 0, "e", 1), dflt = gswitch_record("Dflt", 1, "e", 2);
            GSwitch_Register(&env);
            GSwitch_Register(&dflt);
            std::printf("%s", switch_events().c_str());
        });
        EXPECT_EQ(r.out + r.err, "Env off: Compiled In|" + row.set + "Dflt on: Compiled In" + row.unset) << row.value;
    }
}

// The file's line-reading corners: every terminator, unterminated and long
// lines, control bytes, signs and numbers out of range; read once only.
TEST(GSwitch, SwitchFileLines) {
    TempDir dir;
    const std::string long_name(300, 'L');
    write_file(dir.file("prog.gsw"), "# switch file\r\n\nSampleGSwitch 1\r  Hex\t0\n   # comment\nOther 0  \f\n"
                                     "Name\x01 1\nNeg -5\nBig 99999999999\nZero -0\n" + long_name + " 1");
    const Outcome r = fresh(dir.file("prog.elf"), [] {
        GSwitch_ReadFile();
        GSwitch_ReadFile();
        for (const PendingSwitch* p = GSwitch_PendingList(); p; p = p->next) std::printf("%s=%d\n", p->name, p->value);
    });
    EXPECT_EQ(r.out, "SampleGSwitch=1\nHex=0\nOther=0\n" + long_name + "=1\n");
    EXPECT_EQ(r.err,
              "warning: Invalid switch format on line 7: Name\x01 1\n"
              "warning: Invalid switch value -5 on line 8 for switch Neg\n"
              "warning: Invalid switch value 2147483647 on line 9 for switch Big\n"
              "warning: Trailing garbage after switch on line 10 for switch Zero\n");
}

// This executable's records, from all three sources of a start: the
// environment, then the file (the last line of a name wins, a line that
// changes nothing logs nothing), then unknown names.
TEST(GSwitch, InitializeWalksTheSectionInOrderWithEachSource) {
    TempDir dir;
    write_file(dir.file("prog.gsw"), "secondtestswitch 0\nThirdTestSwitch 1\nThirdTestSwitch 0\nThirdTestSwitch 1\n"
                                     "FirstTestSwitch 1\nNoSuchSwitch 1\n");
    const Outcome r = fresh(dir.file("prog"), [] {
        setenv("ZEP_GSW_SecondTestSwitch", "1", 1);
        int32_t argc = 1;
        char prog[] = "prog", *argv[] = {prog, nullptr};
        GSwitch_Initialize(&argc, argv);
        const GSwitch* g = GSwitch_Find("SecondTestSwitch");
        std::printf("%s\n%d %d %d %s\n", switch_events().c_str(), GSwitch_PendingList() == nullptr,
                    GSwitch_InitComplete(), g->value, GSwitch_SourceName(g));
    });
    EXPECT_EQ(r.out, "FirstTestSwitch on: Compiled In|SecondTestSwitch off: Compiled In|"
                     "SecondTestSwitch on: Environment Variable|SecondTestSwitch off: GSW File|"
                     "ThirdTestSwitch off: Compiled In|ThirdTestSwitch on: GSW File|ThirdTestSwitch off: GSW File|"
                     "ThirdTestSwitch on: GSW File\n1 1 0 GSW File\n");
    EXPECT_EQ(r.err, "warning: Unknown switch specified in .gsw file: NoSuchSwitch\n");
}

// Switch arguments leave argv (up to "--"), set their variable for child
// processes and are recorded; the "Arg" forms set the value only there.
TEST(GSwitch, ArgumentForms) {
    const struct { std::vector<std::string> args; std::string remaining, events, recorded, err; } rows[] = {
        {{"prog", "-ZEPXSecondTestSwitch", "in.elf"}, "prog in.elf", "SecondTestSwitch on: Command Line",
         "-ZEPArgXSecondTestSwitch ZEP_GSW_SecondTestSwitch=1 ", ""},
        {{"prog", "-ZEPX"}, "prog", "", "", "warning: No ZEP XSwitch name specified, ignoring argument.\n"},
        {{"prog", "-ZEPArgXNoSuch"}, "prog", "", "-ZEPArgXNoSuch ZEP_GSW_NoSuch=1 ", ""},
        {{"-ZEPZNoSuch", "-ZEPArgZFirstTestSwitch", "-zepxThirdTestSwitch", "-ZEPArgThirdTestSwitch", "x", "--",
          "-ZEPXThirdTestSwitch"},
         "-zepxThirdTestSwitch -ZEPArgThirdTestSwitch x -- -ZEPXThirdTestSwitch", "FirstTestSwitch off: Command Line Arg",
         "-ZEPArgZNoSuch ZEP_GSW_NoSuch=0 -ZEPArgZFirstTestSwitch ZEP_GSW_FirstTestSwitch=0 ",
         "warning: No ZEP switch found for NoSuch, ignoring\n"},
    };
    for (const auto& row : rows) {
        const Outcome r = fresh(kNoFile, [&] {
            std::vector<char*> argv;
            for (const std::string& a : row.args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            int32_t argc = static_cast<int32_t>(row.args.size());
            GSwitch_Initialize(&argc, argv.data());
            for (int32_t i = 0; i <= argc; ++i) std::printf("%s%s", argv[i] ? argv[i] : "\n", i + 1 < argc ? " " : "");
            std::printf("%s\n", switch_events(3).c_str());
            for (const SwitchArg* a = GSwitch_ArgumentList(); a; a = a->next)
                std::printf("%s ZEP_GSW_%s=%s ", a->text, a->text + 8, getenv(("ZEP_GSW_" + std::string(a->text + 8)).c_str()));
        });
        EXPECT_EQ(r.out, row.remaining + "\n" + row.events + "\n" + row.recorded) << row.args[1];
        EXPECT_EQ(r.err, row.err) << row.args[1];
    }
}

// A module list as the system might answer it: listing succeeds or not,
// `count` modules exist (handles past it are there too, unused), and the
// one at 1-based position `holder` (none when 0) holds the registry's code.
// Every file-name query fails, leaving part of a name.
struct FakeModules { bool listed; size_t count; uintptr_t holder; } g_modules;
const PlatModuleCalls kFakeModules = {
    [](PlatModule* modules, size_t cap, size_t* count) {
        for (size_t i = 0; i < cap; ++i) modules[i] = reinterpret_cast<PlatModule>(i + 1);
        *count = g_modules.count;
        return g_modules.listed ? 1 : 0;
    },
    [](PlatModule module, uintptr_t* base, size_t* size) {  // the bounds included
        const bool holds = reinterpret_cast<uintptr_t>(module) == g_modules.holder;
        *base = holds ? reinterpret_cast<uintptr_t>(&GSwitch_ModuleFileName) : 0x1000, *size = holds ? 0 : 0x10;
        return 1;
    },
    [](PlatModule, char* buf, size_t cap) { return std::snprintf(buf, cap, "partial") * size_t{0}; }};

// The running executable by default; when no module can be named, the
// switch file is looked for in the current directory under a name that says
// so; a module found but not named leaves nothing cached, so every call tries again.
TEST(GSwitch, TheModuleAndItsFallbackName) {
    char exe[PATH_MAX] = {0};
    ASSERT_GT(plat_module_file_name(exe, sizeof exe), 0u);
    EXPECT_EQ(fresh("", [] { std::printf("%s", GSwitch_ModuleFileName()); }).out, exe);
    TempDir dir;
    write_file(dir.file("UNABLE_TO_LOAD_MODULE_FILENAME.gsw"), "Found 1\n");
    const std::string fallback = "UNABLE_TO_LOAD_MODULE_FILENAME\nFound=1\n", unnamed = "error: Unable to determine module filename.\n";
    const struct { FakeModules modules; std::string out, err; } rows[] = {
        {{false, 3, 2}, fallback, "error: Unable to enumerate modules.\n"}, {{true, 511, 512}, fallback, ""},
        {{true, 512, 0}, fallback, "error: Number of modules larger than expected.\n"}, {{true, 3, 3}, "\n", unnamed + unnamed},
    };
    for (const auto& row : rows) {
        const Outcome r = fresh("", [&] {
            g_modules = row.modules;
            plat_module_calls = kFakeModules;
            if (chdir(dir.path().c_str()) != 0) std::printf("chdir failed\n");
            std::printf("%s\n", GSwitch_ModuleFileName());
            GSwitch_ReadFile();
            for (const PendingSwitch* p = GSwitch_PendingList(); p; p = p->next) std::printf("%s=%d\n", p->name, p->value);
        });
        EXPECT_EQ(r.out + r.err, row.out + row.err) << "row " << &row - rows;
    }
}

}  // namespace
