#include "support/harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <tuple>
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

struct TrappedExit { int status; };

// The hooks a body may replace, put back however it ends.
// (MessageHookFn, on mingw, carries attributes a template argument would drop.)
auto hooks() { return std::tie(AllocHook, ReallocHook, FreeHook, ExitHook, plat_calls, plat_path_calls); }
struct SavedHooks {
    std::tuple<AllocHookFn, ReallocHookFn, FreeHookFn, ExitHookFn, PlatCalls, PlatPathCalls> saved = hooks();
    MessageHookFn message = MessageHook, assert_message = AssertMessageHook;
    ~SavedHooks() { hooks() = saved, MessageHook = message, AssertMessageHook = assert_message, g_trapping = false; }
};

// A temporary file, gone once closed.  (On Windows the C library's tmpfile() picks names that processes
// running side by side collide on.)
FILE* temp_file() {
#ifdef _WIN32
    char dir[MAX_PATH + 1], name[MAX_PATH + 1];
    if (GetTempPathA(sizeof dir, dir) == 0 || GetTempFileNameA(dir, "sk", 0, name) == 0) return nullptr;
    return std::fopen(name, "w+bD");
#else
    return std::tmpfile();
#endif
}

std::string contents(FILE* f) {
    std::string text;
    char buf[65536];
    std::rewind(f);
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    return text;
}

// AddressSanitizer, asked to return null for an impossible allocation, still announces it on standard
// error: the sanitizer's note, not the program's.
std::string as_seen(const std::string& text) {
    std::string kept;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("==", 0) == 0 && line.find("AddressSanitizer failed to allocate") != std::string::npos) continue;
#ifdef _WIN32
        if (!line.empty() && line.back() == '\r') line.pop_back();
#endif
        kept += line + (in.eof() ? "" : "\n");
    }
    return kept;
}

// A standard descriptor on a temporary file (stream_of(input) for standard input) until take(), which
// gives back what was written there, or the end of the scope.
struct Redirect {
    int fd;
    FILE* file;
    int saved = dup(fd);
    Redirect(int fd_, FILE* file_) : fd(fd_), file(file_) {
        if (fd != 0) std::fflush(fd == 1 ? stdout : stderr);
        if (file == nullptr || saved < 0 || dup2(fileno(file), fd) < 0)
            throw std::runtime_error("harness: cannot redirect a standard stream");
    }
    ~Redirect() { take(); }
    std::string take() {
        if (saved < 0) return "";
        if (fd != 0) std::fflush(fd == 1 ? stdout : stderr);
        dup2(saved, fd), close(saved), saved = -1;
        return as_seen(contents(file));
    }
};

#ifdef _WIN32
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '"') out.append(backslashes + 1, '\\');  // each one escaped, then the quote
        backslashes = c == '\\' ? backslashes + 1 : 0;
        out += c;
    }
    return out.append(backslashes, '\\') + "\"";
}

// The current environment with the changes made; names compare without case.
std::string environment_block(const std::vector<std::string>& changes) {
    auto name_of = [](const std::string& e) { return e.substr(0, e.find('=', 1)); };  // "=C:=C:\" entries
    std::vector<std::string> vars;
    char* block = GetEnvironmentStringsA();
    for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) vars.push_back(p);
    FreeEnvironmentStringsA(block);
    for (const std::string& change : changes) {
        auto same = [&](const std::string& v) { return _stricmp(name_of(v).c_str(), name_of(change).c_str()) == 0; };
        vars.erase(std::remove_if(vars.begin(), vars.end(), same), vars.end());
        if (change.find('=') != std::string::npos) vars.push_back(change);
    }
    std::string text;
    for (const std::string& v : vars) text += v + '\0';
    return text + '\0';
}

