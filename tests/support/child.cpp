#include "support/child.h"

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

ChildResult wait_child(pid_t pid, int out_fd, int err_fd) {
    ChildResult r;
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

ChildResult run_in_child(const std::function<void()>& body) {
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

// `make test-valgrind` runs the product's binaries under a checker: the
// words of SYMKEEP_TEST_WRAPPER are put in front of every run of symkeep or
// rnecat (and of nothing else, so test helpers and oracles run as usual).
std::vector<std::string> wrapped(const std::vector<std::string>& argv) {
    const char* wrapper = std::getenv("SYMKEEP_TEST_WRAPPER");
    if (wrapper == nullptr || *wrapper == '\0' || argv.empty()) return argv;
    std::string base = argv[0].substr(argv[0].rfind('/') + 1);
    if (base != "symkeep" && base != "rnecat") return argv;
    std::vector<std::string> words;
    std::istringstream in(wrapper);
    for (std::string w; in >> w;) words.push_back(w);
    words.insert(words.end(), argv.begin(), argv.end());
    return words;
}

ChildResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& cwd, const std::string& stdin_text) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0) return {};
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        for (const std::string& e : env) {
            size_t eq = e.find('=');
            if (eq == std::string::npos)
                unsetenv(e.c_str());
            else
                setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<std::string> words = wrapped(argv);
        std::vector<char*> args;
        for (const std::string& a : words) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (words.size() > argv.size())
            execvp(args[0], args.data());
        else
            execve(args[0], args.data(), environ);
        _exit(127);
    }
    close(in_pipe[0]);
    if (!stdin_text.empty()) {
        ssize_t ignored = write(in_pipe[1], stdin_text.data(), stdin_text.size());
        (void)ignored;
    }
    close(in_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    return wait_child(pid, out_pipe[0], err_pipe[0]);
}

#else  // _WIN32
// Windows: no fork.  run_program starts the program with CreateProcess and
// pipes; run_in_child starts this test program again, running only the
// current test, and the new process runs the body when it reaches the same
// run_in_child call (counted per test) with its standard streams put back on
// the pipes; until then they go to NUL, so the test runner's own output
// stays out of the capture.  Temporary directories the test made before the
// call are handed to the child, which uses them instead of making new ones,
// and so are the results of the test's earlier calls: the child answers
// those from the parent's record instead of starting children of its own
// (which would start theirs in turn, twice as many processes per call), so
// it takes the same path to its call as the parent did.
// Text-mode output ends its lines with CR LF; the captures are turned back
// into LF lines so that tests compare the same bytes on every platform.
#include <windows.h>

#include <fstream>
#include <gtest/gtest.h>
#include <io.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

constexpr const char kChildCallVar[] = "SYMKEEP_CHILD_CALL";
constexpr const char kChildDirsVar[] = "SYMKEEP_CHILD_TEMPDIRS";
constexpr const char kChildResultsVar[] = "SYMKEEP_CHILD_RESULTS";

int g_call_count = 0;                  // run_in_child calls of the current test
std::vector<std::string> g_tempdirs;   // made by the current test, in order
int g_child_call = 0;                  // in a child: the call to run, else 0
std::vector<std::string> g_child_dirs; // in a child: the parent's directories
std::vector<ChildResult> g_results;    // the current test's earlier calls
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
void save_results(const std::string& path, const std::vector<ChildResult>& results) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const ChildResult& r : results)
        out << r.status << ' ' << r.signal << ' ' << r.out.size() << ' ' << r.err.size() << '\n' << r.out << r.err;
}

std::vector<ChildResult> load_results(const std::string& path) {
    std::vector<ChildResult> results;
    std::ifstream in(path, std::ios::binary);
    ChildResult r;
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

std::string lf_lines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

std::string quote_argument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') backslashes = backslashes * 2 + 1;
        out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// The current environment with the entries changed: "NAME=value" sets,
// "NAME" alone removes.
std::string environment_block(const std::vector<std::string>& changes) {
    std::vector<std::string> vars;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) vars.push_back(p);
        FreeEnvironmentStringsA(block);
    }
    auto name_of = [](const std::string& e) {
        size_t eq = e.find('=', 1);  // "=C:=C:\..." entries start with '='
        return e.substr(0, eq);
    };
    for (const std::string& change : changes) {
        const std::string name = name_of(change);
        for (size_t i = 0; i < vars.size();) {
            if (_stricmp(name_of(vars[i]).c_str(), name.c_str()) == 0)
                vars.erase(vars.begin() + static_cast<long>(i));
            else
                ++i;
        }
        if (change.find('=') != std::string::npos) vars.push_back(change);
    }
    std::string block;
    for (const std::string& v : vars) block += v + '\0';
    return block + '\0';
}

