// The one way tests and fuzz targets run something in isolation.
//
// trap() runs code in this process with the program's ends turned into a
// C++ exception: ExitHook throws TrappedExit{status}, which unwinds through
// the runtime's frames (running their destructors) back to trap(), and
// standard output and error are captured at the descriptor level, so
// printf, the stderr stream and the out-of-memory report's descriptor
// writes are all seen.  Whatever needs a process of its own (signals, crash
// dumps, exit-time handlers, the environment before start-up) runs as a
// subprocess: run_program() starts the real tool or the probe program
// (support/probe.cpp, which takes a scenario name).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// What a user would see of a run.
struct Outcome {
    int status = -1;  // exit status; -1 when the body returned or the program was killed
    int signal = 0;   // the signal that ended a program, 0 when it exited
    std::string out;
    std::string err;
};

struct TrappedExit {
    int status;
};

// Runs `body` on the calling thread with ExitHook throwing TrappedExit.
// Returns the status the program would have ended with, -1 when the body
// returned.  Afterwards the hooks a body may replace are as they were
// before: ExitHook, the memory and message hooks, plat_calls and
// plat_path_calls.  The services a body starts stay started (gen_init's
// crash-report set-up runs once per process), as do the program name and
// the runtime's caches; use the product's reset seams where a case must
// start afresh.  A trap inside a trap is refused (std::logic_error), and a
// body that really ends the process (std::exit, gen_exit called directly)
// ends it with status 99 and a note, never silently.
int trap_status(const std::function<void()>& body);

// trap_status() with both standard streams captured; errno is the body's on
// entry and on return.  AddressSanitizer's notes about impossible
// allocations are left out of `err`.
Outcome trap(const std::function<void()>& body);

// Runs a program (argv[0] is its path) with extra environment entries
// "NAME=value" ("NAME" alone removes NAME), in `cwd` when not empty, with
// `stdin_text` as its standard input.  Under SYMKEEP_TEST_WRAPPER (words
// put in front of every run of symkeep or rnecat: `make test-valgrind`)
// the product runs under that checker.  On Windows the streams' CR LF line
// ends are read back as LF, and an exception code is reported as the POSIX
// signal it stands for.
Outcome run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                    const std::string& cwd = "", const std::string& stdin_text = "");

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// The names in a directory, sorted; none when it cannot be read.
std::vector<std::string> files_in(const std::string& dir);
// A temporary stream holding `bytes`, positioned at its start.
FILE* stream_of(const std::string& bytes);

// A fresh directory under the system temporary directory, removed with its
// contents when the object goes out of scope.  On Windows the path is the
// full one with a drive letter and '\' throughout, as the runtime writes it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
#ifdef _WIN32
    static constexpr char kSeparator = '\\';
#else
    static constexpr char kSeparator = '/';
#endif
    std::string file(const std::string& name) const { return path_ + kSeparator + name; }

private:
    std::string path_;
};

// `path` (written with '/') spelled as the runtime's path routines write it.
inline std::string native(std::string path) {
    for (char& c : path)
        if (c == '/') c = TempDir::kSeparator;
    return path;
}

// `rel` (written with '/') under `dir`, in that spelling.
inline std::string under(const std::string& dir, const std::string& rel) {
    return dir + TempDir::kSeparator + native(rel);
}
