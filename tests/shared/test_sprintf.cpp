// The runtime's printf engine, checked two ways: against the C library over a
// grid of flags x widths x precisions x values for every conversion both
// define the same way, and by tables for what only this engine defines (I64
// and I, "(null)", %n widths, unknown conversions, the bounded buffer,
// failing output).
#include "shared/sprintf/mt_sprintf.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using Printer = int (*)(char*, size_t, const char*, ...);

// A width or precision, written out or taken from an argument.
struct Field {
    const char* text;
    bool star;
    int value;
};

const std::vector<Field> kWidths = {{"", false, 0}, {"1", false, 0}, {"7", false, 0},
                                    {"26", false, 0}, {"*", true, -12}, {"*", true, 9}};
const std::vector<Field> kIntPrecisions = {{"", false, 0},   {".", false, 0},   {".0", false, 0}, {".1", false, 0},
                                           {".5", false, 0}, {".*", true, -1}, {".*", true, 3}};
const std::vector<Field> kFloatPrecisions = {{"", false, 0},   {".", false, 0},    {".1", false, 0},
                                             {".2", false, 0}, {".3", false, 0},   {".13", false, 0},
                                             {".17", false, 0}, {".40", false, 0}, {".*", true, -1},
                                             {".*", true, 5}};

// Every subset of the five flags, or of those other than `except`.
std::vector<std::string> flag_sets(char except = '\0') {
    std::vector<std::string> sets;
    for (unsigned mask = 0; mask < 32; ++mask) {
        std::string flags;
        for (unsigned bit = 0; bit < 5; ++bit)
            if (mask & (1u << bit)) flags += "-+ 0#"[bit];
        if (flags.find(except) == std::string::npos) sets.push_back(flags);
    }
    return sets;
}

// The text and the result of one call, the text cut at the terminator the
// buffer holds (which keeps embedded zeros from %c).
template <typename V>
std::string run(Printer print, const std::string& format, const Field& w, const Field& p, V value) {
    char buffer[2048];
    int n;
    if (w.star && p.star)
        n = print(buffer, sizeof buffer, format.c_str(), w.value, p.value, value);
    else if (w.star)
        n = print(buffer, sizeof buffer, format.c_str(), w.value, value);
    else if (p.star)
        n = print(buffer, sizeof buffer, format.c_str(), p.value, value);
    else
        n = print(buffer, sizeof buffer, format.c_str(), value);
    if (n < 0) return "<failed>";
    return std::string(buffer, std::min<size_t>(n, sizeof buffer - 1)) + "|" + std::to_string(n);
}

// Collects differences, so that a broken conversion reports a handful of
// examples and a total rather than thousands of lines.
class Mismatches {
public:
    void check(const std::string& format, const std::string& got, const std::string& want) {
        ++checked_;
        if (got == want) return;
        if (++failed_ <= 20) report_ += format + ": got \"" + got + "\", want \"" + want + "\"\n";
    }
    bool ok() const { return failed_ == 0 && checked_ > 0; }
    std::string report() const {
        return std::to_string(failed_) + " of " + std::to_string(checked_) + " differ\n" + report_;
    }

private:
    size_t checked_ = 0, failed_ = 0;
    std::string report_;
};

struct Same {
    template <typename T>
    T operator()(T v) const { return v; }
};

// Formats each value with "%<flags><width><precision><conv>" by this engine
// and with the same directive and `libc_conv` by the C library.
template <typename T, typename ToLibc = Same>
void compare_grid(Mismatches& m, const std::vector<Field>& precisions, const std::string& conv,
                  const std::vector<T>& values, std::string libc_conv = "", ToLibc to_libc = {},
                  const std::vector<std::string>& flag_choices = flag_sets()) {
    if (libc_conv.empty()) libc_conv = conv;
    for (const std::string& flags : flag_choices)
        for (const Field& w : kWidths)
            for (const Field& p : precisions) {
                const std::string directive = "<%" + flags + w.text + p.text;
                for (const T& v : values)
                    m.check(directive + conv + ">", run<T>(mt_sprintf, directive + conv + ">", w, p, v),
                            run(std::snprintf, directive + libc_conv + ">", w, p, to_libc(v)));
            }
}

