// The runtime's own printf engine: one walk over the format that hands each
// produced character to an output callback.  Diagnostics must read the same
// on every platform (the I64 modifier, "(null)" for a missing text), and they
// are written on the out-of-memory path too, so the engine allocates nothing:
// every conversion works in fixed buffers on the stack.
//
// Floating-point values are converted exactly -- a double is m * 2^e, whose
// decimal expansion is finite -- and rounded half to even on that expansion,
// which is what the C libraries do in the default rounding mode.  A long
// double argument (L) is read as long double and narrowed to double: no
// diagnostic prints values beyond the range or precision of a double.
//
// Widths and precisions above INT_MAX, and output that would take the count
// past INT_MAX, fail the call with a negative result before anything of that
// conversion is written, as the C library fails with EOVERFLOW.
#include "shared/sprintf/mt_sprintf.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace {

enum : unsigned { kLeft = 1, kPlus = 2, kSpace = 4, kZero = 8, kAlt = 16 };

// l and ll both name 64 bits, also where long is 32 bits (64-bit Windows):
// the diagnostics pass 64-bit values with either, on every platform.
enum class Length { Default, Char, Short, Int64, LongDouble, IntMax, Size, PtrDiff };

constexpr long long kTooLarge = INT_MAX + 1LL;

struct Conversion {
    unsigned flags = 0;
    long long width = 0;
    long long precision = -1;  // -1: none given
    Length length = Length::Default;
    char conv = '\0';
};

// va_list may be an array type, which cannot be passed around by reference
// portably; a struct around it can.
struct Args {
    va_list ap;
};

class Sink {
public:
    Sink(MtPutc out, void* context) : out_(out), context_(context) {}

    bool failed() const { return failed_; }
    int count() const { return count_; }
    void fail() { failed_ = true; }

    // Fails up front when `len` more characters would not fit the count,
    // rather than after handing two billion of them to the callback.
    bool reserve(long long len) {
        if (len > INT_MAX - count_) failed_ = true;
        return !failed_;
    }

    void put(char c) {
        if (failed_) return;
        if (count_ == INT_MAX || out_(context_, static_cast<unsigned char>(c)) < 0) {
            failed_ = true;
            return;
        }
        ++count_;
    }

    void write(std::string_view text) {
        for (char c : text) put(c);
    }

    void repeat(char c, long long n) {
        for (; n > 0 && !failed_; --n) put(c);
    }

private:
    MtPutc out_;
    void* context_;
    int count_ = 0;
    bool failed_ = false;
};

// ---- Fields -------------------------------------------------------------

// A field is [spaces][prefix][zeros][body][spaces], `len` being the length of
// prefix and body.  Zero fill takes the place of the leading spaces; callers
// for which zeros make no sense clear kZero first.  The caller writes the
// body between open_field and close_field.
bool open_field(Sink& out, const Conversion& field, std::string_view prefix, long long len) {
    const long long fill = field.width > len ? field.width - len : 0;
    if (!out.reserve(len + fill)) return false;
    if (!(field.flags & (kLeft | kZero))) out.repeat(' ', fill);
    out.write(prefix);
    if (field.flags & kZero) out.repeat('0', fill);
    return true;
}

void close_field(Sink& out, const Conversion& field, long long len) {
    if (field.flags & kLeft) out.repeat(' ', field.width - len);
}

void format_text(Sink& out, Conversion field, std::string_view text) {
    field.flags &= ~kZero;
    if (!open_field(out, field, {}, text.size())) return;
    out.write(text);
    close_field(out, field, text.size());
}

// Never looks past `precision` characters: the text need not be terminated.
std::string_view text_argument(const char* text, long long precision) {
    if (!text) text = "(null)";
    size_t n = 0;
    while ((precision < 0 || static_cast<long long>(n) < precision) && text[n]) ++n;
    return {text, n};
}

char sign_char(bool negative, unsigned flags) {
    if (negative) return '-';
    if (flags & kPlus) return '+';
    if (flags & kSpace) return ' ';
    return '\0';
}

// A short prefix such as "-0x", built up a character at a time; adding '\0'
// (no sign) adds nothing.
struct Prefix {
    char text[4];
    size_t size = 0;
    void add(char c) {
        if (c) text[size++] = c;
    }
    std::string_view view() const { return {text, size}; }
};

// ---- Integers -----------------------------------------------------------

