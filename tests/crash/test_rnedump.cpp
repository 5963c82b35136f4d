// The crash-report routines in a process of their own: the exception
// filter's event order, and dump files that refuse a planted symbolic link.
#include <unistd.h>

#include "crash/crash_support.h"
#include "shared/crash/rnedump.h"
#include "shared/crash/rnedump_handlers.h"
#include "shared/eventlog/zolta.h"
#include "shared/eventlog/zolta_testing.h"

namespace {

// Runs `body` in a child whose logs start afresh with `dir` as the dump
// directory; the child ends without exit handlers, so only what the body
// wrote is on disk.
Outcome in_child_with_dump_dir(const std::string& dir, const std::function<void()>& body) {
    return run_in_child([&] {
        setenv("ZEP_RNE_DUMP_PATH", dir.c_str(), 1);
        zolta_reset_for_tests();
        RNEDump_Setup();
        body();
        std::fflush(stdout);
        plat_quick_exit(0);
    });
}

std::string rne_name() { return std::to_string(plat_process_id()) + "_" + std::to_string(plat_thread_id()) + ".rne"; }

TEST(ExceptionFilter, LogsRecordThenContextThenTheAbortTexts) {
    TempDir tmp;
    Outcome r = in_child_with_dump_dir(tmp.path(), [] {
        const RNEDumpExceptionRecord record = {0xC0000005u, 1, 0x401000, 2, {1, 0xdead0}};
        const RNEDumpContextRecord context = {0x401000, true, 0x10, 0x20, 0x30, 0x40};
        const RNEDumpExceptionPointers pointers = {&record, &context};
        std::printf("%d %s\n", RNEDump_ExceptionFilter(&pointers), rne_name().c_str());
    });
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Program \"N/A\" has caught an unhandled signal. RNE logs of this event are in " + tmp.path() +
                         "\n");
    ASSERT_EQ(r.out.substr(0, 2), "1 ");
    RneLog log;
    ASSERT_TRUE(rne_read_file(tmp.file(r.out.substr(2, r.out.size() - 3)).c_str(), &log)) << log.error;
    expect_events_from(log, {value_ev("EXCEPTION_RECORD__ExceptionCode", 14, 0xC0000005u),
                             value_ev("EXCEPTION_RECORD__ExceptionFlags", 14, 1),
                             value_ev("EXCEPTION_RECORD__ExceptionAddress", 12, 0x401000),
                             value_ev("EXCEPTION_RECORD__ExceptionParameters", 12, 1),
                             value_ev("EXCEPTION_RECORD__ExceptionParameters", 12, 0xdead0),
                             value_ev("CONTEXT_RECORD__Rip", 12, 0x401000),
                             value_ev("CONTEXT_RECORD__LastBranchToRip", 12, 0x10),
                             value_ev("CONTEXT_RECORD__LastBranchFromRip", 12, 0x20),
                             value_ev("CONTEXT_RECORD__LastExceptionToRip", 12, 0x30),
                             value_ev("CONTEXT_RECORD__LastExceptionFromRip", 12, 0x40), text_ev(kAbortNote),
                             text_ev("caught an unhandled signal")});
}

TEST(ExceptionFilter, WithoutRecordsLogsOnlyTheAbortTexts) {
    TempDir tmp;
    Outcome r = in_child_with_dump_dir(tmp.path(), [] {
        const RNEDumpExceptionPointers none = {nullptr, nullptr};
        RNEDump_ExceptionFilter(&none);
        RNEDump_ExceptionFilter(nullptr);
        std::printf("%s", rne_name().c_str());
    });
    RneLog log;
    ASSERT_TRUE(rne_read_file(tmp.file(r.out).c_str(), &log)) << log.error;
    expect_events_from(log, {text_ev(kAbortNote), text_ev("caught an unhandled signal"), text_ev(kAbortNote),
                             text_ev("caught an unhandled signal")});
}

// A link planted at the dump file's name is neither followed nor replaced:
// its target keeps its bytes, and the abort dump prints no line for a file
// it could not write.
TEST(DumpFiles, NeverWriteThroughASymbolicLink) {
#ifdef _WIN32
    GTEST_SKIP() << "needs symbolic links";
#endif
    TempDir tmp;
    write_file(tmp.file("target"), "precious");
    Outcome r = in_child_with_dump_dir(tmp.path(), [&] {
        symlink(tmp.file("target").c_str(), tmp.file(rne_name()).c_str());
        const char* place = "unset";
        RNEDump_DoOnAbortDump(&place, "encountered an assertion failure");
        std::printf("%s|%d", place == nullptr ? "null" : place,
                    ZOLTA_WriteRNEFile(tmp.path().c_str(), ZOLTA_GetThreadLog(), plat_process_id()));
    });
    EXPECT_EQ(r.out, "null|0");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(tmp.file("target")), "precious");
}

// A link at a backing file's name is replaced by a private regular file.
TEST(DumpFiles, BackingFileReplacesAPlantedLinkWithAPrivateFile) {
#ifdef _WIN32
    GTEST_SKIP() << "needs symbolic links and POSIX modes (0600)";
#endif
    TempDir tmp;
    write_file(tmp.file("target"), "precious");
    Outcome r = run_in_child([&] {
        setenv("ZEP_RNE_DUMP_PATH", tmp.path().c_str(), 1);
        zolta_reset_for_tests();
        const std::string map = tmp.path() + "/" + std::to_string(plat_process_id()) + "_" +
                                std::to_string(plat_thread_id()) + "_map.rne";
        symlink(tmp.file("target").c_str(), map.c_str());
        ZOLTA_LogU32("main", 1);
        std::printf("%s %o", zolta_backing_file(ZOLTA_GetThreadLog()), permissions(map));
        std::fflush(stdout);
        plat_quick_exit(0);
    });
    EXPECT_NE(r.out.find("_map.rne 600"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(tmp.file("target")), "precious");
}

}  // namespace