TEST(SprintfGrid, IntegersMatchTheCLibrary) {
#ifdef _WIN32
    GTEST_SKIP() << "neither msvcrt's nor mingw's snprintf is a C99 reference (mingw's takes the space flag on "
                    "unsigned conversions and drops a NaN's sign); the explicit tables still run";
#endif
    Mismatches m;
    for (const char* conv : {"d", "i", "u", "o", "x", "X"}) {
        const std::string c = conv;
        compare_grid<int>(m, kIntPrecisions, "hh" + c, {0, 1, -1, 127, 128, -128, -129, 255, 256, INT_MIN});
        compare_grid<int>(m, kIntPrecisions, "h" + c, {0, -1, 32767, 32768, -32768, -32769, 65535, 65536});
        compare_grid<int>(m, kIntPrecisions, c, {0, 1, -1, 8, 42, INT_MAX, INT_MIN});
        compare_grid<long>(m, kIntPrecisions, "l" + c, {0L, LONG_MAX, LONG_MIN, static_cast<long>(4294967295LL), static_cast<long>(-4294967296LL)});
        compare_grid<long long>(m, kIntPrecisions, "ll" + c, {LLONG_MIN, LLONG_MAX, -1LL, 1LL << 32});
        compare_grid<intmax_t>(m, kIntPrecisions, "j" + c, {INTMAX_MIN, 123});
        compare_grid<size_t>(m, kIntPrecisions, "z" + c, {SIZE_MAX, 77});
        compare_grid<ptrdiff_t>(m, kIntPrecisions, "t" + c, {PTRDIFF_MIN, -5});
    }
    EXPECT_TRUE(m.ok()) << m.report();
}

TEST(SprintfGrid, TextAndCharactersMatchTheCLibrary) {
    Mismatches m;
    compare_grid<const char*>(m, kIntPrecisions, "s", {"", "a", "hello", "a longer text of words"});
    compare_grid<int>(m, kIntPrecisions, "c", {'a', ' ', 0, 200});
    EXPECT_TRUE(m.ok()) << m.report();
}

// glibc prints %p its own way; ours prints the value as %llx / %llX would.
TEST(SprintfGrid, PointersPrintAsHexadecimal) {
    int local = 0;
    const std::vector<void*> pointers = {nullptr, reinterpret_cast<void*>(1), reinterpret_cast<void*>(0xdeadbeefULL),
                                         reinterpret_cast<void*>(UINTPTR_MAX), &local};
    const auto as_integer = [](void* p) { return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)); };
    Mismatches m;
    compare_grid(m, kIntPrecisions, "p", pointers, "llx", as_integer);
    compare_grid(m, kIntPrecisions, "P", pointers, "llX", as_integer);
    EXPECT_TRUE(m.ok()) << m.report();
}

TEST(SprintfGrid, FloatingPointMatchesTheCLibrary) {
#ifdef _WIN32
    GTEST_SKIP() << "neither msvcrt's nor mingw's snprintf is a C99 reference (mingw's takes the space flag on "
                    "unsigned conversions and drops a NaN's sign); the explicit tables still run";
#endif
    const double inf = HUGE_VAL, nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {
        0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, 0.125, 0.375, 0.1, -0.1, 1.0 / 3, 2.0 / 3, 123.456, 9.5,
        0.95, 9.9999995, 1e-4, 9.99995e-5, 1e-5, 1e15, 1e16, 1e17, 1e22, 1e23, 0x1p63,
        0x1p64, 1e100, M_PI, 0x1.fffffffffffffp0, DBL_MAX, -DBL_MAX, DBL_MIN,
        std::numeric_limits<double>::denorm_min(), 0x0.fffffffffffffp-1022, 0x0.8p-1022, inf, -inf, nan, -nan};
    // Rounding these to 3, 5 and 6 digits carries into a new exponent digit,
    // where glibc's %#g drops the zeros that # keeps ("1.e+06" for
    // 999999.5); a table checks our "1.00000e+06".
    const std::vector<double> carries = {99.5, 99999.5, 999999.5};
    Mismatches m;
    for (const char* conv : {"a", "e", "f", "g", "A", "E", "F", "G"}) {
        compare_grid(m, kFloatPrecisions, conv, values);
        const bool general = (conv[0] | 0x20) == 'g';
        compare_grid(m, kFloatPrecisions, conv, carries, "", Same{}, flag_sets(general ? '#' : '\0'));
    }
    for (const char* conv : {"Le", "Lf", "Lg"})  // long doubles that a double holds exactly
        compare_grid<long double>(m, kFloatPrecisions, conv, {1.5L, -0.0L, 1e20L, static_cast<long double>(0.1)});
    EXPECT_TRUE(m.ok()) << m.report();
}

// The text of one call, or a note when the result is not its length.
std::string ours(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int n = mt_vsprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return "<failed>";
    if (static_cast<size_t>(n) != std::strlen(buffer)) return "<returned " + std::to_string(n) + ">";
    return buffer;
}

struct Row {
    std::string got;
    const char* want;
};

void expect_rows(const std::vector<Row>& rows) {
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].got, rows[i].want) << "row " << i;
}