long long read_signed(Args& args, Length length) {
    switch (length) {
    case Length::Char: return static_cast<signed char>(va_arg(args.ap, int));
    case Length::Short: return static_cast<short>(va_arg(args.ap, int));
    case Length::Int64:
    case Length::LongDouble: return va_arg(args.ap, long long);
    case Length::IntMax: return va_arg(args.ap, intmax_t);
    case Length::Size: return va_arg(args.ap, std::make_signed_t<size_t>);
    case Length::PtrDiff: return va_arg(args.ap, ptrdiff_t);
    case Length::Default: break;
    }
    return va_arg(args.ap, int);
}

unsigned long long read_unsigned(Args& args, Length length) {
    switch (length) {
    case Length::Char: return static_cast<unsigned char>(va_arg(args.ap, unsigned));
    case Length::Short: return static_cast<unsigned short>(va_arg(args.ap, unsigned));
    case Length::Int64:
    case Length::LongDouble: return va_arg(args.ap, unsigned long long);
    case Length::IntMax: return va_arg(args.ap, uintmax_t);
    case Length::Size: return va_arg(args.ap, size_t);
    case Length::PtrDiff: return va_arg(args.ap, std::make_unsigned_t<ptrdiff_t>);
    case Length::Default: break;
    }
    return va_arg(args.ap, unsigned);
}

// Writes the digits of `value` backwards so that they end just before `end`;
// returns the first.
char* to_digits(unsigned long long value, unsigned base, bool upper, char* end) {
    const char* digit = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        *--end = digit[value % base];
        value /= base;
    } while (value);
    return end;
}

void format_integer(Sink& out, Conversion field, unsigned long long magnitude, char sign, unsigned base,
                    bool upper) {
    char buffer[24];  // 22 octal digits for 64 bits
    char* const end = buffer + sizeof buffer;
    const char* digits = to_digits(magnitude, base, upper, end);
    long long ndigits = end - digits;
    if (field.precision == 0 && magnitude == 0) ndigits = 0;

    long long zeros = field.precision > ndigits ? field.precision - ndigits : 0;
    // The alternate octal form guarantees a leading 0 and adds no other.
    if (base == 8 && (field.flags & kAlt) && zeros == 0 && (ndigits == 0 || *digits != '0')) zeros = 1;

    Prefix prefix;
    prefix.add(sign);
    if (base == 16 && (field.flags & kAlt) && magnitude != 0) {
        prefix.add('0');
        prefix.add(upper ? 'X' : 'x');
    }
    if (field.precision >= 0) field.flags &= ~kZero;

    const long long len = static_cast<long long>(prefix.size) + zeros + ndigits;
    if (!open_field(out, field, prefix.view(), len)) return;
    out.repeat('0', zeros);
    out.write({digits, static_cast<size_t>(ndigits)});
    close_field(out, field, len);
}

void store_count(Args& args, Length length, int count) {
    void* target = va_arg(args.ap, void*);
    if (!target) return;
    switch (length) {
    case Length::Char: *static_cast<signed char*>(target) = static_cast<signed char>(count); break;
    case Length::Short: *static_cast<short*>(target) = static_cast<short>(count); break;
    case Length::Int64:
    case Length::LongDouble: *static_cast<long long*>(target) = count; break;
    case Length::IntMax: *static_cast<intmax_t*>(target) = count; break;
    case Length::Size: *static_cast<size_t*>(target) = static_cast<size_t>(count); break;
    case Length::PtrDiff: *static_cast<ptrdiff_t*>(target) = count; break;
    case Length::Default: *static_cast<int*>(target) = count; break;
    }
}

// ---- Exact decimal expansion of a double --------------------------------

// The longest expansion is that of the smallest exponent, m * 5^1074 with
// m < 2^53: 767 digits, 86 limbs of nine digits.
constexpr int kLimbs = 88;
constexpr uint32_t kLimbBase = 1000000000;

// An unsigned integer in base 10^9, least significant limb first.
class BigNumber {
public:
    explicit BigNumber(uint64_t value) {
        do {
            limb_[size_++] = static_cast<uint32_t>(value % kLimbBase);
            value /= kLimbBase;
        } while (value);
    }

    void multiply_power(uint32_t base, int exponent) {
        while (exponent > 0) {
            uint32_t factor = 1;  // the largest power that fits, to save passes
            for (; exponent > 0 && factor <= UINT32_MAX / base; --exponent) factor *= base;
            multiply(factor);
        }
    }

