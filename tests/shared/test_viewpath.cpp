// View-path lookup over real temporary trees: node list building, read
// lookup in lower nodes, copy-up for update opens, FAST and SLOW modes, ^
// names, pairs, access tests, retries of interrupted opens, and the trace
// and error messages (captured from a child process).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/viewpath/viewpath.h"
#include "support/child.h"
#include "support/harness.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const char* const kVars[] = {"NVPATH", "NVSRPATH", "ZEP_VP_DEBUG", "ZEP_VP_OFF", "ZEP_VP_SLOW", "ZEP_VP_XSW"};

// A rooted `path` as a node: on Windows it also gains the current drive.
std::string rooted(const std::string& path) {
#ifdef _WIN32
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return "<no cwd>";
    return std::string(cwd, 2) + native(path);
#else
    return path;
#endif
}

std::string text_of(char* p) {
    std::string s = p ? p : "<none>";
    FreeHook(p);
    return s;
}

std::string read_stream(FILE* f) {
    std::string s;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

class ViewPath : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        for (const char* v : kVars) unsetenv(v);
        V_reset_for_tests();
        char real[PATH_MAX];
        ASSERT_NE(realpath(tmp_.path().c_str(), real), nullptr);
        root_ = real;
        top_ = root_ + "/top";
        base_ = root_ + "/base";
        mkdir(top_.c_str(), 0755);
        mkdir(base_.c_str(), 0755);
    }
    void TearDown() override {
        V_reset_for_tests();
        for (const char* v : kVars) unsetenv(v);
        plat_calls = plat_default_calls();
        plat_path_calls = plat_default_path_calls();
        EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    }

    void put(const std::string& path, const std::string& bytes) {
        std::string dir = path.substr(0, path.rfind('/'));
        for (size_t i = root_.size() + 1; i <= dir.size(); ++i)
            if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
        write_file(path, bytes);
    }
    // NVPATH = top:base, working in top.
    void layered(int mode = 1) {
        setenv("NVPATH", (top_ + PLAT_PATH_LIST_SEPARATOR + base_).c_str(), 1);
        ASSERT_EQ(chdir(top_.c_str()), 0);
        gen_viewpathing(mode);
        ASSERT_TRUE(gen_vp_active());
    }
    std::string read_via_vp(const char* name) {
        FILE* f = gen_vp_fopen(name, "r");
        if (f == nullptr) return "<open failed>";
        std::string s = read_stream(f);
        gen_vp_fclose(f);
        return s;
    }

    TempDir tmp_;
    std::string saved_cwd_, root_, top_, base_;
};

}  // namespace

TEST_F(ViewPath, NodesSplitAtSeparatorsButNotAfterADriveLetter) {
    struct { const char* value; std::vector<std::string> tails; } cases[] = {
        {"E:/work;F:/base", {"E:/work", "F:/base"}},
        {"a:b", {"/a", "/b"}},
        {"/x;;/y;", {"/x", "/y"}},
        {"/one", {"/one"}},
    };
    for (const auto& c : cases) {
        V_reset_for_tests();
        setenv("NVPATH", c.value, 1);
        gen_viewpathing(1);
        ASSERT_EQ(V_node_count(), static_cast<int>(c.tails.size())) << c.value;
        for (size_t i = 0; i < c.tails.size(); ++i) {
            std::string node = V_node(static_cast<int>(i + 1));
            const std::string tail = native(c.tails[i]);
            EXPECT_EQ(node.substr(node.size() - std::min(node.size(), tail.size())), tail) << c.value;
        }
    }
}

TEST_F(ViewPath, AHundredAndTwentyNinthEntryIsIgnored) {
    std::string value;
    for (int i = 1; i <= 129; ++i) value += (i > 1 ? ";" : "") + std::string("/n") + std::to_string(i);
    setenv("NVPATH", value.c_str(), 1);
    gen_viewpathing(1);
    EXPECT_EQ(V_node_count(), 128);
    EXPECT_STREQ(V_node(128), rooted("/n128").c_str());
    EXPECT_EQ(V_node(129), nullptr);
}