// An exit code that is an exception status stands for the POSIX signal it
// corresponds to.
void set_status(ChildResult& r, DWORD code) {
    if ((code & 0xF0000000u) == 0xC0000000u) {
        switch (code) {
            case 0xC0000005u: r.signal = SIGSEGV; break;
            case 0xC000001Du: case 0xC0000096u: r.signal = SIGILL; break;
            case 0xC0000094u: case 0xC0000095u: case 0xC000008Eu: case 0xC0000090u: r.signal = SIGFPE; break;
            default: r.signal = SIGABRT; break;
        }
        return;
    }
    r.status = static_cast<int>(code);
}

ChildResult spawn(const std::string& application, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env, const std::string& cwd, const std::string& stdin_text) {
    ChildResult r;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write, in_read, in_write;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) return r;
    if (!CreatePipe(&err_read, &err_write, &inherit, 0)) return r;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) return r;
    for (HANDLE h : {out_read, err_read, in_write}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);

    std::string command;
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quote_argument(a);
    std::string block = environment_block(env);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = err_write;
    PROCESS_INFORMATION pi = {};
    std::fflush(stdout);
    std::fflush(stderr);
    const BOOL started = CreateProcessA(application.c_str(), command.data(), nullptr, nullptr, TRUE, 0, block.data(),
                                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    for (HANDLE h : {out_write, err_write, in_read}) CloseHandle(h);
    if (started) {
        if (!stdin_text.empty()) {
            DWORD written = 0;
            WriteFile(in_write, stdin_text.data(), static_cast<DWORD>(stdin_text.size()), &written, nullptr);
        }
    }
    CloseHandle(in_write);
    auto drain = [](HANDLE h, std::string* into) {
        char buf[65536];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) into->append(buf, n);
    };
    std::thread err_reader(drain, err_read, &r.err);
    drain(out_read, &r.out);
    err_reader.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    if (!started) {
        r.status = 127;
        return r;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    set_status(r, code);
    r.out = lf_lines(r.out);
    r.err = lf_lines(r.err);
    return r;
}

}  // namespace

const char* symkeep_child_tempdir(size_t index) {
    return index < g_child_dirs.size() ? g_child_dirs[index].c_str() : nullptr;
}

void symkeep_record_tempdir(const char* path) { g_tempdirs.push_back(path); }

int symkeep_fd_not_inherited(int fd) {
    DWORD flags = 0;
    const intptr_t h = _get_osfhandle(fd);
    if (h == -1 || !GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) return -1;
    return (flags & HANDLE_FLAG_INHERIT) == 0 ? 1 : 0;
}

int symkeep_hard_link(const char* from, const char* to) {
    if (CreateHardLinkA(to, from, nullptr)) return 0;
    errno = EACCES;
    return -1;
}

ChildResult run_in_child(const std::function<void()>& body) {
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
                                                               : ChildResult{};
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
    ChildResult r = spawn(self, {self, filter},
                          {std::string(kChildCallVar) + "=" + std::to_string(call),
                           std::string(kChildDirsVar) + "=" + dirs, std::string(kChildResultsVar) + "=" + record},
                          "", "");
    DeleteFileA(record.c_str());
    g_results.push_back(r);
    return r;
}

ChildResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& cwd, const std::string& stdin_text) {
    if (argv.empty()) return {};
    return spawn(argv[0], argv, env, cwd, stdin_text);
}
#endif  // _WIN32

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

FILE* stream_of(const std::string& bytes) {
    FILE* fp = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), fp);
    std::rewind(fp);
    return fp;
}
