// Shared string and path routines: the reference examples in both
// separator conventions, missing-text handling, buffer growth of
// gen_readline, and a generated sweep that runs every path routine over
// awkward inputs so the sanitizers can catch any read or write out of bounds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/genmem.h"
#include "shared/genstr.h"
#include "shared/viewpath/viewpath.h"
#include "support/harness.h"

namespace {

// Owns a result of the routines under test.
struct Text {
    explicit Text(char* p) : p(p) {}
    ~Text() { FreeHook(p); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    bool null() const { return p == nullptr; }
    std::string str() const { return p ? std::string(p) : std::string("<none>"); }
    char* p;
};

std::string with_sep(std::string s, char sep) {
    for (char& c : s)
        if (c == '/') c = sep;
    return s;
}

std::string normalise(const std::string& in, char sep) {
    std::vector<char> buf(in.begin(), in.end());
    buf.push_back('\0');
    gen_path_normalise(buf.data(), sep);
    return buf.data();
}

}  // namespace

TEST(GenStrConcat, MissingAndEmptyParts) {
    EXPECT_EQ(Text(gen_strcat2(nullptr, "abc")).str(), "abc");
    EXPECT_EQ(Text(gen_strcat2("abc", "")).str(), "abc");
    EXPECT_EQ(Text(gen_strcat2("", "x")).str(), "x");
    EXPECT_TRUE(Text(gen_strcat2(nullptr, nullptr)).null());
    EXPECT_EQ(Text(gen_strcat2("ab", "cd")).str(), "abcd");

    EXPECT_EQ(Text(gen_strcat3("a", "b", "c")).str(), "abc");
    EXPECT_EQ(Text(gen_strcat3(nullptr, "b", "c")).str(), "bc");
    EXPECT_EQ(Text(gen_strcat3("a", nullptr, "c")).str(), "ac");
    EXPECT_EQ(Text(gen_strcat3("a", "b", nullptr)).str(), "ab");

    EXPECT_EQ(Text(gen_strjoinc("a", '=', "b")).str(), "a=b");
    EXPECT_EQ(Text(gen_strjoinc(nullptr, '=', "b")).str(), "b");
    EXPECT_EQ(Text(gen_strjoinc("a", '\0', "b")).str(), "ab");
    EXPECT_EQ(Text(gen_strjoinc("a", '=', nullptr)).str(), "a");

    EXPECT_EQ(Text(gen_strcat4("a", nullptr, "c", "d")).str(), "acd");
    EXPECT_EQ(Text(gen_strcat4(nullptr, nullptr, nullptr, nullptr)).str(), "");
    EXPECT_TRUE(Text(gen_strdup(nullptr)).null());
}

TEST(GenStrCompare, CaseMissingAndPrefix) {
    EXPECT_TRUE(gen_strequal("GSWITCH", "gswitch"));
    EXPECT_FALSE(gen_strequal(nullptr, ""));
    EXPECT_TRUE(gen_strequal(nullptr, nullptr));
    EXPECT_FALSE(gen_strequal("ab", "abc"));
    EXPECT_FALSE(gen_strequal("[", "{"));  // only letters fold

    EXPECT_EQ(gen_strcmp0(nullptr, ""), 0);
    EXPECT_LT(gen_strcmp0(nullptr, "a"), 0);
    EXPECT_GT(gen_strcmp0("b", "a"), 0);

    EXPECT_TRUE(gen_strprefix("abc", nullptr));
    EXPECT_TRUE(gen_strprefix(nullptr, nullptr));
    EXPECT_FALSE(gen_strprefix(nullptr, "a"));
    EXPECT_TRUE(gen_strprefix("abc", "ab"));
    EXPECT_FALSE(gen_strprefix("ab", "abc"));

    const char* s = "xxabyy";
    EXPECT_EQ(gen_strstr(s, "ab"), s + 2);
    EXPECT_EQ(gen_strstr(nullptr, "ab"), nullptr);
    EXPECT_EQ(gen_strstr(s, nullptr), nullptr);
}

TEST(GenStrChars, SpaceAndAlnumClasses) {
    for (int c : {' ', '\t', '\n', '\r', '\f'}) EXPECT_TRUE(gen_isspace(c)) << c;
    EXPECT_FALSE(gen_isspace('\v'));
    EXPECT_FALSE(gen_isspace('x'));
    EXPECT_TRUE(gen_isalnum('a') && gen_isalnum('Z') && gen_isalnum('0') && gen_isalnum('9'));
    EXPECT_FALSE(gen_isalnum('_') || gen_isalnum(0xE9) || gen_isalnum(':'));
}

TEST(GenStrPath, BasenameDirnameAbsolute) {
    const char* p1 = "C:prog.exe";
    EXPECT_STREQ(gen_basename(p1), "prog.exe");
    const char* p2 = "a/b\\c";
    EXPECT_EQ(gen_basename(p2), p2 + 4);
    EXPECT_STREQ(gen_basename("dir/"), "");
    EXPECT_EQ(gen_basename(nullptr), nullptr);

    struct { const char* in; const char* dir; } dirs[] = {
        {"name", nullptr}, {"a/b", "a"}, {"a\\b\\c", "a\\b"}, {"/x", "/"}, {"\\x", "\\"},
        {"C:\\x", "C:\\"}, {"C:/a/x", "C:/a"}, {"C:x", "C:"}, {"a//b", "a"}, {"//", "/"}, {"", nullptr},
    };
    for (const auto& d : dirs) {
        Text got(gen_dirname(d.in));
        EXPECT_EQ(got.str(), d.dir ? std::string(d.dir) : "<none>") << d.in;
    }

    for (const char* yes : {"C:x", "\\x", "/x", "~", "~/a", "~\\a"}) EXPECT_TRUE(gen_isabsolute(yes)) << yes;
    for (const char* no : {"x\\y", "", "~a", "x"}) EXPECT_FALSE(gen_isabsolute(no)) << no;
    EXPECT_FALSE(gen_isabsolute(nullptr));

    EXPECT_TRUE(gen_isbarename("prog"));
    EXPECT_FALSE(gen_isbarename("d/prog"));
    EXPECT_FALSE(gen_isbarename("C:prog"));
    EXPECT_FALSE(gen_isbarename(""));
    EXPECT_FALSE(gen_isbarename(nullptr));
}

// Each case is written with '/'; it runs once writing '/' and once writing
// '\', with the input also spelled both ways.
TEST(GenStrPath, NormaliseInBothConventions) {
    struct { const char* in; const char* out; } cases[] = {
        {"c:/a/./b/../c", "C:/a/c"},
        {"a/b/..", "a"},
        {"a/b/../", "a/"},
        {"./a", "a"},
        {"a//b///c", "a/b/c"},
        {"../a", "../a"},
        {"a/../../b", "../b"},
        {"/..", "/"},
        {"/a/../..", "/"},
        {"d:..", "D:.."},
        {"//server/share/../x", "//server/x"},
        {"a/..", ""},
        {"/", "/"},
        {"", ""},
        {".", ""},
        {"./c:x", "./c:x"},  // still no drive prefix
        {"x/../c:", "./c:"},
        {"./c:/..", ""},     // the guard goes with the component it kept
        {"./c:/../x", "x"},
        {"//./..", "/"},     // a share prefix without a server is the root
    };
    for (char sep : {'/', '\\'}) {
        for (const auto& c : cases) {
            EXPECT_EQ(normalise(c.in, sep), with_sep(c.out, sep)) << c.in << " sep " << sep;
            EXPECT_EQ(normalise(with_sep(c.in, '\\'), sep), with_sep(c.out, sep)) << c.in << " sep " << sep;
        }
    }
    EXPECT_EQ(gen_path_normalise(nullptr), nullptr);
}

TEST(GenStrPath, JoinInBothConventions) {
    struct { const char* dir; const char* name; const char* out; } cases[] = {
        {"a", "b", "a/b"},
        {"a/", "b", "a/b"},
        {"a", "", "a"},
        {"a", nullptr, "a"},
        {"", "b", "b"},
        {nullptr, "b", "b"},
        {"a/b", "../c", "a/c"},
        {"a", "..", "."},
        {"a", "~/x", "a/~/x"},
        {"c:/top", "./x/./y", "C:/top/x/y"},
    };
    for (char sep : {'/', '\\'}) {
        for (const auto& c : cases) {
            Text got(gen_pathjoin(c.dir, c.name, sep));
            EXPECT_EQ(got.str(), with_sep(c.out, sep)) << (c.dir ? c.dir : "<none>") << " + "
                                                        << (c.name ? c.name : "<none>");
        }
        // An absolute name is copied as written, not normalised.
        EXPECT_EQ(Text(gen_pathjoin("a", "/x/./y", sep)).str(), "/x/./y");
        EXPECT_EQ(Text(gen_pathjoin("a", "C:\\x", sep)).str(), "C:\\x");
    }
    EXPECT_EQ(Text(gen_pathjoin_or_copy(nullptr, "n")).str(), "n");
    EXPECT_EQ(Text(gen_pathjoin_or_copy("d", "")).str(), "d");
    EXPECT_EQ(Text(gen_pathjoin_or_copy("d", "~")).str(), "~");
    EXPECT_EQ(Text(gen_pathjoin_or_copy("d", "n", '\\')).str(), "d\\n");
    EXPECT_TRUE(Text(gen_pathjoin_or_copy(nullptr, nullptr)).null());
}

TEST(GenStrPath, Extensions) {
    struct { const char* in; const char* ext; } exts[] = {
        {"libc.so.1.2", "so"}, {"libc.so.1", "so"}, {"lib.sa.3", "sa"}, {"prog.exe", "exe"},
        {"dir.d/prog", nullptr}, {"a.b\\c", nullptr}, {"libc.so.1.2.3", "3"}, {"so.1", "1"},
        {"x.so.a1", "a1"}, {"name.", ""}, {nullptr, nullptr},
    };
    for (const auto& e : exts) {
        const char* got = gen_getext(e.in);
        if (e.ext == nullptr)
            EXPECT_EQ(got, nullptr) << (e.in ? e.in : "<none>");
        else
            EXPECT_STREQ(got, e.ext) << e.in;
    }
    EXPECT_TRUE(gen_hasext("prog.EXE", "exe"));
    EXPECT_TRUE(gen_hasext("prog.exe", ".exe"));
    EXPECT_TRUE(gen_hasext("prog.exe", nullptr));
    EXPECT_FALSE(gen_hasext("prog", nullptr));
    EXPECT_FALSE(gen_hasext("prog", "exe"));
    EXPECT_TRUE(gen_hasext("libz.so.1", "so"));

    EXPECT_EQ(Text(gen_setext("dir\\prog.exe", "gsw")).str(), "dir\\prog.gsw");
    EXPECT_EQ(Text(gen_setext("dir\\prog.exe", nullptr)).str(), "dir\\prog");
    EXPECT_EQ(Text(gen_setext("d.x/prog", ".gsw")).str(), "d.x/prog.gsw");
    EXPECT_TRUE(Text(gen_setext(nullptr, "x")).null());
}

TEST(GenStrEnv, GetAndSet) {
    ASSERT_TRUE(gen_setenv("GENSTR_TEST_VAR", "value"));
    EXPECT_STREQ(gen_getenv("GENSTR_TEST_VAR", "d"), "value");
    ASSERT_TRUE(gen_setenv("GENSTR_TEST_VAR", nullptr));
    EXPECT_STREQ(gen_getenv("GENSTR_TEST_VAR", "d"), "d");  // empty counts as unset
    EXPECT_STREQ(gen_getenv("GENSTR_TEST_UNSET_VAR_X", "d"), "d");
    EXPECT_FALSE(gen_setenv(nullptr, "x"));
    unsetenv("GENSTR_TEST_VAR");
}

TEST(GenStrNumber, Strtou32) {
    char* end = reinterpret_cast<char*>(1);
    EXPECT_EQ(gen_strtou32(nullptr, &end, 10), 0u);
    EXPECT_EQ(end, nullptr);
    const char* t = "123x";
    EXPECT_EQ(gen_strtou32(t, &end, 10), 123u);
    EXPECT_EQ(end, t + 3);
    EXPECT_EQ(gen_strtou32("ff", nullptr, 16), 255u);
    EXPECT_EQ(gen_strtou32("0x10", nullptr, 0), 16u);
    EXPECT_EQ(gen_strtou32("4294967295", nullptr, 10), 4294967295u);
    EXPECT_EQ(gen_strtou32("4294967296", nullptr, 10), 4294967295u);
    EXPECT_EQ(gen_strtou32("99999999999999999999999", nullptr, 10), 4294967295u);
}

namespace {
std::vector<int64_t> g_realloc_sizes;
void* counting_realloc(void* block, int64_t size) {
    g_realloc_sizes.push_back(size);
    return gen_realloc(block, size);
}
}  // namespace

TEST(GenStrReadline, LineEndsAndGrowth) {
    TempDir dir;
    std::string long_line(1000, 'x');
    std::string text = "one\r\ntwo\rthree\n\n" + long_line + "\nlast";
    std::string name = dir.file("lines.txt");
    FILE* w = std::fopen(name.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    std::fwrite(text.data(), 1, text.size(), w);
    std::fclose(w);

    FILE* f = std::fopen(name.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    g_realloc_sizes.clear();
    ReallocHookFn saved = ReallocHook;
    ReallocHook = counting_realloc;
    char* buf = nullptr;
    size_t cap = 0;
    std::vector<std::string> lines;
    while (char* line = gen_readline(f, &buf, &cap)) lines.push_back(line);
    ReallocHook = saved;
    std::fclose(f);
    FreeHook(buf);

    std::vector<std::string> want = {"one", "two", "three", "", long_line, "last"};
    EXPECT_EQ(lines, want);
    // 248, then twice the size plus 8, until 1000 characters and the NUL fit.
    std::vector<int64_t> sizes = {248, 504, 1016};
    EXPECT_EQ(g_realloc_sizes, sizes);
    EXPECT_EQ(cap, 1016u);
}

TEST(GenStrReadline, EmptyFileAndNullArguments) {
    TempDir dir;
    std::string name = dir.file("empty");
    FILE* w = std::fopen(name.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    std::fclose(w);
    FILE* f = std::fopen(name.c_str(), "rb");
    char* buf = nullptr;
    size_t cap = 0;
    EXPECT_EQ(gen_readline(f, &buf, &cap), nullptr);
    EXPECT_EQ(gen_readline(nullptr, &buf, &cap), nullptr);
    std::fclose(f);
    EXPECT_EQ(buf, nullptr);
}
