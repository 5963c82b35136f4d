// Start-up and the program and environment queries.  Most cases run in a
// child process: the values under test are cached for the life of the
// process, and some depend on the environment and the current directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <shlobj.h>
#include <windows.h>
#endif

#include "platform/platform.h"
#include "shared/geninit.h"
#include "shared/gensys.h"
#include "shared/genmem.h"
#include "shared/viewpath/viewpath.h"
#include "support/child.h"
#include "support/harness.h"

using ::testing::HasSubstr;

namespace {

std::string own(char* p) {
    std::string s = p ? p : "<none>";
    FreeHook(p);
    return s;
}

std::string str(const char* p) { return p ? p : "<none>"; }

std::string real(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

#ifdef _WIN32
std::string self_exe() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
}
#else
std::string self_exe() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}
#endif

constexpr char kSep = TempDir::kSeparator;

// A program file's name on disk: with the platform's suffix.
std::string program_file(const std::string& path) { return path + PLAT_EXE_SUFFIX; }

bool is_dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(GenInit, ProgramNameAndPath) {
    std::string exe = self_exe();
    std::string exe_base = exe.substr(exe.rfind(kSep) + 1);
#ifdef _WIN32
    exe_base.resize(exe_base.size() - 4);  // the program's name loses its ".exe"
#endif
    struct { const char* given; std::string name; std::string path; } cases[] = {
        {"/x/prog.EXE", "prog", "/x/prog.EXE"},
        {"/x/prog.exe.bak", "prog.exe.bak", "/x/prog.exe.bak"},
        {"C:prog.exe", "prog", "C:prog.exe"},
        {"C:\\dir\\tool.Exe", "tool", "C:\\dir\\tool.Exe"},
        {"/x/.exe", "", "/x/.exe"},
        {"prog", exe_base, exe},  // not absolute: the running module instead
        {nullptr, exe_base, exe},
    };
    Outcome r = run_in_child([&] {
        for (const auto& c : cases) {
            gen_init(c.given, 0, 0);
            std::printf("%s|%s\n", gen_getprogname(), gen_getprogpath());
        }
    });
    std::string want;
    for (const auto& c : cases) want += c.name + "|" + c.path + "\n";
    EXPECT_EQ(r.out, want);
}

namespace {
std::string g_events;
void note(const std::string& what) { g_events += what + ";"; }
void fake_switch_start(int32_t* argc, char** argv) {
    note("switches argc=" + std::to_string(*argc) + " argv0=" + str(argv[0]) + " argv1=" + str(argv[1]) +
         " name=" + str(gen_getprogname()) + " vp=" + std::to_string(gen_vp_active()));
}
void fake_thread_log_start() { note("threadlog vp=" + std::to_string(gen_vp_active())); }
void fake_crash_setup() { note("crash vp=" + std::to_string(gen_vp_active())); }
}  // namespace

TEST(GenInit, ServicesStartInOrderAndOnlyOnce) {
    TempDir tmp;
    setenv("NVPATH", real(tmp.path()).c_str(), 1);
    Outcome r = run_in_child([&] {
        GenSwitchStartHook = fake_switch_start;
        GenThreadLogStartHook = fake_thread_log_start;
        GenCrashReportSetupHook = fake_crash_setup;
        gen_init("/opt/tool/tool.exe", 0, 1);
        const GenInitStep* steps = nullptr;
        size_t n = gen_init_steps(&steps);
        for (size_t i = 0; i < n; ++i) std::printf("%d ", steps[i]);
        std::printf("\n%s\n", g_events.c_str());
        g_events.clear();
        gen_init("/opt/tool/other", 0, 0);
        n = gen_init_steps(&steps);
        for (size_t i = 0; i < n; ++i) std::printf("%d ", steps[i]);
        std::printf("\n%s\n", g_events.c_str());
    });
    unsetenv("NVPATH");
    std::string first_steps = std::to_string(GEN_INIT_BINARY_MODE) + " " + std::to_string(GEN_INIT_NAMES) + " " +
                              std::to_string(GEN_INIT_SWITCHES) + " " + std::to_string(GEN_INIT_THREAD_LOG) + " " +
                              std::to_string(GEN_INIT_VIEWPATH) + " " + std::to_string(GEN_INIT_CRASH_REPORTS) + " ";
    std::string again_steps = std::to_string(GEN_INIT_BINARY_MODE) + " " + std::to_string(GEN_INIT_NAMES) + " " +
                              std::to_string(GEN_INIT_VIEWPATH) + " " + std::to_string(GEN_INIT_CRASH_REPORTS) + " ";
    EXPECT_EQ(r.out, first_steps + "\n" +
                         "switches argc=1 argv0=/opt/tool/tool.exe argv1=<none> name=tool vp=0;"
                         "threadlog vp=0;crash vp=1;\n" +
                         again_steps + "\ncrash vp=0;\n");
}

