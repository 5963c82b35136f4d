// run_in_child: the fork-based isolation that trap() and run_program()
// replace; it goes once its last caller is converted.
#include "support/child.h"

#ifndef _WIN32
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Reads both pipes until both close, so neither child stream can block.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

// AddressSanitizer, asked to return null for an impossible allocation,
// still announces it on standard error; that note is the sanitizer's, not
// the program's, and would break exact comparisons under `make test-asan`.
std::string without_allocation_notes(const std::string& err) {
    std::string out;
    size_t start = 0;
    while (start < err.size()) {
        size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string line = err.substr(start, end - start);
        bool note = line.rfind("==", 0) == 0 && line.find("WARNING: AddressSanitizer failed to allocate") != std::string::npos;
        if (!note) out += line;
        start = end;
    }
    return out;
}

Outcome wait_child(pid_t pid, int out_fd, int err_fd) {
    Outcome r;
    drain(out_fd, err_fd, r.out, r.err);
    r.err = without_allocation_notes(r.err);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
    return r;
}

}  // namespace

Outcome run_in_child(const std::function<void()>& body) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return wait_child(pid, out_pipe[0], err_pipe[0]);
}

#else  // _WIN32
// Windows: no fork.  run_in_child starts this test program again, running
// only the current test, and the new process runs the body when it reaches
// the same run_in_child call (counted per test) with its standard streams
// put back on the captures; until then they go to NUL, so the test runner's own output
// stays out of the capture.  Temporary directories the test made before the
// call are handed to the child, which uses them instead of making new ones,
// and so are the results of the test's earlier calls: the child answers
// those from the parent's record instead of starting children of its own
// (which would start theirs in turn, twice as many processes per call), so
// it takes the same path to its call as the parent did.
#include <windows.h>

#include <fstream>
#include <gtest/gtest.h>
#include <io.h>

namespace {

constexpr const char kChildCallVar[] = "SYMKEEP_CHILD_CALL";
constexpr const char kChildDirsVar[] = "SYMKEEP_CHILD_TEMPDIRS";
constexpr const char kChildResultsVar[] = "SYMKEEP_CHILD_RESULTS";

int g_call_count = 0;                  // run_in_child calls of the current test
std::vector<std::string> g_tempdirs;   // made by the current test, in order
int g_child_call = 0;                  // in a child: the call to run, else 0
std::vector<std::string> g_child_dirs; // in a child: the parent's directories
std::vector<Outcome> g_results;    // the current test's earlier calls
int g_saved_out = -1;
int g_saved_err = -1;

class PerTestReset : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        g_call_count = 0;
        g_tempdirs.clear();
        // A child keeps the record it was handed: it runs one test only.
        if (g_child_call == 0) g_results.clear();
    }
};

// The record of earlier calls, as "status signal out-length err-length\n"
// then the two texts, per call.
void save_results(const std::string& path, const std::vector<Outcome>& results) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const Outcome& r : results)
        out << r.status << ' ' << r.signal << ' ' << r.out.size() << ' ' << r.err.size() << '\n' << r.out << r.err;
}

std::vector<Outcome> load_results(const std::string& path) {
    std::vector<Outcome> results;
    std::ifstream in(path, std::ios::binary);
    Outcome r;
    size_t out_size = 0, err_size = 0;
    while (in >> r.status >> r.signal >> out_size >> err_size && in.get() == '\n') {
        r.out.assign(out_size, '\0');
        r.err.assign(err_size, '\0');
        in.read(&r.out[0], static_cast<std::streamsize>(out_size));
        in.read(&r.err[0], static_cast<std::streamsize>(err_size));
        if (!in) break;
        results.push_back(r);
    }
    return results;
}

// In a child, before main: the streams go to NUL until the body runs.
struct ChildSetUp {
    ChildSetUp() {
        ::testing::UnitTest::GetInstance()->listeners().Append(new PerTestReset);
        symkeep_child_tempdir = [](size_t index) {
            return index < g_child_dirs.size() ? g_child_dirs[index].c_str() : nullptr;
        };
        symkeep_record_tempdir = [](const char* path) { g_tempdirs.push_back(path); };
        const char* call = std::getenv(kChildCallVar);
        if (call == nullptr || *call == '\0') return;
        g_child_call = std::atoi(call);
        if (const char* dirs = std::getenv(kChildDirsVar)) {
            std::string all = dirs;
            size_t start = 0;
            while (start < all.size()) {
                size_t end = all.find('|', start);
                if (end == std::string::npos) end = all.size();
                g_child_dirs.push_back(all.substr(start, end - start));
                start = end + 1;
            }
        }
        if (const char* results = std::getenv(kChildResultsVar)) g_results = load_results(results);
        _putenv_s(kChildCallVar, "");
        _putenv_s(kChildDirsVar, "");
        _putenv_s(kChildResultsVar, "");
        g_saved_out = _dup(1);
        g_saved_err = _dup(2);
        const int nul = _open("NUL", _O_WRONLY);
        if (nul >= 0) {
            _dup2(nul, 1);
            _dup2(nul, 2);
            _close(nul);
        }
    }
} g_child_set_up;

}  // namespace

Outcome run_in_child(const std::function<void()>& body) {
    const int call = ++g_call_count;
    if (call == g_child_call) {
        std::fflush(stdout);
        std::fflush(stderr);
        _dup2(g_saved_out, 1);
        _dup2(g_saved_err, 2);
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(0);
    }
    if (g_child_call != 0) {
        // An earlier call of the parent's: its answer, not a new child.
        return static_cast<size_t>(call) <= g_results.size() ? g_results[static_cast<size_t>(call) - 1]
                                                               : Outcome{};
    }
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) return {};
    char self[MAX_PATH + 1] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string dirs;
    for (const std::string& d : g_tempdirs) dirs += (dirs.empty() ? "" : "|") + d;
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    char temp[MAX_PATH + 1] = "";
    const DWORD temp_length = GetTempPathA(sizeof temp, temp);
    const std::string record = std::string(temp_length > 0 && temp_length < sizeof temp ? temp : ".\\") +
                               "symkeep_child_" + std::to_string(GetCurrentProcessId()) + ".results";
    save_results(record, g_results);
    Outcome r = run_program({self, filter}, {std::string(kChildCallVar) + "=" + std::to_string(call),
                                                  std::string(kChildDirsVar) + "=" + dirs,
                                                  std::string(kChildResultsVar) + "=" + record});
    DeleteFileA(record.c_str());
    g_results.push_back(r);
    return r;
}

#endif  // _WIN32