TEST(SprintfTable, SixtyFourBitModifiers) {
    expect_rows({
        {ours("%I64d", LLONG_MIN), "-9223372036854775808"},
        {ours("%I64u", ULLONG_MAX), "18446744073709551615"},
        {ours("%I64x", 0x123456789abcdefULL), "123456789abcdef"},
        {ours("%Ix", 0xfedcba9876543210ULL), "fedcba9876543210"},
        {ours("%#IX", 0xfedcba9876543210ULL), "0XFEDCBA9876543210"},
        {ours("%Id", -4294967296LL), "-4294967296"},
        {ours("%Lu", 1ULL << 40), "1099511627776"},
        {ours("%II", -4294967296LL), "-4294967296"},  // modifier, then the conversion I
        {ours("ab%I", 42), "ab"},                      // I alone is a modifier, never the conversion
        {ours("%5I|"), "    |"},
        {ours("%I6"), "6"},
        {ours("%I d"), " d"},
        // l is 64 bits also where long is 32 (Windows)
        {ours("%lx %d", 0x123456789abcdefULL, 7), "123456789abcdef 7"},
        {ours("%ld", LLONG_MIN), "-9223372036854775808"},
        {ours("ab%I64"), "ab"},
        {ours("ab%I64q"), "abq"},
    });
}

TEST(SprintfTable, UpperCaseTwinsAndPointers) {
    expect_rows({
        {ours("%D %hI %C %S", -3, 4, 'c', "str"), "-3 4 c str"},
        {ours("%U%O"), "UO"},  // only D I C S N have twins
        {ours("%p", reinterpret_cast<void*>(0x1f)), "1f"},
        {ours("%#P", reinterpret_cast<void*>(0x1f)), "0X1F"},
        {ours("%#p", nullptr), "0"},
    });
}

TEST(SprintfTable, MissingTextAndFormat) {
    const char* none = nullptr;
    expect_rows({
        {ours("%s", none), "(null)"},
        {ours("%8s|", none), "  (null)|"},
        {ours("%-8S|", none), "(null)  |"},
        {ours("%.3s", none), "(nu"},
        {ours(nullptr), "(null)"},
    });
    char buffer[4];
    EXPECT_EQ(mt_sprintf(buffer, sizeof buffer, nullptr), 6);
    EXPECT_STREQ(buffer, "(nu");
}

TEST(SprintfTable, OtherCharactersPrintAsPaddedText) {
    expect_rows({
        {ours("%5q"), "    q"},
        {ours("%-5q|"), "q    |"},
        {ours("%05q"), "    q"},
        {ours("%.0q"), "q"},
        {ours("%*q|", -3), "q  |"},
        {ours("100%%"), "100%"},
        {ours("%5%"), "    %"},
        {ours("%l d"), " d"},  // blanks are skipped before the modifier only
    });
}

TEST(SprintfTable, FormatEndsInsideAConversion) {
    expect_rows({
        {ours("abc%"), "abc"},
        {ours("abc%-5"), "abc"},
        {ours("abc%.3"), "abc"},
        {ours("abc%ll"), "abc"},
        {ours("abc%*", 5), "abc"},
    });
}

TEST(SprintfTable, BlanksBeforeModifierAndFlagOrder) {
    expect_rows({
        {ours("%5 d|", 42), "   42|"},
        {ours("%.3  ld", 7LL), "007"},
        {ours("%-4 c|", 'x'), "x   |"},
        {ours("%8.2 f|", 2.5), "    2.50|"},
        {ours("% +d|%+ d", 5, 5), "+5|+5"},
        {ours("%0-4d|%-04d|", 5, 5), "5   |5   |"},
    });
}

TEST(SprintfTable, FloatingPointBeyondTheCLibrary) {
    expect_rows({
        {ours("%Lf %La", 1e400L, 1.5L), "inf 0x1.8p+0"},  // long double narrowed to double
        {ours("%#g|%#.2G|%#.5g", 999999.5, 99.5, 99999.5), "1.00000e+06|1.0E+02|1.0000e+05"},
    });
}

TEST(SprintfTable, SizesBeyondIntFail) {
    EXPECT_LT(mt_sprintf(nullptr, 0, "%2147483648d", 1), 0);
    EXPECT_LT(mt_sprintf(nullptr, 0, "%.2147483648d", 1), 0);
    EXPECT_LT(mt_sprintf(nullptr, 0, "%*d", INT_MIN, 1), 0);
    EXPECT_LT(mt_sprintf(nullptr, 0, "%.2147483647f", 1.0), 0);
    EXPECT_LT(mt_sprintf(nullptr, 0, "x%2147483647d", 1), 0);
    EXPECT_EQ(ours("%.2147483647s", "abc"), "abc");
}