    // Writes the decimal digits without leading zeros; returns their number.
    int write_decimal(char* text) const {
        char* end = to_digits(limb_[size_ - 1], 10, false, text + 10);
        int n = static_cast<int>(text + 10 - end);
        std::memmove(text, end, n);
        for (int i = size_ - 2; i >= 0; --i) {
            uint32_t limb = limb_[i];
            for (int k = 8; k >= 0; --k, limb /= 10) text[n + k] = static_cast<char>('0' + limb % 10);
            n += 9;
        }
        return n;
    }

private:
    void multiply(uint32_t factor) {
        uint64_t carry = 0;
        for (int i = 0; i < size_; ++i) {
            const uint64_t product = static_cast<uint64_t>(limb_[i]) * factor + carry;
            limb_[i] = static_cast<uint32_t>(product % kLimbBase);
            carry = product / kLimbBase;
        }
        for (; carry; carry /= kLimbBase) limb_[size_++] = static_cast<uint32_t>(carry % kLimbBase);
    }

    uint32_t limb_[kLimbs];
    int size_ = 0;
};

// A finite non-negative value as 0.D * 10^point, D without leading or
// trailing zeros; zero has no digits and point 1, so its exponent is 0.
struct Decimal {
    char digits[kLimbs * 9];
    int count = 0;
    int point = 1;

    char at(long long i) const { return i >= 0 && i < count ? digits[i] : '0'; }
    int exponent() const { return point - 1; }  // of the first digit
};

struct DoubleParts {
    int biased_exponent;
    uint64_t fraction;  // the 52 stored bits
};

DoubleParts split(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return {static_cast<int>(bits >> 52 & 0x7ff), bits & ((1ULL << 52) - 1)};
}

void strip_trailing_zeros(Decimal& d) {
    while (d.count > 0 && d.digits[d.count - 1] == '0') --d.count;
    if (d.count == 0) d.point = 1;
}

void expand(double x, Decimal& d) {
    const DoubleParts parts = split(x);
    uint64_t mantissa = parts.fraction;
    int exponent = -1074;  // value = mantissa * 2^exponent
    if (parts.biased_exponent) {
        mantissa |= 1ULL << 52;
        exponent = parts.biased_exponent - 1075;
    }
    d.count = 0;
    d.point = 1;
    if (mantissa == 0) return;

    BigNumber n(mantissa);
    int scale = 0;  // value = n * 10^scale
    if (exponent > 0) {
        n.multiply_power(2, exponent);
    } else {
        n.multiply_power(5, -exponent);  // m / 2^k = m * 5^k / 10^k
        scale = exponent;
    }
    d.count = n.write_decimal(d.digits);
    d.point = d.count + scale;
    strip_trailing_zeros(d);
}

// Keeps the first `keep` digits.  Halves round to even; they are true
// halves, because the expansion is exact.
void round_digits(Decimal& d, long long keep) {
    if (keep >= d.count) return;
    if (keep < 0) {  // less than half a unit of the last place kept
        d.count = 0;
        d.point = 1;
        return;
    }
    const char first_dropped = d.digits[keep];
    const bool more_dropped = keep + 1 < d.count;  // non-zero: no trailing zeros
    const bool odd = keep > 0 && (d.digits[keep - 1] - '0') % 2 != 0;
    const bool up = first_dropped > '5' || (first_dropped == '5' && (more_dropped || odd));
    d.count = static_cast<int>(keep);
    if (!up) {
        strip_trailing_zeros(d);
        return;
    }
    while (d.count > 0 && d.digits[d.count - 1] == '9') --d.count;
    if (d.count == 0) {  // 99.9 became 100
        d.digits[0] = '1';
        d.count = 1;
        ++d.point;
    } else {
        ++d.digits[d.count - 1];
    }
}

// ---- Floating-point layouts ---------------------------------------------

// "e+05", "p-1022": the exponent with its sign and at least `min_digits`.
std::string_view exponent_text(char* buffer, char letter, int exponent, int min_digits) {
    char* end = buffer + 8;
    char* digits = to_digits(static_cast<unsigned>(std::abs(exponent)), 10, false, end);
    while (end - digits < min_digits) *--digits = '0';
    *--digits = exponent < 0 ? '-' : '+';
    *--digits = letter;
    return {digits, static_cast<size_t>(end - digits)};
}

