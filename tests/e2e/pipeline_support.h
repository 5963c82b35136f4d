// Helpers shared by the end-to-end pipeline tests: running the tool on input
// bytes, finding host tools, comparing whole files with a readable report of
// where they differ, and matching the tool's fatal-message layout.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/harness.h"

namespace pipeline {

struct ToolRun {
    Outcome result;
    bool output_exists = false;
    std::string output;
};

// Writes `input` to DIR/in.elf and runs the tool there with relative names,
// so that messages name "in.elf".  Each keep entry becomes "-keep NAME".
inline ToolRun run_symkeep(const TempDir& dir, const std::string& input, const std::vector<std::string>& keep,
                           const std::string& in_name = "in.elf", const std::string& out_name = "out.elf") {
    write_file(dir.file(in_name), input);
    std::vector<std::string> argv = {SYMKEEP_BIN};
    for (const std::string& k : keep) argv.insert(argv.end(), {"-keep", k});
    argv.insert(argv.end(), {"-o", out_name, in_name});
    ToolRun run;
    run.result = run_program(argv, {}, dir.path());
    run.output_exists = file_exists(dir.file(out_name));
    if (run.output_exists) run.output = read_file(dir.file(out_name));
    return run;
}

// An executable found on PATH, or "" when there is none.
inline std::string find_tool(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

inline std::string hex_bytes(const std::string& b, size_t from, size_t count) {
    std::string s;
    char buf[4];
    for (size_t i = from; i < from + count && i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned char>(b[i]));
        s += buf;
    }
    return s;
}

// Empty when equal; otherwise the sizes and the first few differing ranges,
// each as 16 expected and actual bytes from the row that holds them.
inline std::string compare_bytes(const std::string& expected, const std::string& actual) {
    if (expected == actual) return "";
    std::ostringstream os;
    os << "expected " << expected.size() << " bytes (0x" << std::hex << expected.size() << "), got " << std::dec
       << actual.size() << " (0x" << std::hex << actual.size() << ")\n";
    size_t shown = 0, n = std::max(expected.size(), actual.size());
    for (size_t i = 0; i < n && shown < 6; ++i) {
        bool same = i < expected.size() && i < actual.size() && expected[i] == actual[i];
        if (same) continue;
        size_t row = i & ~size_t{15};
        os << "first difference at 0x" << std::hex << i << ":\n  expected @0x" << row << ": "
           << hex_bytes(expected, row, 16) << "\n  actual   @0x" << row << ": " << hex_bytes(actual, row, 16) << "\n";
        ++shown;
        i = row + 15;  // next row
    }
    return os.str();
}

}  // namespace pipeline