TEST_F(ViewPath, OverLongValueKeepsOnlyWholeEntriesThatFit) {
    struct { std::string value; int nodes; } cases[] = {
        {"/a;/" + std::string(1019, 'b'), 2},   // 1023 characters: fits
        {"/a;/" + std::string(1020, 'b'), 1},   // 1024: the second entry would be cut
        {"/a;C:/" + std::string(1100, 'c'), 1},  // the drive colon is no cut point
        {"/" + std::string(3000, 'd'), 0},
    };
    for (const auto& c : cases) {
        V_reset_for_tests();
        setenv("NVPATH", c.value.c_str(), 1);
        gen_viewpathing(1);
        EXPECT_EQ(V_node_count(), c.nodes) << c.value.size();
        if (c.nodes > 0) {
            EXPECT_STREQ(V_node(1), rooted("/a").c_str());
        }
        EXPECT_EQ(gen_vp_active(), c.nodes > 0 ? 1 : 0);
    }
}

TEST_F(ViewPath, ReadOpenFindsTheFileInALowerNode) {
    put(base_ + "/sub/x.c", "base x");
    put(base_ + "/both", "base both");
    put(top_ + "/both", "top both");
    layered();
    EXPECT_EQ(read_via_vp("sub/x.c"), "base x");
    EXPECT_EQ(read_via_vp((top_ + "/sub/x.c").c_str()), "base x");
    EXPECT_EQ(read_via_vp("both"), "top both");
    errno = 0;
    EXPECT_EQ(gen_vp_fopen("sub/missing.c", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file_exists(top_ + "/sub/x.c"));  // reading never copies up
}

TEST_F(ViewPath, CaretNamesResolveUnderTheTopNode) {
    put(top_ + "/lib/a.h", "top a");
    put(base_ + "/lib/b.h", "base b");
    layered();
    ASSERT_EQ(chdir(root_.c_str()), 0);  // outside the view
    EXPECT_EQ(read_via_vp("^/lib/a.h"), "top a");
    EXPECT_EQ(read_via_vp("^/lib/b.h"), "base b");
    EXPECT_EQ(text_of(V_resolve("^", V_LOOKUP_READ)), native(top_));
    EXPECT_EQ(text_of(V_resolve("^x", V_LOOKUP_NONE)), "^x");
    EXPECT_EQ(gen_vp_access("^/lib/b.h", 4), 0);
}

TEST_F(ViewPath, UpdateOpensCopyUpFromALowerNode) {
    put(base_ + "/data.bin", std::string("pay\0load\r\n", 10));
    chmod((base_ + "/data.bin").c_str(), 0444);
    put(base_ + "/out.elf", "old output");
    put(base_ + "/newdir/f", "deep");
    layered();

    FILE* f = gen_vp_fopen("data.bin", "r+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_stream(f), std::string("pay\0load\r\n", 10));
    gen_vp_fclose(f);
    struct stat st;
    ASSERT_EQ(stat((top_ + "/data.bin").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);  // the copy is writable

    f = gen_vp_fopen("out.elf", "w+b");
    ASSERT_NE(f, nullptr);
    gen_vp_fclose(f);
    EXPECT_EQ(read_file(top_ + "/out.elf"), "");  // copied up, then truncated
    EXPECT_EQ(read_file(base_ + "/out.elf"), "old output");

    f = gen_vp_fopen("newdir/f", "a");
    ASSERT_NE(f, nullptr);
    gen_vp_fclose(f);
    EXPECT_EQ(read_file(top_ + "/newdir/f"), "deep");

    // Missing everywhere, directory included: nothing is created.
    EXPECT_EQ(V_copyup("nodir/f"), -1);
    EXPECT_FALSE(file_exists(top_ + "/nodir"));
}

TEST_F(ViewPath, WriteOnlyOpensCopyUpInSlowModeOnly) {
    struct { int mode; const char* slow_env; std::string want; } cases[] = {
        {1, nullptr, "base"},
        {2, nullptr, ""},
        {2, "1", "base"},  // ZEP_VP_SLOW refuses FAST
    };
    for (const auto& c : cases) {
        V_reset_for_tests();
        if (c.slow_env) setenv("ZEP_VP_SLOW", c.slow_env, 1); else unsetenv("ZEP_VP_SLOW");
        unlink((top_ + "/w.txt").c_str());
        put(base_ + "/w.txt", "base");
        layered(c.mode);
        int fd = gen_vp_open("w.txt", PLAT_O_WRONLY | PLAT_O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
        EXPECT_EQ(read_file(top_ + "/w.txt"), c.want) << "mode " << c.mode;
    }
}

TEST_F(ViewPath, OffVariableAndIllegalModes) {
    put(base_ + "/only", "x");
    setenv("NVPATH", (top_ + PLAT_PATH_LIST_SEPARATOR + base_).c_str(), 1);
    ASSERT_EQ(chdir(top_.c_str()), 0);

    setenv("ZEP_VP_OFF", "", 1);  // empty: not set
    gen_viewpathing(1);
    EXPECT_EQ(gen_vp_active(), 1);

    V_reset_for_tests();
    setenv("ZEP_VP_OFF", "1", 1);
    setenv("ZEP_VP_DEBUG", "1", 1);
    Outcome r = run_in_child([&] {
        gen_viewpathing(1);
        std::printf("%d %s", gen_vp_active(), read_via_vp("only").c_str());
    });
    EXPECT_EQ(r.out, "0 <open failed>");
    EXPECT_THAT(r.err, HasSubstr("info: Disabling viewpathing mode \n\tbecause environment variable (ZEP_VP_OFF) "
                                 "is set.\n"));
    EXPECT_THAT(r.err, HasSubstr("info: Viewpathing support is OFF.\n"));

    unsetenv("ZEP_VP_OFF");
    setenv("ZEP_VP_SLOW", "1", 1);
    r = run_in_child([&] { gen_viewpathing(2); });
    EXPECT_THAT(r.err, HasSubstr("Disabling FAST viewpathing mode \n\tbecause environment variable (ZEP_VP_SLOW) "
                                 "is set.\n"));
    EXPECT_THAT(r.err, HasSubstr("info: Viewpathing support is ON (SLOW).\n"));

    unsetenv("ZEP_VP_DEBUG");
    r = run_in_child([&] {
        gen_viewpathing(3);
        std::printf("%d", gen_vp_active());
    });
    EXPECT_EQ(r.out, "0");
    EXPECT_THAT(r.err, HasSubstr("error: Illegal viewpath option passed to gen_viewpathing\n"));
}

TEST_F(ViewPath, TurnedOffStaysOff) {
    layered();
    gen_viewpathing_off();
    EXPECT_EQ(gen_vp_active(), 0);
    EXPECT_EQ(V_node_count(), 0);
    gen_viewpathing(1);
    EXPECT_EQ(gen_vp_active(), 0);
}

TEST_F(ViewPath, AlternateRootIsUsedUnlessRefused) {
    put(base_ + "/sub/x.c", "base x");
    // The top node as written climbs through a directory that does not
    // exist, so only the alternate root can place names spelled that way.
    std::string written = root_ + "/nowhere/../top";
    std::string name = written + "/sub/x.c";
    setenv("NVPATH", (written + PLAT_PATH_LIST_SEPARATOR + base_).c_str(), 1);
    setenv("ZEP_VP_DEBUG", "1", 1);
    Outcome r = run_in_child([&] {
        gen_viewpathing(1);
        std::printf("%s|%s|%s", V_node(1), V_alternate_root(), read_via_vp(name.c_str()).c_str());
    });
    EXPECT_EQ(r.out, native(top_) + "|" + written + "|base x");
    EXPECT_THAT(r.err, HasSubstr("info: Using alternate root: " + written + "\n"));

    setenv("ZEP_VP_XSW", "1", 1);
    r = run_in_child([&] {
        gen_viewpathing(1);
        std::printf("%d|%s", V_alternate_root() == nullptr, read_via_vp(name.c_str()).c_str());
    });
    EXPECT_EQ(r.out, "1|<open failed>");
    EXPECT_THAT(r.err, HasSubstr("info: Ignoring alternate root: " + written + "\n"));
}

TEST_F(ViewPath, PairsLookUnderTheReplacementRoot) {
    std::string src = root_ + "/src", rep = root_ + "/rep";
    put(src + "/keep", "src keep");
    put(rep + "/sub/y.c", "rep y");
    put(rep + "/keep", "rep keep");
    setenv("NVSRPATH", (src + ";" + rep).c_str(), 1);
    ASSERT_EQ(chdir(src.c_str()), 0);
    gen_viewpathing(1);
    ASSERT_EQ(V_node_count(), 2);
    EXPECT_EQ(read_via_vp("sub/y.c"), "rep y");
    EXPECT_EQ(read_via_vp((src + "/sub/y.c").c_str()), "rep y");
    EXPECT_EQ(read_via_vp("keep"), "rep keep");  // the replacement is asked first
    EXPECT_EQ(text_of(V_resolve_pairs("/elsewhere/z")), "/elsewhere/z");
    // NVPATH, when set, wins over NVSRPATH.
    V_reset_for_tests();
    setenv("NVPATH", top_.c_str(), 1);
    gen_viewpathing(1);
    EXPECT_EQ(V_node_count(), 1);
    EXPECT_STREQ(V_node(1), native(top_).c_str());
}

TEST(ViewPathRelative, RelativePathFromARoot) {
    struct { const char* root; const char* path; const char* rel; } cases[] = {
        {"/a/b", "/a/b/x", "x"},
        {"/a/b", "/a/b", "."},
        {"/a/b/", "/a/b", "."},
        {"/a/b", "/a", ".."},
        {"/a/b", "/a/c/x", "../c/x"},
        {"/a/bc", "/a/b/x", "../b/x"},
        {"/a/b/c/d", "/a/x", "../../../x"},
        {"/a/b/c/d/e", "/a/x", nullptr},
        {"/A/B", "/a/b/x", "x"},
        {"C:\\a", "c:/a/x", "x"},
        {"C:/a", "D:/a", nullptr},
        {"a/b", "/a/b", nullptr},
        {"/a/b", "a/b", nullptr},
        {"/a", "/a//x", "x"},
    };
    for (const auto& c : cases) {
        std::string got = text_of(V_relative_to(c.root, c.path));
        EXPECT_EQ(got, c.rel ? native(c.rel) : "<none>") << c.root << " -> " << c.path;
    }
}

TEST(ViewPathCompath, NormalisesInPlace) {
    struct { const char* in; const char* out; } cases[] = {
        {"", "."}, {"/", "/"}, {"//", "/"}, {"a//b", "a/b"}, {"./a/.", "a"}, {"a/../b", "b"},
        {"../a", "../a"}, {"a/../../b", "../b"}, {"/..", "/.."}, {"a/b/", "a/b"}, {"a/..", "."},
        {"/x/./y/../z/", "/x/z"},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s", c.in);
        EXPECT_STREQ(V_compath(buf), c.out) << c.in;
    }
}

TEST(ViewPathCompath, TooManyComponentsStopsWithAnError) {
    std::string path;
    for (int i = 0; i < 200; ++i) path += "/c" + std::to_string(i % 10) + "/.";
    Outcome r = run_in_child([&] {
        char* p = static_cast<char*>(std::malloc(path.size() + 1));
        std::memcpy(p, path.c_str(), path.size() + 1);
        V_compath(p);
        std::printf("%zu", std::strlen(p));
        std::free(p);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_THAT(r.err, HasSubstr("error: [V_compath]: too many directory components for \"/c0/c1/"));
    EXPECT_LE(std::stoul(r.out.empty() ? "0" : r.out), path.size());
}

TEST_F(ViewPath, AccessLooksInLowerNodes) {
    put(base_ + "/sub/x.c", "base x");
    layered();
    EXPECT_EQ(gen_vp_access("sub/x.c", 0), 0);
    EXPECT_EQ(gen_vp_access("sub/x.c", 4), 0);
    EXPECT_EQ(gen_vp_access("sub/x.c", 1), 0);  // execute is asked as read
    EXPECT_EQ(gen_vp_access("sub/x.c", 2), 0);  // it can be copied up
    EXPECT_EQ(gen_vp_access("sub/x.c", 6), 0);
    EXPECT_EQ(gen_vp_access_nowrite("sub/x.c", 6), 0);
    errno = 0;
    EXPECT_EQ(gen_vp_access("sub/none", 4), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(gen_vp_access("sub/none", 2), -1);
    EXPECT_EQ(gen_vp_access(nullptr, 0), -1);
    EXPECT_EQ(gen_access(nullptr, 0), -1);
    EXPECT_EQ(gen_access("sub/x.c", 0), -1);  // the plain test sees one tree
    EXPECT_EQ(gen_vp_fclose(nullptr), 0);
    EXPECT_EQ(gen_vp_fopen(nullptr, "r"), nullptr);
    EXPECT_EQ(gen_vp_fopen("x", nullptr), nullptr);
    EXPECT_EQ(gen_vp_open(nullptr, PLAT_O_RDONLY, 0), -1);
}

namespace {
int g_calls = 0;
int g_fail_first = 0;
int eintr_open(const char* name, int flags, int perm) {
    if (++g_calls <= g_fail_first) {
        errno = EINTR;
        return -1;
    }
    return ::open(name, flags, perm);  // no O_CLOEXEC: the layer must add it
}
FILE* eintr_fopen(const char* name, const char* mode) {
    if (++g_calls <= g_fail_first) {
        errno = EINTR;
        return nullptr;
    }
    return std::fopen(name, mode);
}
}  // namespace

TEST_F(ViewPath, InterruptedOpensAreRetriedElevenTimesAtMost) {
    put(top_ + "/f", "x");
    ASSERT_EQ(chdir(top_.c_str()), 0);
    for (bool on : {false, true}) {
        if (on) layered();
        plat_path_calls.open = eintr_open;
        plat_calls.fopen = eintr_fopen;
        struct { int fail; bool ok; int calls; } cases[] = {{0, true, 1}, {10, true, 11}, {11, false, 11}, {50, false, 11}};
        for (const auto& c : cases) {
            g_calls = 0;
            g_fail_first = c.fail;
            int fd = gen_vp_open("f", PLAT_O_RDONLY, 0);
            EXPECT_EQ(fd >= 0, c.ok) << c.fail;
            EXPECT_EQ(g_calls, c.calls) << c.fail;
            if (fd >= 0) {
                EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
                close(fd);
            } else {
                EXPECT_EQ(errno, EINTR);
            }
            g_calls = 0;
            FILE* f = gen_vp_fopen("f", "r");
            EXPECT_EQ(f != nullptr, c.ok) << c.fail;
            EXPECT_EQ(g_calls, c.calls) << c.fail;
            if (f) {
                EXPECT_TRUE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC);
                gen_vp_fclose(f);
            }
        }
        plat_path_calls = plat_default_path_calls();
        plat_calls = plat_default_calls();
    }
}

namespace {
int g_reads = 0;
long einval_read(int, void*, size_t) {
    ++g_reads;
    errno = EINVAL;
    return -1;
}
long short_write(int fd, const void* buf, size_t n) { return ::write(fd, buf, n > 1 ? n - 1 : n); }
}  // namespace

TEST_F(ViewPath, FailedCopyUpIsReportedAndLeavesNothing) {
    put(base_ + "/data.bin", "payload");
    setenv("ZEP_VP_DEBUG", "1", 1);
    Outcome r = run_in_child([&] {
        layered();
        plat_calls.read = einval_read;
        int rc = V_copyup("data.bin");
        std::printf("%d %d %d", rc, g_reads, file_exists(top_ + "/data.bin") ? 1 : 0);
    });
    EXPECT_EQ(r.out, "-1 101 0");  // the first try and a bounded 100 retries
    EXPECT_THAT(r.err, HasSubstr("fatal: Unable to copy file to data.bin: "));

    r = run_in_child([&] {
        layered();
        plat_calls.write = short_write;
        std::printf("%d %d", V_copyup("data.bin"), file_exists(top_ + "/data.bin") ? 1 : 0);
    });
    EXPECT_EQ(r.out, "-1 0");

    unsetenv("ZEP_VP_DEBUG");  // without debug the failure is silent
    r = run_in_child([&] {
        layered();
        plat_calls.read = einval_read;
        std::printf("%d", V_copyup("data.bin"));
    });
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.err, "");
}