// ddd.fff with `frac` digits after the point.
void emit_fixed(Sink& out, const Conversion& field, std::string_view prefix, const Decimal& d, long long frac) {
    const int whole = std::max(d.point, 1);
    const bool dot = frac > 0 || (field.flags & kAlt);
    const long long len = static_cast<long long>(prefix.size()) + whole + dot + frac;
    if (!open_field(out, field, prefix, len)) return;
    for (int i = 0; i < whole; ++i) out.put(d.at(i + d.point - whole));
    if (dot) out.put('.');
    for (long long i = 0; i < frac && !out.failed(); ++i) out.put(d.at(d.point + i));
    close_field(out, field, len);
}

// d.fffe+xx with `frac` digits after the point.
void emit_exponent(Sink& out, const Conversion& field, std::string_view prefix, const Decimal& d, long long frac,
                   bool upper) {
    char buffer[8];
    const std::string_view exponent = exponent_text(buffer, upper ? 'E' : 'e', d.exponent(), 2);
    const bool dot = frac > 0 || (field.flags & kAlt);
    const long long len = static_cast<long long>(prefix.size() + 1 + dot + exponent.size()) + frac;
    if (!open_field(out, field, prefix, len)) return;
    out.put(d.at(0));
    if (dot) out.put('.');
    for (long long i = 1; i <= frac && !out.failed(); ++i) out.put(d.at(i));
    out.write(exponent);
    close_field(out, field, len);
}

void format_fixed(Sink& out, const Conversion& field, std::string_view prefix, double x) {
    const long long precision = field.precision < 0 ? 6 : field.precision;
    Decimal d;
    expand(x, d);
    round_digits(d, d.point + precision);
    emit_fixed(out, field, prefix, d, precision);
}

void format_scientific(Sink& out, const Conversion& field, std::string_view prefix, double x, bool upper) {
    const long long precision = field.precision < 0 ? 6 : field.precision;
    Decimal d;
    expand(x, d);
    round_digits(d, precision + 1);
    emit_exponent(out, field, prefix, d, precision, upper);
}

// %g: the shorter layout for `precision` significant digits; trailing zeros
// go unless the alternate form keeps them.
void format_general(Sink& out, const Conversion& field, std::string_view prefix, double x, bool upper) {
    const long long precision = field.precision < 0 ? 6 : std::max(field.precision, 1LL);
    const bool keep_zeros = field.flags & kAlt;
    Decimal d;
    expand(x, d);
    round_digits(d, precision);
    const int exponent = d.exponent();
    if (exponent >= -4 && exponent < precision) {
        long long frac = precision - 1 - exponent;
        if (!keep_zeros) frac = std::min<long long>(frac, std::max(d.count - d.point, 0));
        emit_fixed(out, field, prefix, d, frac);
    } else {
        long long frac = precision - 1;
        if (!keep_zeros) frac = std::min<long long>(frac, std::max(d.count - 1, 0));
        emit_exponent(out, field, prefix, d, frac, upper);
    }
}

// %a: the leading digit is 1 for normal values and 0 for subnormal ones
// (exponent -1022), and may become 2 or 1 by rounding.
void format_hex_float(Sink& out, const Conversion& field, char sign, double x, bool upper) {
    constexpr int kNibbles = 13;  // of the 52-bit fraction
    const DoubleParts parts = split(x);
    uint64_t fraction = parts.fraction;
    int lead = parts.biased_exponent != 0;
    const int exponent = parts.biased_exponent ? parts.biased_exponent - 1023 : fraction ? -1022 : 0;

    int shown = kNibbles;
    if (field.precision < 0) {
        for (; shown > 0 && (fraction & 0xf) == 0; --shown) fraction >>= 4;
    } else if (field.precision < kNibbles) {
        shown = static_cast<int>(field.precision);
        const int dropped_bits = 4 * (kNibbles - shown);
        const uint64_t rest = fraction & ((1ULL << dropped_bits) - 1);
        const uint64_t half = 1ULL << (dropped_bits - 1);
        fraction >>= dropped_bits;
        const bool odd = (shown ? fraction : static_cast<uint64_t>(lead)) & 1;
        if (rest > half || (rest == half && odd)) {
            if (++fraction >> (4 * shown)) {
                fraction = 0;
                ++lead;
            }
        }
    }
    const long long zeros = field.precision > kNibbles ? field.precision - kNibbles : 0;

    Prefix prefix;
    prefix.add(sign);
    prefix.add('0');
    prefix.add(upper ? 'X' : 'x');
    char buffer[8];
    const std::string_view exponent_part = exponent_text(buffer, upper ? 'P' : 'p', exponent, 1);
    const bool dot = shown > 0 || zeros > 0 || (field.flags & kAlt);
    const long long len = static_cast<long long>(prefix.size + 1 + dot + shown + exponent_part.size()) + zeros;
    if (!open_field(out, field, prefix.view(), len)) return;

    const char* digit = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    out.put(digit[lead]);
    if (dot) out.put('.');
    for (int i = shown - 1; i >= 0; --i) out.put(digit[fraction >> (4 * i) & 0xf]);
    out.repeat('0', zeros);
    out.write(exponent_part);
    close_field(out, field, len);
}