void start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd,
           Outcome& r) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    HANDLE* std_handles[] = {&si.hStdInput, &si.hStdOutput, &si.hStdError};
    for (int fd = 0; fd < 3; ++fd) {
        *std_handles[fd] = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        SetHandleInformation(*std_handles[fd], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    std::string command, block = environment_block(env);
    for (const std::string& a : argv) command += (command.empty() ? "" : " ") + quoted(a);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(argv[0].c_str(), command.data(), nullptr, nullptr, TRUE, 0, block.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
        r.status = 127;
        return;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // An exception code stands for the POSIX signal a crash test expects.
    if ((code & 0xF0000000u) != 0xC0000000u) r.status = static_cast<int>(code);
    else if (code == 0xC0000005u) r.signal = SIGSEGV;
    else if (code == 0xC000001Du || code == 0xC0000096u) r.signal = SIGILL;
    else r.signal = code >= 0xC000008Du && code <= 0xC0000095u ? SIGFPE : SIGABRT;
}
#else
void start(std::vector<std::string> argv, const std::vector<std::string>& env, const std::string& cwd, Outcome& r) {
    // The checker's words go before symkeep and rnecat only, so helpers and oracles run as they are.
    const char* wrapper = std::getenv("SYMKEEP_TEST_WRAPPER");
    const std::string base = argv[0].substr(argv[0].rfind('/') + 1);
    std::istringstream words(wrapper != nullptr && (base == "symkeep" || base == "rnecat") ? wrapper : "");
    argv.insert(argv.begin(), std::istream_iterator<std::string>(words), {});
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& e : env) {
            const size_t eq = e.find('=');
            eq == std::string::npos ? unsetenv(e.c_str()) : setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    while (pid > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR) continue;
    if (pid > 0 && WIFEXITED(st)) r.status = WEXITSTATUS(st);
    if (pid > 0 && WIFSIGNALED(st)) r.signal = WTERMSIG(st);
}
#endif

}  // namespace

int trap_status(const std::function<void()>& body) {
    // An exit inside a body aborts, so that a fuzzer keeps the input, rather than let a half-run case pass.
    static const bool guarded [[maybe_unused]] = std::atexit([] {
        static const char note[] = "harness: the process ended inside trap(); such a case needs run_program\n";
        if (!g_trapping) return;
        [[maybe_unused]] const auto written = write(g_real_stderr, note, sizeof note - 1);
        std::abort();
    }) == 0;
    if (g_trapping) throw std::logic_error("harness: trap() inside a trapped body");
    SavedHooks saved;
    g_trapping = true;
    ExitHook = [](int status) { throw TrappedExit{status}; };
    try {
        body();
    } catch (const TrappedExit& e) {
        return e.status;
    }
    return -1;
}

Outcome trap(const std::function<void()>& body) {
    const int entry_errno = errno;
    Redirect out(1, temp_file()), err(2, temp_file());
    g_real_stderr = err.saved;
    Outcome r;
    r.status = trap_status([&] { errno = entry_errno, body(); });
    const int left_errno = errno;
    g_real_stderr = 2;
    r.out = out.take(), r.err = err.take();
    errno = left_errno;
    return r;
}

Outcome run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd,
                    const std::string& stdin_text) {
    Outcome r;
    Redirect in(0, stream_of(stdin_text)), out(1, temp_file()), err(2, temp_file());
    if (!argv.empty()) start(argv, env, cwd, r);
    r.out = out.take(), r.err = err.take();
    return r;
}

std::string read_file(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    return f != nullptr ? contents(f) : "";
}

void write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        throw std::runtime_error("harness: cannot write " + path);
}

bool file_exists(const std::string& path) { std::error_code ec; return std::filesystem::exists(path, ec); }

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

FILE* stream_of(const std::string& bytes) {
    FILE* fp = temp_file();
    if (fp == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), fp) != bytes.size())
        throw std::runtime_error("harness: cannot make a temporary file");
    std::rewind(fp);
    return fp;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/symkeep-test-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("harness: mkdtemp failed");
#ifdef _WIN32
    char full[_MAX_PATH];  // the spelling the runtime's path routines give back
    if (_fullpath(full, path_.c_str(), sizeof full) == nullptr) throw std::runtime_error("harness: _fullpath failed");
    path_ = native(full);
#endif
}

TempDir::~TempDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
