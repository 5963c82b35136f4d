// Start-up and the program and environment queries.  The queries cache their answers for the life of the
// process, and start-up starts each service once, so what depends on a first answer runs in a fresh run of
// this program (one scenario per run, its findings on standard error after the runtime's own messages).
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <pwd.h>
#include <unistd.h>
#ifdef _WIN32
#include <shlobj.h>
#include <windows.h>
#endif

#include "platform/platform.h"
#include "shared/geninit.h"
#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/gensys.h"
#include "shared/viewpath/viewpath.h"
#include "support/harness.h"

namespace {

std::string str(const char* p) { return p ? p : "<none>"; }
std::string own(char* p) {
    const std::string s = str(p);
    return FreeHook(p), s;
}
std::string real(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
}
std::string self() {
    char buf[4097];
    return std::string(buf, plat_module_file_name(buf, sizeof buf));
}
void say(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

// The scenarios of a fresh run; the test below runs each with its own
// environment and directory.  `root` is that directory.
std::string g_events;
void say_steps() {
    const GenInitStep* steps = nullptr;
    std::string text;
    for (size_t i = 0, n = gen_init_steps(&steps); i < n; ++i) text += std::to_string(steps[i]) + " ";
    say(text + "| " + g_events), g_events.clear();
}
std::string vp() { return " vp=" + std::to_string(gen_vp_active()) + ";"; }
const std::map<std::string, std::function<void(const std::string&)>> kScenarios = {
    {"start-up",
     [](const std::string& root) {
         GenSwitchStartHook = [](int32_t* argc, char** argv) {
             g_events += "switches " + std::to_string(*argc) + " " + str(argv[1]) + " " + str(gen_getprogname()) + vp();
         };
         GenThreadLogStartHook = [] { g_events += "log" + vp(); };
         GenCrashReportSetupHook = [] { g_events += "crash" + vp(); };
         gen_init("/nowhere/tool.exe", 0, 1), say_steps();
         say(str(gen_getprogdir()) + " " + str(gen_getprogdir()));  // warned once
         gen_init(under(root, "bin/me").c_str(), 0, 0), say_steps();
         std::string cwd = gen_getcwd();
         if (chdir("sub") == 0) say(cwd + " " + gen_getcwd() + " " + str(gen_getprogdir()));  // the first answer stays
         if (chdir("..") != 0) return;
         say(own(gen_abspath("~"))), setenv("HOME", "/h/x", 1);  // "~" kept while there is no HOME
         for (const char* in : {"~", "~/a/../b", "~//c", "http://x/y/../z", "a:b/c", "rel/./x", "/a//b/.", ""})
             say(own(gen_abspath(in)));
         unsetenv("HOME");
         say(str(gen_gethomedir()) + " " + own(gen_fullpath("rel/../x")) + " " + own(gen_fullpath("/a/./b/")));
         const std::string list = under(root, "d1") + PLAT_PATH_LIST_SEPARATOR + under(root, "nowhere") +
                                  PLAT_PATH_LIST_SEPARATOR + PLAT_PATH_LIST_SEPARATOR + under(root, "d2");
         setenv("PATH", list.c_str(), 1);
         std::string found;
         for (const char* name : {"tool", "nothere", "helper", "d1/../d2/tool", "d2/none", ""})
             for (int beside : {0, 1}) found += own(gen_findprog(name, beside, 1)) + " ";
         say(found);
         std::string temp = (setenv("TMP", (root + "/d1").c_str(), 1), gen_gettempdir(nullptr));
         temp += std::string(" ") + (setenv("TMP", (root + "/d2").c_str(), 1), gen_gettempdir(nullptr));  // cached
         temp += std::string(" ") + (unsetenv("TMP"), gen_gettempdir((root + "/bin").c_str()));
         say(temp + " " + gen_gettempdir(nullptr) + " " + str(gen_getuserdir()));
     }},
    {"user folders", [](const std::string&) {
         GenSwitchStartHook = nullptr, GenThreadLogStartHook = GenCrashReportSetupHook = nullptr;
         plat_calls.getcwd = [](char*, size_t) -> char* { return nullptr; };
         gen_init("relative/name", 0, 0), say_steps();  // not absolute: the running module instead
         say(str(gen_getprogpath()) + " " + gen_getcwd());  // the user's folder stands in for the current one
     }},
    {"Users beside the program", [](const std::string& root) {
         gen_setprogpath((root + "/app/bin/prog").c_str());
         say(str(gen_getuserdir()) + " " + own(gen_getusername()));
     }},
};

TEST(GenSys, AnswersInAFreshProcess) {
    if (const char* scenario = std::getenv("SHARED_SCENARIO")) {
        kScenarios.at(scenario)(real("."));
        return;
    }
    TempDir tmp;
    const std::string root = real(tmp.path()), exe = self();
    for (const char* d : {"sub", "d1", "d2", "bin", "app", "app/bin", "home"}) plat_mkdir(under(root, d).c_str(), 0755);
    plat_mkdir((root + "/d1/tool" + PLAT_EXE_SUFFIX).c_str(), 0755);  // a directory is no program
    for (const char* f : {"d2/tool", "bin/me", "bin/helper", "app/bin/prog"})
        write_file(under(root, f) + PLAT_EXE_SUFFIX, "#!/bin/sh\n");
    write_file(root + "/file", "");
    const std::string drive = root.substr(0, root.find(TempDir::kSeparator));  // the system's full path keeps it
    const struct passwd* pw = getpwuid(geteuid());
    const std::string h = native("/h/x"), user = pw ? pw->pw_name : "<none>";
    const std::string tool = under(root, "d2/tool"), helper = under(root, "bin/helper");
    const struct {
        const char* scenario;
        std::vector<std::string> env;
        std::string err;
    } rows[] = {
        {"start-up",
         {"NVPATH=" + root, "HOME", "APPDATA=" + root, "TMP", "TEMP", "TMPDIR"},
         "2 3 4 5 6 7 | switches 1 <none> tool vp=0;log vp=0;crash vp=1;\n"
         "tool: warning: gen_getprogdir(): for /nowhere/tool.exe returns NULL\n\tmost likely gen_init() was not "
         "called with the correct argv[0] value\n<none> <none>\n2 3 6 7 | crash vp=0;\n" +
             root + " " + root + " " + under(root, "bin") + "\n~\n" + h + "\n" + under(h, "b") + "\n" + under(h, "c") +
             "\nhttp://x/y/../z\nA:" + native("b/c") + "\n" + under(root, "rel/x") + "\n" + native("/a/b") +
             "\n\n/h/x " + under(root, "x") + " " + drive + native("/a/b/") + "\n" + tool + " " + tool +
             " <none> <none> <none> " + helper + " " + tool + " " + tool + " <none> <none> <none> <none> \n" +
             root + "/d1 " + root + "/d1 " + root + "/bin " + root + "/bin " + root + "\n"},
#ifdef _WIN32
        {"user folders", {"APPDATA=" + root + "/file"}, "1 2 3 6 | \n" + exe + " " + [] {
             char roaming[MAX_PATH] = {};  // the system's roaming folder, always there
             SHGetSpecialFolderPathA(nullptr, roaming, CSIDL_APPDATA, TRUE);
             return std::string(roaming) + "\n";
         }()},
#else
        {"user folders", {"APPDATA=" + root + "/file", "XDG_CONFIG_HOME=" + root + "/conf"},
         "1 2 3 6 | \n" + exe + " " + root + "/conf\n"},
        {"user folders", {"APPDATA", "XDG_CONFIG_HOME", "HOME=" + root + "/home"},
         "1 2 3 6 | \n" + exe + " " + root + "/home/.config\n"},
        {"Users beside the program", {"APPDATA", "XDG_CONFIG_HOME", "HOME", "USERPROFILE"},
         root + "/app/Users/" + user + " " + user + "\n"},
#endif
    };
    for (const auto& row : rows) {
        std::vector<std::string> env = row.env;
        env.push_back(std::string("SHARED_SCENARIO=") + row.scenario);
        const Outcome r = run_program({exe, "--gtest_filter=GenSys.AnswersInAFreshProcess"}, env, root);
        EXPECT_EQ(r.status, 0) << row.scenario << r.out;
        EXPECT_EQ(r.err, row.err) << row.scenario;
    }
#ifndef _WIN32
    EXPECT_EQ(gen_isdir((root + "/conf").c_str()), 1);  // the roaming folder is made
#endif
}

TEST(GenSys, AnswersWithoutACache) {
    const char* names[][3] = {{"/x/prog.EXE", "prog"}, {"/x/prog.exe.bak", "prog.exe.bak"},
                              {"C:\\d\\tool.Exe", "tool"}};
    for (const auto& n : names) {
        gen_setprogpath(n[0]);
        EXPECT_EQ(str(gen_getprogname()) + "|" + str(gen_getprogpath()), std::string(n[1]) + "|" + n[0]);
    }
#ifndef _WIN32
    char host[256] = "";
    EXPECT_EQ(str(gen_gethostname()), gethostname(host, sizeof host) == 0 ? host : "<none>");
#endif
    // TMP, TEMP, then the preferred directory; a preferred one is never cached.
    TempDir tmp;
    const std::string root = real(tmp.path()), d1 = root + "/d1", d2 = root + "/d2", gone = root + "/gone";
    for (const std::string& d : {d1, d2}) plat_mkdir(d.c_str(), 0755);
    const std::string saved[] = {str(std::getenv("TMP")), str(std::getenv("TEMP")), str(std::getenv("TMPDIR"))};
    unsetenv("TMPDIR");
    const std::string temps[][4] = {{d1, d2, gone, d1}, {gone, d2, d1, d2}, {"", gone, d1, d1}};
    for (const auto& t : temps) {  // TMP, TEMP, preferred -> the answer
        setenv("TMP", t[0].c_str(), 1), setenv("TEMP", t[1].c_str(), 1);
        EXPECT_EQ(str(TempDirHook(t[2].c_str())), t[3]) << t[0] << " " << t[1];
    }
#ifndef _WIN32
    setenv("TMP", gone.c_str(), 1), setenv("TEMP", gone.c_str(), 1), setenv("TMPDIR", d2.c_str(), 1);
    EXPECT_EQ(str(TempDirHook(gone.c_str())), d2);  // TMPDIR before the preferred one
#endif
    for (int i = 0; i < 3; ++i) {
        const char* name = (const char*[]){"TMP", "TEMP", "TMPDIR"}[i];
        saved[i] == "<none>" ? unsetenv(name) : setenv(name, saved[i].c_str(), 1);
    }
}

}  // namespace