double read_double(Args& args, Length length) {
    if (length != Length::LongDouble) return va_arg(args.ap, double);
    const long double value = va_arg(args.ap, long double);
    if (std::fabs(value) > DBL_MAX && !std::isnan(value)) return std::copysign(HUGE_VAL, static_cast<double>(value));
    return static_cast<double>(value);
}

// Infinity and NaN keep their sign but take no zero fill.
void format_nonfinite(Sink& out, Conversion field, std::string_view prefix, double x, bool upper) {
    field.flags &= ~kZero;
    const std::string_view text = std::isnan(x) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
    const long long len = static_cast<long long>(prefix.size() + text.size());
    if (!open_field(out, field, prefix, len)) return;
    out.write(text);
    close_field(out, field, len);
}

void format_float(Sink& out, const Conversion& field, Args& args) {
    const double x = read_double(args, field.length);
    const bool upper = field.conv >= 'A' && field.conv <= 'Z';
    const char sign = sign_char(std::signbit(x), field.flags);
    Prefix prefix;
    prefix.add(sign);
    const double magnitude = std::fabs(x);

    if (!std::isfinite(x)) return format_nonfinite(out, field, prefix.view(), x, upper);
    switch (field.conv | 0x20) {  // lower case
    case 'a': format_hex_float(out, field, sign, magnitude, upper); break;
    case 'e': format_scientific(out, field, prefix.view(), magnitude, upper); break;
    case 'f': format_fixed(out, field, prefix.view(), magnitude); break;
    default: format_general(out, field, prefix.view(), magnitude, upper); break;
    }
}

// ---- The format walk ----------------------------------------------------

const char* parse_flags(const char* p, unsigned& flags) {
    for (;; ++p) {
        switch (*p) {
        case '-': flags |= kLeft; break;
        case '+': flags |= kPlus; break;
        case ' ': flags |= kSpace; break;
        case '0': flags |= kZero; break;
        case '#': flags |= kAlt; break;
        default: return p;
        }
    }
}

// Saturates at kTooLarge, which fails the conversion later.
const char* parse_number(const char* p, long long& value) {
    value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = std::min(value * 10 + (*p - '0'), kTooLarge);
    return p;
}

// A modifier comes before the conversion, so `I` is always one: "I64" when
// "64" follows, `I` alone otherwise, and the next character is the
// conversion ("%I6" prints "6", "%II" is a 64-bit %i).
const char* parse_length(const char* p, Length& length) {
    switch (*p) {
    case 'h':
        length = p[1] == 'h' ? Length::Char : Length::Short;
        return p + (p[1] == 'h' ? 2 : 1);
    case 'l': length = Length::Int64; return p + (p[1] == 'l' ? 2 : 1);
    case 'L': length = Length::LongDouble; return p + 1;
    case 'j': length = Length::IntMax; return p + 1;
    case 'z': length = Length::Size; return p + 1;
    case 't': length = Length::PtrDiff; return p + 1;
    case 'I': length = Length::Int64; return p + (p[1] == '6' && p[2] == '4' ? 3 : 1);
    default: return p;
    }
}

// Reads one conversion (flags, width, precision, modifier, character) after
// its '%'.  Returns the position after the conversion character, or the
// terminating zero when the format ends first (field.conv is then '\0').
const char* parse_conversion(const char* p, Conversion& field, Args& args) {
    p = parse_flags(p, field.flags);
    if (*p == '*') {
        ++p;
        const int width = va_arg(args.ap, int);
        if (width < 0) field.flags |= kLeft;
        field.width = std::abs(static_cast<long long>(width));
    } else {
        p = parse_number(p, field.width);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            const int precision = va_arg(args.ap, int);
            field.precision = precision < 0 ? -1 : precision;
        } else {
            p = parse_number(p, field.precision);
        }
    }
    while (*p == ' ') ++p;
    p = parse_length(p, field.length);
    if (field.flags & kLeft) field.flags &= ~kZero;
    field.conv = *p;
    return *p ? p + 1 : p;
}