// The program's own start-up: every service plugged in, in the documented
// order, each once.
TEST(GenInit, StartsEveryServiceInOrder) {
    Outcome r = run_in_child([&] {
        gen_init("relative/name", 0, 0);
        const GenInitStep* steps = nullptr;
        size_t n = gen_init_steps(&steps);
        for (size_t i = 0; i < n; ++i) std::printf("%d ", steps[i]);
        std::printf("| ");
        gen_init("/abs/name", 0, 0);  // names again; services do not restart
        n = gen_init_steps(&steps);
        for (size_t i = 0; i < n; ++i) std::printf("%d ", steps[i]);
    });
    EXPECT_EQ(r.out, "1 2 3 4 5 6 7 | 2 3 6 7 ");
}

TEST(GenSys, ProgramDirectoryAndItsOneTimeWarning) {
    std::string exe = self_exe();
    Outcome r = run_in_child([&] {
        gen_init("shared_tests", 0, 0);
        std::printf("%s", str(gen_getprogdir()).c_str());
    });
    EXPECT_EQ(r.out, exe.substr(0, exe.rfind(kSep)));

    r = run_in_child([&] {
        gen_init("/nonexistent/dir/prog", 0, 0);
        std::printf("%s %s", str(gen_getprogdir()).c_str(), str(gen_getprogdir()).c_str());
    });
    EXPECT_EQ(r.out, "<none> <none>");
    const std::string warning =
        "warning: gen_getprogdir(): for /nonexistent/dir/prog returns NULL\n\tmost likely gen_init() was not called "
        "with the correct argv[0] value\n";
    EXPECT_THAT(r.err, HasSubstr(warning));
    EXPECT_EQ(r.err.find(warning), r.err.rfind(warning));  // once only
}

TEST(GenSys, FindProgramOnPathAndBesideTheProgram) {
    TempDir tmp;
    std::string root = real(tmp.path());
    mkdir((root + "/d1").c_str(), 0755);
    mkdir(program_file(root + "/d1/tool").c_str(), 0755);  // a plain directory is no program
    mkdir((root + "/d2").c_str(), 0755);
    write_file(program_file(root + "/d2/tool"), "#!/bin/sh\n");
    mkdir((root + "/bin").c_str(), 0755);
    write_file(program_file(root + "/bin/me"), "");
    write_file(program_file(root + "/bin/helper"), "");
    const std::string list = under(root, "d1") + PLAT_PATH_LIST_SEPARATOR + under(root, "nowhere") +
                             PLAT_PATH_LIST_SEPARATOR + PLAT_PATH_LIST_SEPARATOR + under(root, "d2");
    Outcome r = run_in_child([&] {
        setenv("PATH", list.c_str(), 1);
        gen_init(under(root, "bin/me").c_str(), 0, 0);
        std::printf("%s\n", own(gen_findprog("tool", 0, 0)).c_str());
        std::printf("%s\n", own(gen_findprog("tool", 1, 1)).c_str());
        std::printf("%s\n", own(gen_findprog("nothere", 1, 1)).c_str());
        std::printf("%s\n", own(gen_findprog("helper", 1, 1)).c_str());
        std::printf("%s\n", own(gen_findprog("helper", 0, 1)).c_str());
        std::printf("%s\n", own(gen_findprog((root + "/d1/../d2/tool").c_str(), 0, 1)).c_str());
        std::printf("%s\n", own(gen_findprog((root + "/d2/none").c_str(), 0, 1)).c_str());
        std::printf("%s\n", own(gen_findprog(nullptr, 0, 1)).c_str());
    });
    const std::string tool = under(root, "d2/tool");
    EXPECT_EQ(r.out, tool + "\n" + tool + "\n<none>\n" + under(root, "bin/helper") + "\n<none>\n" + tool +
                         "\n<none>\n<none>\n");
}

