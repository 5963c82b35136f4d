#include "support/harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

#include "platform/platform.h"
#include "shared/genexit.h"
#include "shared/genmem.h"
#include "shared/genout.h"

namespace {

bool g_trapping = false;
int g_real_stderr = 2;

[[noreturn]] void throw_exit(int status) { throw TrappedExit{status}; }

// Aborts (so that a fuzzer keeps the input) rather than let a test that
// ended half-way pass.
void refuse_exit_inside_trap() {
    if (!g_trapping) return;
    static const char note[] = "harness: the process ended inside trap(); such a case needs run_program\n";
    if (write(g_real_stderr, note, sizeof note - 1) < 0) {
    }
    std::abort();
}

// Puts back, however the body ends, the hooks a body may replace.
class SavedHooks {
public:
    ~SavedHooks() {
        AllocHook = alloc_, ReallocHook = realloc_, FreeHook = free_, ExitHook = exit_;
        MessageHook = message_, AssertMessageHook = assert_message_;
        plat_calls = calls_, plat_path_calls = path_calls_;
        g_trapping = false;
    }

private:
    AllocHookFn alloc_ = AllocHook;
    ReallocHookFn realloc_ = ReallocHook;
    FreeHookFn free_ = FreeHook;
    ExitHookFn exit_ = ExitHook;
    MessageHookFn message_ = MessageHook, assert_message_ = AssertMessageHook;
    PlatCalls calls_ = plat_calls;
    PlatPathCalls path_calls_ = plat_path_calls;
};

std::string contents(FILE* f) {
    std::string text;
    char buf[65536];
    std::rewind(f);
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    return text;
}

// One standard descriptor sent into a temporary file until take().
class Capture {
public:
    explicit Capture(int fd) : fd_(fd), file_(std::tmpfile()), saved_(dup(fd)) {
        if (file_ == nullptr || saved_ < 0 || dup2(fileno(file_), fd) < 0)
            throw std::runtime_error("harness: cannot capture a standard stream");
    }
    ~Capture() {
        restore();
        if (file_ != nullptr) std::fclose(file_);
    }
    int saved() const { return saved_; }
    std::string take() {
        restore();
        FILE* f = file_;
        file_ = nullptr;
        return contents(f);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(fd_ == 1 ? stdout : stderr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    FILE* file_;
    int saved_;
};

// AddressSanitizer, asked to return null for an impossible allocation,
// still announces it on standard error; the note is the sanitizer's, not
// the program's, and would break exact comparisons under `make test-asan`.
std::string without_allocation_notes(const std::string& err) {
    std::string kept;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("==", 0) == 0 && line.find("AddressSanitizer failed to allocate") != std::string::npos) continue;
        kept += line + (in.eof() ? "" : "\n");
    }
    return kept;
}

#ifdef _WIN32
std::string lf_lines(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
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
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    return out.append(backslashes * 2, '\\') + "\"";
}

// The current environment with the changes made; names compare without case.
std::string environment_block(const std::vector<std::string>& changes) {
    auto name_of = [](const std::string& e) { return e.substr(0, e.find('=', 1)); };  // "=C:=C:\" entries
    std::vector<std::string> vars;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) vars.push_back(p);
        FreeEnvironmentStringsA(block);
    }
    for (const std::string& change : changes) {
        vars.erase(std::remove_if(vars.begin(), vars.end(),
                                  [&](const std::string& v) { return _stricmp(name_of(v).c_str(), name_of(change).c_str()) == 0; }),
                   vars.end());
        if (change.find('=') != std::string::npos) vars.push_back(change);
    }
    std::string block;
    for (const std::string& v : vars) block += v + '\0';
    return block + '\0';
}

HANDLE inherited(FILE* f) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fileno(f)));
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