char lower_case_twin(char conv) {
    switch (conv) {
    case 'D': return 'd';
    case 'I': return 'i';
    case 'C': return 'c';
    case 'S': return 's';
    case 'N': return 'n';
    default: return conv;
    }
}

void convert(Sink& out, const Conversion& field, Args& args) {
    switch (lower_case_twin(field.conv)) {
    case 'd':
    case 'i': {
        const long long value = read_signed(args, field.length);
        const unsigned long long magnitude = value < 0 ? 0 - static_cast<unsigned long long>(value) : value;
        format_integer(out, field, magnitude, sign_char(value < 0, field.flags), 10, false);
        break;
    }
    case 'u': format_integer(out, field, read_unsigned(args, field.length), '\0', 10, false); break;
    case 'o': format_integer(out, field, read_unsigned(args, field.length), '\0', 8, false); break;
    case 'x':
    case 'X': format_integer(out, field, read_unsigned(args, field.length), '\0', 16, field.conv == 'X'); break;
    case 'p':
    case 'P': {
        const uint64_t value = reinterpret_cast<uintptr_t>(va_arg(args.ap, void*));
        format_integer(out, field, value, '\0', 16, field.conv == 'P');
        break;
    }
    case 'c': {
        const char c = static_cast<char>(va_arg(args.ap, int));
        format_text(out, field, {&c, 1});
        break;
    }
    case 's': format_text(out, field, text_argument(va_arg(args.ap, const char*), field.precision)); break;
    case 'n': store_count(args, field.length, out.count()); break;
    case 'a':
    case 'e':
    case 'f':
    case 'g':
    case 'A':
    case 'E':
    case 'F':
    case 'G': format_float(out, field, args); break;
    default: format_text(out, field, {&field.conv, 1}); break;  // '%' and unknown letters
    }
}

// The stream instance gathers characters in a small buffer of its own and
// hands them on with fwrite: standard error is unbuffered, and a putc per
// character there is a system call per character.
struct StreamOut {
    FILE* stream;
    char buffer[1024];
    size_t used;
    bool failed;

    bool drain() {
        if (used != 0 && std::fwrite(buffer, 1, used, stream) != used) failed = true;
        used = 0;
        return !failed;
    }
};

int put_to_stream(void* context, int ch) {
    auto* out = static_cast<StreamOut*>(context);
    if (out->used == sizeof out->buffer && !out->drain()) return -1;
    out->buffer[out->used++] = static_cast<char>(ch);
    return 0;
}

struct BoundedBuffer {
    char* data;
    size_t capacity;
    size_t length;
};

// Counts every character but stores only those that leave room for the
// terminating zero.
int put_to_buffer(void* context, int ch) {
    auto* buffer = static_cast<BoundedBuffer*>(context);
    if (buffer->length + 1 < buffer->capacity) buffer->data[buffer->length] = static_cast<char>(ch);
    ++buffer->length;
    return 0;
}

}  // namespace

int mt_vformat(MtPutc out, void* context, const char* format, va_list ap) {
    if (!out) return -1;
    Sink sink(out, context);
    Args args;
    va_copy(args.ap, ap);
    for (const char* p = format ? format : "(null)"; *p && !sink.failed();) {
        if (*p != '%') {
            sink.put(*p++);
            continue;
        }
        Conversion field;
        p = parse_conversion(p + 1, field, args);
        if (field.conv == '\0') break;  // a '%' at the very end ends the output
        if (field.width >= kTooLarge || field.precision >= kTooLarge)
            sink.fail();
        else
            convert(sink, field, args);
    }
    va_end(args.ap);
    return sink.failed() ? -1 : sink.count();
}

int mt_vsprintf(char* buffer, size_t capacity, const char* format, va_list args) {
    if (!buffer) capacity = 0;
    BoundedBuffer bounded{buffer, capacity, 0};
    const int n = mt_vformat(put_to_buffer, &bounded, format, args);
    if (capacity > 0) buffer[std::min(bounded.length, capacity - 1)] = '\0';
    return n;
}

int mt_sprintf(char* buffer, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = mt_vsprintf(buffer, capacity, format, args);
    va_end(args);
    return n;
}

int mt_vfprintf(FILE* stream, const char* format, va_list args) {
    if (!stream) return -1;
    StreamOut out{stream, {}, 0, false};
    int n = mt_vformat(put_to_stream, &out, format, args);
    if (!out.drain()) return -1;
    return n;
}

int mt_fprintf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = mt_vfprintf(stream, format, args);
    va_end(args);
    return n;
}
