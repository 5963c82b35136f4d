// View-path lookup over real trees: nodes, lookup, copy-up, modes, ^ names,
// pairs, the alternate root, failed copy-ups, every message.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "shared/genmem.h"
#include "shared/gensys.h"
#include "shared/viewpath/viewpath.h"
#include "support/harness.h"

namespace {

const char* const kVars[] = {"NVPATH", "NVSRPATH", "ZEP_VP_DEBUG", "ZEP_VP_OFF", "ZEP_VP_SLOW", "ZEP_VP_XSW"};

std::string text_of(char* p) {
    const std::string s = p ? p : "<none>";
    return FreeHook(p), s;
}

// A name's bytes as read through the view, or "<none>".
std::string via_vp(const std::string& name, const char* mode = "r") {
    FILE* f = gen_vp_fopen(name.c_str(), mode);
    std::string s = f ? "" : "<none>";
    for (int c; f && (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    return f ? (gen_vp_fclose(f), s) : s;
}

// Fresh trees for each case: a top and a base node under `root`, the working
// directory in the top node.
struct View {
    TempDir dir;
    std::string root, top, base;
    View() {
        char real[PATH_MAX];
        root = realpath(dir.path().c_str(), real) ? real : dir.path();
        top = root + "/top", base = root + "/base";
        for (const char* name : {"base/sub/x.c", "base/both", "top/both", "top/lib/a.h", "base/lib/b.h", "base/data.bin",
                                 "base/out.elf", "base/newdir/f", "base/w.txt", "src/keep", "rep/sub/y.c", "rep/keep"}) {
            const std::string path = root + "/" + name;
            for (size_t i = root.size() + 1; i < path.size(); ++i)
                if (path[i] == '/') plat_mkdir(path.substr(0, i).c_str(), 0755);
            write_file(path, name);
        }
        write_file(base + "/data.bin", std::string("pay\0load\r\n", 10));
        chmod((base + "/data.bin").c_str(), 0444);
        plat_mkdir(top.c_str(), 0755);
    }
};

// "@/name" is `root`/name spelled as the runtime writes paths, "%" the root
// as it is (in names kept as written).
std::string at_root(const std::string& s, const std::string& root) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t end = std::min(s.find_first_of("|;\n ", i), s.size());
        if (s[i] == '@') out += root + native(s.substr(i + 1, end - i - 1)), i = end - 1;
        else out += s[i] == '%' ? root : std::string(1, s[i]);
    }
    return out;
}

// A write-only open of a name in the base node: what the top node then holds.
void write_only(const View& v) {
    close(gen_vp_open("w.txt", PLAT_O_WRONLY | PLAT_O_CREAT, 0644));
    std::printf("%s", read_file(v.top + "/w.txt").c_str());
}
void say_active(const View&) { std::printf("%d", gen_vp_active()); }
int g_calls = 0;
const char* const kAltX = "/nowhere/../top/sub/x.c";  // placed by the alternate root only

TEST(ViewPath, WhatEachCaseFindsAndSays) {
    char here[PATH_MAX];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    const std::string layered = "NVPATH=@/top;@/base", on = "symkeep: info: Viewpathing support is ON (SLOW).\n",
                      node1 = "symkeep: info: Adding viewpath node 1: @/top\n",
                      node2 = "symkeep: info: Adding viewpath node 2: @/base\n", alt = "NVPATH=%/nowhere/../top;@/base";
    const struct {
        const char* name;
        std::vector<std::string> env;  // NAME=value; the root's path stands for "@"
        int mode;                      // gen_viewpathing's argument; 0: not called
        std::function<void(const View&)> body;
        std::string out, err;
    } rows[] = {
        {"reads find the lower node's file; the top one wins; nothing is copied", {layered}, 1,
         [](const View& v) {
             std::printf("%s|%s|", via_vp("sub/x.c").c_str(), via_vp(v.top + "/sub/x.c").c_str());
             std::printf("%s|", via_vp("both").c_str()), errno = 0;
             std::printf("%s|%d|%d|", via_vp("sub/none").c_str(), errno == ENOENT, file_exists(v.top + "/sub/x.c"));
             std::printf("%s", text_of(V_resolve("sub/none", V_LOOKUP_READ)).c_str());  // found nowhere
         },
         "base/sub/x.c|base/sub/x.c|top/both|<none>|1|0|sub/none", ""},
        {"^ names lie under the top node", {layered}, 1,
         [](const View& v) {
             if (chdir(v.root.c_str()) != 0) return;
             std::printf("%s|%s|%s|", via_vp("^/lib/a.h").c_str(), via_vp("^/lib/b.h").c_str(),
                         text_of(V_resolve("^", V_LOOKUP_READ)).c_str());
             std::printf("%s|%d", text_of(V_resolve("^x", V_LOOKUP_NONE)).c_str(), gen_vp_access("^/lib/b.h", 4));
         },
         "top/lib/a.h|base/lib/b.h|@/top|^x|0", ""},
        {"update opens copy up", {layered}, 1,
         [](const View& v) {
             std::printf("%zu|", via_vp("data.bin", "r+b").size());
             struct stat st;
             std::printf("%d|", stat((v.top + "/data.bin").c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0);
             std::printf("%s|%s|", via_vp("out.elf", "w+b").c_str(), read_file(v.base + "/out.elf").c_str());
             via_vp("newdir/f", "a");
             std::printf("%s|%d|", read_file(v.top + "/newdir/f").c_str(), V_copyup("nodir/f"));
             std::printf("%d", file_exists(v.top + "/nodir"));
         },
         "10|1||base/out.elf|base/newdir/f|-1|0", ""},
        {"write-only opens copy up in SLOW mode", {layered}, 1, write_only, "base/w.txt", ""},
        {"and not in FAST mode", {layered}, 2, write_only, "", ""},
        {"ZEP_VP_SLOW refuses FAST", {layered, "ZEP_VP_SLOW=1", "ZEP_VP_DEBUG=1"}, 2, write_only, "base/w.txt",
         "symkeep: info: Disabling FAST viewpathing mode \n\tbecause environment variable (ZEP_VP_SLOW) is set.\n" + on +
             node1 + node2 + "symkeep: info: Located file: @/base/w.txt\nsymkeep: info: Copied file to w.txt\n"},
        {"an empty ZEP_VP_OFF is not set", {layered, "ZEP_VP_OFF="}, 1, say_active, "1", ""},
        {"ZEP_VP_OFF", {layered, "ZEP_VP_OFF=1", "ZEP_VP_DEBUG=1"}, 1,
         [](auto&) { std::printf("%d %s", gen_vp_active(), via_vp("sub/x.c").c_str()); }, "0 <none>",
         "symkeep: info: Disabling viewpathing mode \n\tbecause environment variable (ZEP_VP_OFF) is set.\n"
         "symkeep: info: Viewpathing support is OFF.\n"},
        {"an illegal mode", {layered}, 3, say_active, "0",
         "symkeep: error: Illegal viewpath option passed to gen_viewpathing\n"},
        {"turned off stays off", {layered}, 1,
         [](auto&) { gen_viewpathing_off(), gen_viewpathing(1), std::printf("%d %d", gen_vp_active(), V_node_count()); },
         "0 0", ""},
        // The top node as written climbs through a directory that does not
        // exist, so only the alternate root can place names spelled that way.
        {"the alternate root", {alt, "ZEP_VP_DEBUG=1"}, 1,
         [](const View& v) { std::printf("%s|%s|%s", V_node(1), V_alternate_root(), via_vp(v.root + kAltX).c_str()); },
         "@/top|%/nowhere/../top|base/sub/x.c",
         on + node1 + "symkeep: info: Using alternate root: %/nowhere/../top\n" + node2 +
             "symkeep: info: Located file: @/base/sub/x.c\n"},
        {"the alternate root refused", {alt, "ZEP_VP_DEBUG=1", "ZEP_VP_XSW=1"}, 1,
         [](const View& v) { std::printf("%d|%s", V_alternate_root() == nullptr, via_vp(v.root + kAltX).c_str()); },
         "1|<none>", on + node1 + "symkeep: info: Ignoring alternate root: %/nowhere/../top\n" + node2},
        {"pairs: the replacement is asked first", {"NVSRPATH=@/src;@/rep"}, 0,
         [](const View& v) {
             if (chdir((v.root + "/src").c_str()) != 0) return;
             gen_viewpathing(1);
             std::printf("%d|%s|", V_node_count(), via_vp("sub/y.c").c_str());
             std::printf("%s|", via_vp(v.root + "/src/sub/y.c").c_str());
             std::printf("%s|%s", via_vp("keep").c_str(), text_of(V_resolve_pairs("/elsewhere/z")).c_str());
         },
         "2|rep/sub/y.c|rep/sub/y.c|rep/keep|/elsewhere/z", ""},
        {"NVPATH wins over NVSRPATH", {"NVSRPATH=@/src;@/rep", "NVPATH=@/top"}, 1,
         [](auto&) { std::printf("%d|%s", V_node_count(), V_node(1)); }, "1|@/top", ""},
        {"a failed copy-up is said and leaves nothing", {layered, "ZEP_VP_DEBUG=1"}, 1,
         [](const View& v) {
             plat_calls.read = [](int, void*, size_t) -> long { return ++g_calls, errno = EINVAL, -1; };
             const int result = (g_calls = 0, V_copyup("data.bin"));
             std::printf("%d %d %d", result, g_calls, file_exists(v.top + "/data.bin"));
         },
         "-1 101 0",  // the first try and a bounded 100 retries
         on + node1 + node2 + "symkeep: info: Located file: @/base/data.bin\n" +
             "symkeep: fatal: Unable to copy file to data.bin: " + std::strerror(EINVAL) + "\n"},
        {"a short write fails the copy-up", {layered}, 1,
         [](const View& v) {
             plat_calls.write = [](int fd, const void* buf, size_t n) -> long { return ::write(fd, buf, n - (n > 1)); };
             const int result = V_copyup("data.bin");
             std::printf("%d %d", result, file_exists(v.top + "/data.bin"));
         },
         "-1 0", ""},
    };
    for (const auto& row : rows) {
        View view;
        for (const char* v : kVars) unsetenv(v);
        for (const std::string& e : row.env)
            plat_setenv(e.substr(0, e.find('=')).c_str(), at_root(e.substr(e.find('=') + 1), view.root).c_str());
        V_reset_for_tests();
        ASSERT_EQ(chdir(view.top.c_str()), 0);
        const Outcome r = trap([&] {
            if (gen_setprogpath("/opt/tools/symkeep"), row.mode != 0) gen_viewpathing(row.mode);
            row.body(view);
        });
        EXPECT_EQ(r.out, at_root(row.out, view.root)) << row.name;
        EXPECT_EQ(r.err, at_root(row.err, view.root)) << row.name;
        EXPECT_EQ(chdir(here), 0);
    }
    for (const char* v : kVars) unsetenv(v);
    V_reset_for_tests();
}


// NVPATH's entries split at ';' or ':'; a 129th is dropped.
TEST(ViewPath, NodesOfAnEnvironment) {
    std::string many = "/n1";
    for (int i = 2; i <= 129; ++i) many += ";/n" + std::to_string(i);
    using Row = std::tuple<std::string, int, std::string>;
    for (const auto& [value, count, last] : {Row{"a:b", 2, "/b"}, Row{"/a;;/b", 2, "/b"}, Row{many, 128, "/n128"}}) {
        V_reset_for_tests(), plat_setenv("NVPATH", value.c_str()), gen_viewpathing(1);
        const std::string n = V_node(count) ? V_node(count) : "", t = native(last);
        EXPECT_TRUE(V_node_count() == count && !V_node(count + 1) && !V_node(0) && n.rfind(t) == n.size() - t.size())
            << last;
    }
    unsetenv("NVPATH"), V_reset_for_tests();
}

TEST(ViewPath, PathArithmetic) {
    const char* relative[][3] = {{"/a/b", "/a/b/x", "x"}, {"/a/b", "/a/b", "."}, {"/a/b/", "/a/b", "."},
        {"/a/b", "/a", ".."}, {"/a/b", "/a/c/x", "../c/x"}, {"/a/bc", "/a/b/x", "../b/x"}, {"/A/B", "/a/b/x", "x"},
        {"/a/b/c/d", "/a/x", "../../../x"}, {"/a/b/c/d/e", "/a/x", nullptr}, {"C:\\a", "c:/a/x", "x"},
        {"/a", "/a//x", "x"}, {"C:/a", "D:/a", nullptr}, {"a/b", "/a/b", nullptr}, {"/a/b", "a/b", nullptr}};
    for (const auto& c : relative)
        EXPECT_EQ(text_of(V_relative_to(c[0], c[1])), c[2] ? native(c[2]) : "<none>") << c[0] << " -> " << c[1];
    const char* compact[][2] = {{"", "."}, {"/", "/"}, {"//", "/"}, {"a//b", "a/b"}, {"./a/.", "a"}, {"a/../b", "b"},
                                {"../a", "../a"}, {"a/../../b", "../b"}, {"/..", "/.."}, {"a/b/", "a/b"}, {"a/..", "."},
                                {"/x/./y/../z/", "/x/z"}};
    char buf[64];
    for (const auto& c : compact) EXPECT_STREQ(V_compath(std::strcpy(buf, c[0])), c[1]) << c[0];
    std::string deep;
    for (int i = 0; i < 200; ++i) deep += "/c" + std::to_string(i % 10) + "/.";
    const Outcome r = trap([&] { gen_setprogpath("/opt/tools/symkeep"), std::printf("%s", V_compath(&deep[0])); });
    // Said with the path as far as it got, which is left usable.
    EXPECT_EQ(r.err, "symkeep: error: [V_compath]: too many directory components for \"" + r.out + "\"\n");
    EXPECT_EQ(r.out.substr(0, 7) + "..." + r.out.substr(r.out.size() - 5), "/c0/c1/.../c9/.");
    EXPECT_LT(r.out.size(), 1000u);
}

}  // namespace
