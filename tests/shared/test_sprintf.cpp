// The printf engine against the C library over a grid (flags x widths x
// precisions x values) where both define a conversion alike, hand-checked
// texts for what only this engine defines, the bounded buffer and failing output.
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

// A width or precision, written out or taken from an argument.
struct Field {
    const char* text;
    bool star;
    int value;
};
const std::vector<Field> kWidths = {{"", 0, 0}, {"26", 0, 0}, {"*", 1, -12}, {"*", 1, 9}};
const std::vector<Field> kInt = {{"", 0, 0}, {".", 0, 0}, {".5", 0, 0}, {".*", 1, -1}, {".*", 1, 3}};
const std::vector<Field> kFloat = {{"", 0, 0}, {".", 0, 0}, {".1", 0, 0}, {".17", 0, 0}, {".*", 1, 5}};

// The text and result of one call (the text cut at the result, which keeps
// the zeros %c writes).
template <typename Print, typename V>
std::string run(Print print, const std::string& format, const Field& w, const Field& p, V value) {
    char buffer[2048];
    const char* f = format.c_str();
    const int n = w.star && p.star ? print(buffer, sizeof buffer, f, w.value, p.value, value)
                  : w.star         ? print(buffer, sizeof buffer, f, w.value, value)
                  : p.star         ? print(buffer, sizeof buffer, f, p.value, value)
                                   : print(buffer, sizeof buffer, f, value);
    return n < 0 ? "<failed>" : std::string(buffer, std::min<size_t>(n, sizeof buffer - 1)) + "|" + std::to_string(n);
}

// Each value by "%<flags><width><precision><conv>" here and with `libc`
// (pointers as integers) by the C library, for every subset of the flags but
// `without`; a broken conversion reports a few examples and a count.
size_t g_failed = 0;
template <typename T>
T as_libc(T v) { return v; }
unsigned long long as_libc(void* v) { return reinterpret_cast<uintptr_t>(v); }
template <typename T>
void grid(const std::vector<Field>& precisions, const std::string& conv, const std::vector<T>& values,
          char without = '\0', std::string libc = "") {
    for (unsigned mask = 0; mask < 32; ++mask) {
        std::string flags;
        for (unsigned bit = 0; bit < 5; ++bit)
            if (mask & (1u << bit)) flags += "-+ 0#"[bit];
        if (without && flags.find(without) != std::string::npos) continue;
        for (const Field& w : kWidths)
            for (const Field& p : precisions)
                for (const T& v : values) {
                    const std::string head = "<%" + flags + w.text + p.text, format = head + conv + ">";
                    const auto got = run(mt_sprintf, format, w, p, v);
                    const auto want = run(std::snprintf, libc.empty() ? format : head + libc + ">", w, p, as_libc(v));
                    if (got != want && ++g_failed <= 20) ADD_FAILURE() << format << ": " << got << " != " << want;
                }
    }
}

