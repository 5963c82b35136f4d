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
#include "support/rne_events.h"
#include "support/child.h"
#include "support/harness.h"

// What the signal tests need from a sanitizer build: its own handlers off,
// so the runtime's handlers see the faults.  Ignored by a plain build.
inline const char* kChildAsanOptions =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0:"
    "allocator_may_return_null=1";

inline Outcome run_probe(const std::string& mode, std::vector<std::string> env, const std::string& cwd = "") {
    env.push_back(kChildAsanOptions);
    return run_program({SYMKEEP_PROBE, mode}, env, cwd);
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