TEST(GenSys, AbsoluteAndFullPaths) {
    TempDir tmp;
    std::string cwd = real(tmp.path());
    Outcome r = run_in_child([&] {
        if (chdir(cwd.c_str()) != 0) return;
        unsetenv("HOME");
        std::printf("%s\n", own(gen_abspath("~")).c_str());
        setenv("HOME", "/h/x", 1);
        const char* inputs[] = {"~", "~/a/../b", "~//c", "http://x/y/../z", "a:b/c", "rel/./x", "/a//b/.", ""};
        for (const char* in : inputs) std::printf("%s\n", own(gen_abspath(in)).c_str());
        std::printf("%s\n", own(gen_abspath(nullptr)).c_str());
        std::printf("%s\n", own(gen_fullpath("rel/../x")).c_str());
        std::printf("%s\n", own(gen_fullpath("/a/./b/")).c_str());
        std::string longname(1100, 'n');
        std::printf("%d\n", own(gen_fullpath(longname.c_str())) == longname);
    });
#ifdef _WIN32
    const std::string rooted = cwd.substr(0, 2) + "\\a\\b\\";  // the system's full path keeps the drive
#else
    const std::string rooted = "/a/b/";
#endif
    const std::string h = under("", "h/x");
    EXPECT_EQ(r.out, "~\n" + h + "\n" + h + kSep + "b\n" + h + kSep + "c\nhttp://x/y/../z\nA:" + under("b", "c") + "\n" +
                         under(cwd, "rel/x") + "\n" + under("", "a/b") + "\n\n<none>\n" + under(cwd, "x") + "\n" +
                         rooted + "\n1\n");
}

namespace {
char* failing_getcwd(char*, size_t) {
    errno = EACCES;
    return nullptr;
}
}  // namespace

TEST(GenSys, CurrentDirectoryIsCachedAndFallsBackToTheUserDirectory) {
    TempDir tmp;
    std::string a = real(tmp.path());
    mkdir((a + "/b").c_str(), 0755);
    Outcome r = run_in_child([&] {
        if (chdir(a.c_str()) != 0) return;
        std::printf("%s\n", gen_getcwd());
        if (chdir((a + "/b").c_str()) != 0) return;
        std::printf("%s\n", gen_getcwd());
    });
    EXPECT_EQ(r.out, a + "\n" + a + "\n");

    r = run_in_child([&] {
        plat_calls.getcwd = failing_getcwd;
        setenv("APPDATA", (a + "/b").c_str(), 1);
        std::printf("%s\n", gen_getcwd());
    });
    EXPECT_EQ(r.out, a + "/b\n");
}

TEST(GenSys, UserDirectoryChoices) {
    TempDir tmp;
    std::string root = real(tmp.path());
    write_file(root + "/file", "");
    Outcome r = run_in_child([&] {
        setenv("APPDATA", root.c_str(), 1);
        std::printf("%s\n", str(gen_getuserdir()).c_str());
    });
    EXPECT_EQ(r.out, root + "\n");

    r = run_in_child([&] {
        setenv("APPDATA", (root + "/file").c_str(), 1);  // not a directory: skipped
        setenv("XDG_CONFIG_HOME", (root + "/conf").c_str(), 1);
        std::printf("%s\n", str(gen_getuserdir()).c_str());
    });
#ifdef _WIN32
    // The system's roaming folder, whatever XDG_CONFIG_HOME says.
    char roaming[MAX_PATH];
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, roaming, CSIDL_APPDATA, TRUE));
    EXPECT_EQ(r.out, std::string(roaming) + "\n");