TEST(Sprintf, MatchesTheCLibraryOverTheGrid) {
    grid<const char*>(kInt, "s", {"", "hello", "a longer text of words"}), grid<int>(kInt, "c", {'a', 0, 200});
    // glibc prints %p its own way; ours prints the value as %llx / %llX would.
    int local = 0;
    const std::vector<void*> pointers = {nullptr, reinterpret_cast<void*>(UINTPTR_MAX), &local};
    grid(kInt, "p", pointers, '\0', "llx"), grid(kInt, "P", pointers, '\0', "llX");
    // Neither msvcrt's nor mingw's snprintf is a C99 reference for numbers
    // (mingw's takes the space flag on unsigned conversions and drops a NaN's
    // sign): there the table below stands alone.
#ifndef _WIN32
    for (const std::string c : {"d", "i", "u", "o", "x", "X"}) {
        grid<int>(kInt, "hh" + c, {0, -1, 128, -129, 256}), grid<int>(kInt, "h" + c, {-1, 32767, 32768, 65536});
        grid<int>(kInt, c, {0, 1, -1, INT_MAX, INT_MIN}), grid<long>(kInt, "l" + c, {LONG_MIN, -4294967296L});
        grid<long long>(kInt, "ll" + c, {LLONG_MIN, LLONG_MAX, 1LL << 32}), grid<intmax_t>(kInt, "j" + c, {INTMAX_MIN});
        grid<size_t>(kInt, "z" + c, {SIZE_MAX, 77}), grid<ptrdiff_t>(kInt, "t" + c, {PTRDIFF_MIN, -5});
    }
    const double inf = HUGE_VAL, nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> values = {0.0, -0.0, -1.0, 2.5, 0.1, 1.0 / 3, 0.95, 9.9999995, 9.99995e-5, 1e-5, 1e17,
        1e23, 0x1p64, 0x1.fffffffffffffp0, DBL_MAX, DBL_MIN, 0x1p-1074, 0x0.fffffffffffffp-1022, inf, -inf, nan, -nan};
    for (const std::string c : {"a", "e", "f", "g", "A", "E", "F", "G"}) {
        grid(kFloat, c, values);
        // Rounding these carries into a new exponent digit, where glibc's %#g
        // drops the zeros that # keeps; the table checks ours.
        grid<double>(kFloat, c, {99.5, 999999.5}, (c[0] | 0x20) == 'g' ? '#' : '\0');
    }
    for (const char* conv : {"Le", "Lf", "Lg"})  // long doubles that a double holds exactly
        grid<long double>(kFloat, conv, {1.5L, -0.0L, 1e20L, static_cast<long double>(0.1)});
#endif
    EXPECT_EQ(g_failed, 0u);
}

// The text of one call, or a note when the result is not its length.
std::string ours(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int n = mt_vsprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return "<failed>";
    return static_cast<size_t>(n) == std::strlen(buffer) ? buffer : "<returned " + std::to_string(n) + ">";
}

TEST(Sprintf, WhatOnlyThisEngineDefines) {
    const char* none = nullptr;
    const std::string rows[][2] = {
        {ours("%I64d", LLONG_MIN), "-9223372036854775808"}, {ours("abc%*", 5), "abc"},
        {ours("ab%I|%5I|%I6|%I d|ab%I64|%I64q", 42), "ab|    |6| d|ab|q"},  // I alone is never the conversion
        // l is 64 bits also where long is 32 (Windows)
        {ours("%lx %d|%ld", 0x123456789abcdefULL, 7, LLONG_MIN), "123456789abcdef 7|-9223372036854775808"},
        {ours("%llx|%lli", 0xfedcba9876543210ULL, LLONG_MIN), "fedcba9876543210|-9223372036854775808"},
        {ours("%D %hI %C %S|%U%O", -3, 4, 'c', "str"), "-3 4 c str|UO"},  // only D I C S N have twins
        {ours("%p|%#P|%#p", reinterpret_cast<void*>(0x1f), reinterpret_cast<void*>(0x1f), none), "1f|0X1F|0"},
        {ours("%s|%8s|%-8S|%.3s|", none, none, none, none), "(null)|  (null)|(null)  |(nu|"}, {ours(nullptr), "(null)"},
        {ours("%5q|%-5q|%05q|%.0q|%*q|", -3), "    q|q    |    q|q|q  |"},  // other characters as padded text
        {ours("100%%|%5%|%l d"), "100%|    %| d"},  // blanks are skipped before the modifier only
        {ours("abc%"), "abc"}, {ours("abc%-5"), "abc"}, {ours("abc%.3"), "abc"}, {ours("abc%ll"), "abc"},
        {ours("%5 d|%.3  ld|%-4 c|%8.2 f|", 42, 7LL, 'x', 2.5), "   42|007|x   |    2.50|"},
        {ours("% +d|%+ d|%0-4d|%-04d|", 5, 5, 5, 5), "+5|+5|5   |5   |"}, {ours("%.2147483647s", "abc"), "abc"},
        {ours("%Lf %La", 1e400L, 1.5L), "inf 0x1.8p+0"},  // long double narrowed to double
        {ours("%#g|%#.2G|%#.5g", 999999.5, 99.5, 99999.5), "1.00000e+06|1.0E+02|1.0000e+05"},
    };
    for (const auto& row : rows) EXPECT_EQ(row[0], row[1]);
    for (const char* format : {"%2147483648d", "%.2147483648d", "%*d", "%.2147483647f", "x%2147483647d"})
        EXPECT_LT(mt_sprintf(nullptr, 0, format, INT_MIN, 1, 1.0), 0) << format;
    // %n stores exactly as many bytes as its modifier names: 5, little-endian
    // (x86-64), the rest untouched.
    const std::pair<const char*, size_t> counts[] = {
        {"12345%hhn", 1}, {"12345%hn", 2}, {"12345%n", 4},   {"12345%N", 4},  {"12345%ln", 8},  {"12345%lln", 8},
        {"12345%I64n", 8}, {"12345%In", 8}, {"12345%Ln", 8}, {"12345%jn", 8}, {"12345%zn", 8}, {"12345%tn", 8}};
    for (const auto& [format, size] : counts) {
        char target[12]; std::memset(target, 0x55, sizeof target);
        EXPECT_EQ(ours(format, target), "12345") << format;
        EXPECT_EQ(std::string(target, 12), "\5" + std::string(size - 1, '\0') + std::string(12 - size, 0x55)) << format;
    }
    signed char small = 0;
    EXPECT_TRUE(ours("%300d%hhn", 1, &small).size() == 300u && small == static_cast<signed char>(300));
    EXPECT_EQ(ours("ab%n", static_cast<int*>(nullptr)), "ab");
}

