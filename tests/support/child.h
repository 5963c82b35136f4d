// Runs code, or a program, in a child process and captures what a user
// would see: standard output, standard error and the exit status.  Tests of
// fatal paths use it to assert exact bytes and statuses without ending the
// test runner.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct ChildResult {
    int status = -1;      // exit status, or -1 when the child did not exit normally
    int signal = 0;       // terminating signal, 0 when it exited
    std::string out;
    std::string err;
};

// Forks; the child runs `body` then exits 0 (flushing stdio).
ChildResult run_in_child(const std::function<void()>& body);

// Runs a program with arguments (argv[0] included) and extra environment
// entries "NAME=value" (an entry "NAME" alone removes NAME).  `cwd` empty
// keeps the current directory.
ChildResult run_program(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env = {},
                        const std::string& cwd = "",
                        const std::string& stdin_text = "");

std::string read_file(const std::string& path);
// A temporary stream holding `bytes`, positioned at its start.
FILE* stream_of(const std::string& bytes);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// The names in a directory, sorted; none when it cannot be read.
std::vector<std::string> files_in(const std::string& dir);