#else
    EXPECT_EQ(r.out, root + "/conf\n");
    EXPECT_TRUE(is_dir(root + "/conf"));  // the roaming folder is created

    // Windows always has its roaming folder; elsewhere, with nothing known,
    // a Users folder beside the program's directory.
    mkdir((root + "/app").c_str(), 0755);
    mkdir((root + "/app/bin").c_str(), 0755);
    write_file(root + "/app/bin/prog", "");
    r = run_in_child([&] {
        for (const char* v : {"APPDATA", "XDG_CONFIG_HOME", "HOME", "USERPROFILE"}) unsetenv(v);
        gen_init((root + "/app/bin/prog").c_str(), 0, 0);
        char* user = gen_getusername();
        std::printf("%s|%s\n", str(gen_getuserdir()).c_str(), str(user).c_str());
        FreeHook(user);
    });
    std::string user = r.out.substr(r.out.find('|') + 1);
    user.pop_back();
    EXPECT_EQ(r.out, root + "/app/Users/" + user + "|" + user + "\n");
    EXPECT_TRUE(is_dir(root + "/app/Users/" + user));
#endif
}

TEST(GenSys, TemporaryDirectoryChoices) {
    TempDir tmp;
    std::string root = real(tmp.path());
    std::string d1 = root + "/d1", d2 = root + "/d2", d3 = root + "/d3";
    for (const std::string& d : {d1, d2, d3}) mkdir(d.c_str(), 0755);
    std::string gone = root + "/gone";
    struct { const char* tmp; const char* temp; const char* preferred; std::string want; } cases[] = {
        {d1.c_str(), d2.c_str(), nullptr, d1},
        {gone.c_str(), d2.c_str(), d3.c_str(), d2},
        {"", gone.c_str(), d3.c_str(), d3},
        {nullptr, nullptr, gone.c_str(), PLAT_TEMP_ROOT},  // TMPDIR unset below, then the platform's last resort
    };
    for (const auto& c : cases) {
        Outcome r = run_in_child([&] {
            if (c.tmp) setenv("TMP", c.tmp, 1); else unsetenv("TMP");
            if (c.temp) setenv("TEMP", c.temp, 1); else unsetenv("TEMP");
            unsetenv("TMPDIR");
            std::printf("%s", str(TempDirHook(c.preferred)).c_str());
        });
        EXPECT_EQ(r.out, c.want) << str(c.tmp) << " " << str(c.temp) << " " << str(c.preferred);
    }
    // Cached: a later change of TMP is not seen until a preferred directory is given.
    Outcome r = run_in_child([&] {
        setenv("TMP", d1.c_str(), 1);
        std::printf("%s|", gen_gettempdir(nullptr));
        setenv("TMP", d2.c_str(), 1);
        std::printf("%s|", gen_gettempdir(nullptr));
        unsetenv("TMP");
        unsetenv("TEMP");
        std::printf("%s|", gen_gettempdir(d3.c_str()));
        std::printf("%s", gen_gettempdir(nullptr));
    });
    EXPECT_EQ(r.out, d1 + "|" + d1 + "|" + d3 + "|" + d3);
}

TEST(GenSys, MakeDirectory) {
    TempDir tmp;
    std::string root = real(tmp.path());
    write_file(root + "/file", "");
    EXPECT_EQ(gen_mkdir((root + "/new").c_str(), 0755), 0);
    EXPECT_TRUE(is_dir(root + "/new"));
    EXPECT_EQ(gen_mkdir((root + "/new").c_str(), 0755), 0);  // already there
    EXPECT_EQ(gen_mkdir((root + "/new2/").c_str(), 0755), 0);
    EXPECT_TRUE(is_dir(root + "/new2"));
    EXPECT_EQ(gen_mkdir((root + "/file").c_str(), 0755), 1);
    EXPECT_NE(gen_mkdir((root + "/no/such").c_str(), 0755), 0);
    EXPECT_EQ(gen_mkdir(nullptr, 0755), -1);
}

TEST(GenSys, UserHostAndHome) {
    Outcome r = run_in_child([&] {
        setenv("HOME", "/home/someone", 1);
        std::printf("%s|", str(gen_gethomedir()).c_str());
        unsetenv("HOME");
        std::printf("%s|", str(gen_gethomedir()).c_str());  // cached
        std::printf("%s|%s", own(gen_getusername()).c_str(), gen_gethostname());
    });
    struct passwd* pw = getpwuid(geteuid());
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(r.out, std::string("/home/someone|/home/someone|") + (pw ? pw->pw_name : "<none>") + "|" + host);
}