// A sink that takes `limit` characters, then fails: the result and the
// number of characters offered.
struct Sink { size_t limit, calls = 0; };
std::string to_sink(size_t limit, const char* format, ...) {
    Sink sink{limit};
    va_list args;
    va_start(args, format);
    const auto put = [](void* c, int) { auto* s = static_cast<Sink*>(c); return s->calls++ < s->limit ? 0 : -1; };
    const int n = mt_vformat(put, &sink, format, args);
    va_end(args);
    return std::to_string(n < 0 ? -1 : n) + " " + std::to_string(sink.calls);
}

TEST(Sprintf, BoundedBufferAndFailingOutput) {
    for (const size_t capacity : {1, 2, 4, 5, 6, 10}) {
        char buffer[16]; std::memset(buffer, 'X', sizeof buffer);
        EXPECT_EQ(mt_sprintf(buffer, capacity, "%s", "hello"), 5);
        EXPECT_EQ(buffer, std::string("hello").substr(0, capacity - 1)) << capacity;
        EXPECT_EQ(std::string(buffer + capacity, 16 - capacity), std::string(16 - capacity, 'X')) << capacity;
    }
    char untouched = 'X';
    EXPECT_TRUE(mt_sprintf(&untouched, 0, "%d", 12345) == 5 && untouched == 'X');
    EXPECT_EQ(mt_sprintf(nullptr, 8, "%-9s|", "ab"), 10);  // no buffer: measured only
    EXPECT_EQ(mt_sprintf(nullptr, 0, nullptr), 6);         // "(null)"
    // A failing output fails the call at once, and nothing more is offered; a
    // field too large for the count fails before any of it is written.
    const std::string rows[][2] = {
        {to_sink(3, "abcdef"), "-1 4"},          {to_sink(0, "%d", 7), "-1 1"},
        {to_sink(4, "%10s", "x"), "-1 5"},       {to_sink(1, "%-8c", 'y'), "-1 2"},
        {to_sink(2, "%f", 1.5), "-1 3"},         {to_sink(6, "%#.3a", 1.5), "-1 7"},
        {to_sink(1000, "ab%.2147483647f", 1.0), "-1 2"}, {to_sink(1000, "ab%2147483646s", "x"), "-1 2"},
        {to_sink(100, "%s=%5.1f", "pi", M_PI), "8 8"}};
    for (const auto& row : rows) EXPECT_EQ(row[0], row[1]);
    // The messages write through mt_fprintf: only its failures are left.
    FILE* read_only = std::fopen(SYMKEEP_PROBE, "r");
    EXPECT_TRUE(mt_fprintf(read_only, "text") < 0 && mt_fprintf(nullptr, "text") < 0);
    std::fclose(read_only);
}

}  // namespace