// %n stores exactly as many bytes as its modifier names.
TEST(SprintfTable, CountIsStoredWithTheModifiersWidth) {
    const struct {
        const char* format;
        size_t size;
    } cases[] = {{"12345%hhn", 1}, {"12345%hn", 2},  {"12345%n", 4},   {"12345%N", 4},
                 {"12345%ln", 8},  {"12345%lln", 8}, {"12345%I64n", 8}, {"12345%In", 8},
                 {"12345%Ln", 8},  {"12345%jn", 8},  {"12345%zn", 8},   {"12345%tn", 8}};
    for (const auto& c : cases) {
        unsigned char target[16];
        std::memset(target, 0x55, sizeof target);
        EXPECT_EQ(ours(c.format, target), "12345") << c.format;
        // 5 in c.size little-endian bytes (x86-64), the rest untouched
        unsigned char want[16];
        std::memset(want, 0x55, sizeof want);
        std::memset(want, 0, c.size);
        want[0] = 5;
        EXPECT_EQ(std::memcmp(target, want, sizeof want), 0) << c.format;
    }
    signed char small = 0;
    int count = 0;
    EXPECT_EQ(ours("%300d%hhn", 1, &small).size(), 300u);
    EXPECT_EQ(small, static_cast<signed char>(300));
    EXPECT_EQ(ours("ab%ncd", &count), "abcd");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ours("ab%n", static_cast<int*>(nullptr)), "ab");
}

TEST(SprintfBounded, TruncatesTerminatesAndReturnsFullLength) {
    const struct {
        size_t capacity;
        const char* text;
    } cases[] = {{1, ""}, {2, "h"}, {4, "hel"}, {5, "hell"}, {6, "hello"}, {10, "hello"}};
    for (const auto& c : cases) {
        char buffer[16];
        std::memset(buffer, 'X', sizeof buffer);
        EXPECT_EQ(mt_sprintf(buffer, c.capacity, "%s", "hello"), 5) << c.capacity;
        EXPECT_STREQ(buffer, c.text) << c.capacity;
        for (size_t i = c.capacity; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], 'X') << c.capacity << " at " << i;
    }
    char untouched = 'X';
    EXPECT_EQ(mt_sprintf(&untouched, 0, "%d", 12345), 5);
    EXPECT_EQ(untouched, 'X');
    EXPECT_EQ(mt_sprintf(nullptr, 0, "%-9s|", "ab"), 10);
    EXPECT_EQ(mt_sprintf(nullptr, 8, "%d", 12345), 5);  // no buffer: measured only
}

// Accepts `limit` characters, then fails every call.
struct FailingSink {
    explicit FailingSink(size_t limit) : limit(limit) {}
    size_t limit;
    size_t calls = 0;
    std::string text;
    static int put(void* context, int ch) {
        auto* sink = static_cast<FailingSink*>(context);
        if (sink->calls++ >= sink->limit) return -1;
        sink->text += static_cast<char>(ch);
        return 0;
    }
};

int format_to(FailingSink& sink, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = mt_vformat(FailingSink::put, &sink, format, args);
    va_end(args);
    return n;
}

// Fails after `limit` characters, and no character may follow the failure.
template <typename... A>
void expect_failure_after(size_t limit, const char* format, A... args) {
    FailingSink sink{limit};
    EXPECT_LT(format_to(sink, format, args...), 0) << format;
    EXPECT_EQ(sink.calls, limit + 1) << format;
}

TEST(SprintfCallback, FailureEndsTheCallWithANegativeResult) {
    expect_failure_after(3, "abcdef");
    expect_failure_after(0, "%d", 7);
    expect_failure_after(4, "%10s", "x");
    expect_failure_after(1, "%-8c", 'y');
    expect_failure_after(2, "%f", 1.5);
    expect_failure_after(6, "%#.3a", 1.5);
    FailingSink roomy{100};
    EXPECT_EQ(format_to(roomy, "%s=%5.1f", "pi", M_PI), 8);
    EXPECT_EQ(roomy.text, "pi=  3.1");
}

// A field that cannot fit the count fails before any of it is written.
TEST(SprintfCallback, OversizedFieldFailsBeforeWriting) {
    FailingSink precise{1000}, wide{1000};
    EXPECT_LT(format_to(precise, "ab%.2147483647f", 1.0), 0);
    EXPECT_EQ(precise.calls, 2u);
    EXPECT_LT(format_to(wide, "ab%2147483646s", "x"), 0);
    EXPECT_EQ(wide.calls, 2u);
}

TEST(SprintfStream, WritesCharactersAndReportsFailure) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(mt_fprintf(file, "%s: %I64d%c", "name", -7LL, '\n'), 9);
    std::rewind(file);
    char line[32] = {};
    ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "name: -7\n");
    std::fclose(file);

    FILE* read_only = std::fopen("/dev/null", "r");
    ASSERT_NE(read_only, nullptr);
    EXPECT_LT(mt_fprintf(read_only, "text"), 0);
    std::fclose(read_only);
    EXPECT_LT(mt_fprintf(nullptr, "text"), 0);
}

}  // namespace
