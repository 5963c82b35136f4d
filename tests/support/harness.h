// The one way tests and fuzz targets run something in isolation: trap() runs code in this process with the
// program's ends turned into an exception, run_program() runs the real tool or the probe program
// (support/probe.cpp) for what needs a process of its own: signals, crash dumps, exit-time handlers, the
// environment before start-up.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// What a user would see of a run.  In both ways of running, AddressSanitizer's notes about impossible
// allocations are left out of `err`, and Windows text-mode line ends read as "\n".
struct Outcome {
    int status = -1;  // exit status; -1 when the body returned or the program was killed
    int signal = 0;   // the signal that ended a program, 0 when it exited
    std::string out, err;
};

// Runs `body` on the calling thread with ExitHook throwing back here (the runtime's frames unwind, their
// destructors run); returns the status the program would have ended with, -1 when the body returned.  The hooks
// a body may replace (ExitHook, the memory and message hooks, plat_calls, plat_path_calls) are put back; what it
// starts or caches (gen_init's services, the program name) stays.  A trap inside a trap throws
// std::logic_error; a body that ends the process for real (gen_exit, std::exit) aborts it with a note.
int trap_status(const std::function<void()>& body);

// trap_status() with standard output and error captured at the descriptor level (printf, the stderr stream,
// descriptor writes alike); errno is the caller's when the body starts and the body's on return.
Outcome trap(const std::function<void()>& body);

// Runs a program (argv[0] is its path) with extra environment entries "NAME=value" ("NAME" alone removes
// NAME), in `cwd` when not empty, with `stdin_text` as its standard input.  SYMKEEP_TEST_WRAPPER (`make
// test-valgrind`) puts its words in front of every run of symkeep or rnecat.  On Windows an exception code
// comes back as the POSIX signal it stands for.
Outcome run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                    const std::string& cwd = "", const std::string& stdin_text = "");

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
std::vector<std::string> files_in(const std::string& dir);  // sorted; none when it cannot be read
FILE* stream_of(const std::string& bytes);  // a temporary stream holding `bytes`, at its start

// A fresh directory, removed with its contents at the end of the scope.  On Windows the path is the full one
// with a drive letter and '\' throughout, as the runtime writes it.
class TempDir {
public:
#ifdef _WIN32
    static constexpr char kSeparator = '\\';
#else
    static constexpr char kSeparator = '/';
#endif
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + kSeparator + name; }

private:
    std::string path_;
};

// `path` (written with '/') spelled as the runtime's path routines write it; `rel` under `dir` in that spelling.
inline std::string native(std::string path) { std::replace(path.begin(), path.end(), '/', TempDir::kSeparator); return path; }
inline std::string under(const std::string& dir, const std::string& rel) { return dir + TempDir::kSeparator + native(rel); }