// An exception code stands for the POSIX signal a crash test expects.
void set_status(Outcome& r, DWORD code) {
    if ((code & 0xF0000000u) != 0xC0000000u) {
        r.status = static_cast<int>(code);
        return;
    }
    switch (code) {
        case 0xC0000005u: r.signal = SIGSEGV; break;
        case 0xC000001Du: case 0xC0000096u: r.signal = SIGILL; break;
        case 0xC0000094u: case 0xC0000095u: case 0xC000008Eu: case 0xC0000090u: r.signal = SIGFPE; break;
        default: r.signal = SIGABRT;
    }
}
#else
// The checker's words before a run of symkeep or rnecat (and of nothing
// else, so test helpers and oracles run as they are).
std::vector<std::string> wrapped(const std::vector<std::string>& argv) {
    const char* wrapper = std::getenv("SYMKEEP_TEST_WRAPPER");
    const std::string base = argv[0].substr(argv[0].rfind('/') + 1);
    if (wrapper == nullptr || (base != "symkeep" && base != "rnecat")) return argv;
    std::vector<std::string> words;
    std::istringstream in(wrapper);
    for (std::string w; in >> w;) words.push_back(w);
    words.insert(words.end(), argv.begin(), argv.end());
    return words;
}
#endif

}  // namespace

int trap_status(const std::function<void()>& body) {
    static const bool guarded = std::atexit(refuse_exit_inside_trap) == 0;
    (void)guarded;
    if (g_trapping) throw std::logic_error("harness: trap() inside a trapped body");
    SavedHooks saved;
    g_trapping = true;
    ExitHook = throw_exit;
    try {
        body();
    } catch (const TrappedExit& e) {
        return e.status;
    }
    return -1;
}

Outcome trap(const std::function<void()>& body) {
    const int entry_errno = errno;
    int left_errno = 0;
    Outcome r;
    std::fflush(stdout);
    std::fflush(stderr);
    {
        Capture out(1), err(2);
        g_real_stderr = err.saved();
        r.status = trap_status([&] {
            errno = entry_errno;
            body();
        });
        left_errno = errno;
        g_real_stderr = 2;
        r.out = out.take();
        r.err = without_allocation_notes(err.take());
    }
#ifdef _WIN32
    r.out = lf_lines(r.out);
    r.err = lf_lines(r.err);
#endif
    errno = left_errno;
    return r;
}

Outcome run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& cwd, const std::string& stdin_text) {
    Outcome r;
    if (argv.empty()) return r;
    FILE* in = stream_of(stdin_text);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef _WIN32
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inherited(in);
    si.hStdOutput = inherited(out);
    si.hStdError = inherited(err);
    std::string command, block = environment_block(env);
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quote_argument(a);
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, TRUE, 0, block.data(),
                       cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        set_status(r, code);
    } else {
        r.status = 127;
    }
    r.out = lf_lines(contents(out));
    r.err = lf_lines(contents(err));
#else
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(in), 0);
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        for (const std::string& e : env) {
            const size_t eq = e.find('=');
            if (eq == std::string::npos) unsetenv(e.c_str());
            else setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<std::string> words = wrapped(argv);
        std::vector<char*> args;
        for (std::string& w : words) args.push_back(w.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (pid > 0 && WIFEXITED(st)) r.status = WEXITSTATUS(st);
    if (pid > 0 && WIFSIGNALED(st)) r.signal = WTERMSIG(st);
    r.out = contents(out);
    r.err = without_allocation_notes(contents(err));
#endif
    std::fclose(in);
    return r;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/symkeep-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
#ifdef _WIN32
    // The spelling the runtime's path routines give back, so that expected
    // messages can be built from path() and file().
    char full[_MAX_PATH];
    if (_fullpath(full, path_.c_str(), sizeof full) == nullptr) throw std::runtime_error("_fullpath failed");
    path_ = native(full);
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

#ifdef _WIN32
// What tests/posix_compat.h stands in with for fcntl(F_GETFD) and link().
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
#endif
