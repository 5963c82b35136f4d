// String and path routines: joins and comparisons with missing parts, paths
// in both separator conventions, extensions, environment values, numbers.
#include <gtest/gtest.h>

#include "shared/genio.h"
#include "shared/genmem.h"
#include "shared/genstr.h"
#include "support/harness.h"

namespace {

std::string str(const char* p) { return p ? p : "<none>"; }
std::string own(char* p) {
    const std::string s = str(p);
    return FreeHook(p), s;
}
std::string with_sep(std::string s, char sep) {
    for (char& c : s)
        if (c == '/') c = sep;
    return s;
}

TEST(GenStr, JoinsAndComparisons) {
    EXPECT_EQ(own(gen_strcat2(0, "abc")) + own(gen_strcat3("a", 0, "c")) + own(gen_strjoinc("a", '=', "b")) +
                  own(gen_strjoinc("a", 0, "b")) + own(gen_strcat4("a", 0, "c", "d")) + own(gen_strdup(0)),
              "abcaca=babacd<none>");
    EXPECT_TRUE(gen_strequal("GSWITCH", "gswitch") && !gen_strequal("[", "{") && !gen_strequal(nullptr, "") &&
                gen_strprefix("abc", "ab") && !gen_strprefix("ab", "abc") && gen_strcmp0(nullptr, "a") < 0);
    EXPECT_TRUE(gen_isalnum('z') && gen_isalnum('Q') && gen_isalnum('0') && !gen_isalnum('_') && !gen_isalnum(0xe9));
}

// Each case is written with '/'; it runs once writing '/' and once writing
// '\', with the input also spelled both ways.
TEST(GenStr, PathsInBothConventions) {
    const char* normal[][2] = {
        {"c:/a/./b/../c", "C:/a/c"}, {"a/b/..", "a"}, {"a/b/../", "a/"}, {"./a", "a"}, {"a//b///c", "a/b/c"},
        {"../a", "../a"}, {"a/../../b", "../b"}, {"/..", "/"}, {"/a/../..", "/"}, {"d:..", "D:.."},
        {"//server/share/../x", "//server/x"}, {"a/..", ""}, {"/", "/"}, {"", ""}, {".", ""},
        {"./c:x", "./c:x"},  // still no drive prefix
        {"x/../c:", "./c:"}, {"./c:/..", ""}, {"./c:/../x", "x"},  // the guard goes with the component it kept
        {"//./..", "/"},     // a share prefix without a server is the root
    };
    const char* joins[][3] = {{"a", "b", "a/b"}, {"a/", "b", "a/b"}, {"a", "", "a"}, {"a", nullptr, "a"},
                              {"", "b", "b"}, {nullptr, "b", "b"}, {"a/b", "../c", "a/c"}, {"a", "..", "."},
                              {"a", "~/x", "a/~/x"}, {"c:/top", "./x/./y", "C:/top/x/y"}};
    for (char sep : {'/', '\\'}) {
        for (const auto& c : normal)
            for (std::string in : {std::string(c[0]), with_sep(c[0], '\\')})
                EXPECT_EQ(gen_path_normalise(&in[0], sep), with_sep(c[1], sep)) << c[0] << " sep " << sep;
        for (const auto& c : joins)
            EXPECT_EQ(own(gen_pathjoin(c[0], c[1], sep)), with_sep(c[2], sep)) << str(c[0]) << " + " << str(c[1]);
        // An absolute name is copied as written, not normalised.
        EXPECT_EQ(own(gen_pathjoin("a", "/x/./y", sep)) + own(gen_pathjoin("a", "C:\\x", sep)), "/x/./yC:\\x");
    }
    EXPECT_EQ(gen_path_normalise(nullptr), nullptr);
    EXPECT_EQ(own(gen_pathjoin_or_copy(nullptr, "n")) + own(gen_pathjoin_or_copy("d", "")) +
                  own(gen_pathjoin_or_copy("d", "~")) + own(gen_pathjoin_or_copy("d", "n", '\\')) +
                  own(gen_pathjoin_or_copy(nullptr, nullptr)),
              "nd~d\\n<none>");
    const char* dirs[][2] = {{"name", nullptr}, {"a/b", "a"}, {"a\\b\\c", "a\\b"}, {"/x", "/"}, {"\\x", "\\"},
                             {"C:\\x", "C:\\"}, {"C:/a/x", "C:/a"}, {"C:x", "C:"}, {"a//b", "a"}, {"//", "/"},
                             {"", nullptr}};
    for (const auto& d : dirs) EXPECT_EQ(own(gen_dirname(d[0])), str(d[1])) << d[0];
    const char* bases[][2] = {{"C:prog.exe", "prog.exe"}, {"a/b\\c", "c"}, {"dir/", ""}, {nullptr, nullptr}};
    for (const auto& b : bases) EXPECT_EQ(str(gen_basename(b[0])), str(b[1]));
    for (const char* yes : {"C:x", "\\x", "/x", "~", "~/a", "~\\a"}) EXPECT_TRUE(gen_isabsolute(yes)) << yes;
    for (const char* no : {"x\\y", "", "~a", "x", static_cast<const char*>(nullptr)}) EXPECT_FALSE(gen_isabsolute(no));
    for (const char* no : {"d/prog", "C:prog", "", static_cast<const char*>(nullptr)}) EXPECT_FALSE(gen_isbarename(no));
    EXPECT_TRUE(gen_isbarename("prog"));
}

TEST(GenStr, ExtensionsEnvironmentAndNumbers) {
    const char* exts[][2] = {{"libc.so.1.2", "so"}, {"libc.so.1", "so"},   {"lib.sa.3", "sa"}, {"prog.exe", "exe"},
                             {"dir.d/prog", nullptr}, {"a.b\\c", nullptr}, {"libc.so.1.2.3", "3"}, {"so.1", "1"},
                             {"x.so.a1", "a1"},      {"name.", ""},        {nullptr, nullptr}};
    for (const auto& e : exts) EXPECT_EQ(str(gen_getext(e[0])), str(e[1])) << str(e[0]);
    EXPECT_TRUE(gen_hasext("prog.EXE", "exe") && gen_hasext("prog.exe", ".exe") && gen_hasext("prog.exe", nullptr) &&
                gen_hasext("libz.so.1", "so"));
    EXPECT_FALSE(gen_hasext("prog", nullptr) || gen_hasext("prog", "exe"));
    EXPECT_EQ(own(gen_setext("dir\\prog.exe", "gsw")) + " " + own(gen_setext("dir\\prog.exe", nullptr)) + " " +
                  own(gen_setext("d.x/prog", ".gsw")) + " " + own(gen_setext(nullptr, "x")),
              "dir\\prog.gsw dir\\prog d.x/prog.gsw <none>");
    // Empty counts as unset (the view path's ZEP_VP_OFF row checks it too).
    EXPECT_TRUE(gen_setenv("GENSTR_TEST_VAR", "value") && std::string(gen_getenv("GENSTR_TEST_VAR", "d")) == "value");
    EXPECT_TRUE(gen_setenv("GENSTR_TEST_VAR", nullptr) && std::string(gen_getenv("GENSTR_TEST_VAR", "d")) == "d");
    EXPECT_FALSE(gen_setenv(nullptr, "x"));
    unsetenv("GENSTR_TEST_VAR");
    char *end = reinterpret_cast<char*>(1), *null_end = end;
    const char* t = "123x";
    EXPECT_EQ(gen_strtou32(nullptr, &null_end, 10) + gen_strtou32(t, &end, 10), 123u);
    EXPECT_TRUE(null_end == nullptr && end == t + 3);
    EXPECT_TRUE(gen_strtou32("ff", nullptr, 16) == 255 && gen_strtou32("0x10", nullptr, 0) == 16);
    for (const char* text : {"4294967295", "4294967296", "99999999999999999999999"})
        EXPECT_EQ(gen_strtou32(text, nullptr, 10), 4294967295u) << text;
}

TEST(CheckedIo, DirectoryTestAndNormalisedForms) {
    TempDir dir;
    write_file(dir.file("plain"), "x");
    const std::pair<std::string, int> answers[] = {{"", -1}, {dir.path(), 1}, {dir.path() + "/", 1},
                                                   {dir.file("plain"), 0}, {dir.file("absent"), 0}, {"/", 1}};
    for (const auto& [path, is_dir] : answers) EXPECT_EQ(gen_isdir(path.c_str()), is_dir) << path;
    EXPECT_EQ(gen_isdir(nullptr), -1);
    const char* forms[][2] = {{"C:", "C:\\"}, {"C:\\", "C:\\"}, {"c:/", "c:/"}, {"dir/", "dir"}, {"dir\\", "dir"},
                              {"/", "/"}, {"\\\\server\\share", "\\\\server\\share\\"}, {"a", "a"},
                              {"\\\\server\\share\\", "\\\\server\\share\\"}, {"//srv/share/sub/", "//srv/share/sub"}};
    for (const auto& f : forms) EXPECT_EQ(own(gen_normalise_dirpath(f[0])), f[1]) << f[0];
}

// Line ends are the switch file tests'; here the growth, the last line
// without one, and no stream.
TEST(GenStr, ReadlineGrowth) {
    const std::string long_line(1000, 'x');
    FILE* f = stream_of("one\n" + long_line + "\nlast");
    char* buf = nullptr;
    size_t cap = 0;
    std::vector<std::string> lines;
    while (char* line = gen_readline(f, &buf, &cap)) lines.push_back(line);
    std::fclose(f);
    FreeHook(buf);
    EXPECT_EQ(lines, std::vector<std::string>({"one", long_line, "last"}));
    buf = nullptr;
    EXPECT_TRUE(gen_readline(nullptr, &buf, &cap) == nullptr && buf == nullptr);
}

}  // namespace
