// The runtime's own printf engine.  The platform printf family does not know
// the I64 length modifier and differs between platforms on "(null)", so the
// diagnostics format with this engine everywhere.
//
// Conventions: flags - + space 0 #; width and precision, also as *; length
// modifiers hh h l ll L j z t I64 I, of which l ll L j z t I64 I read a
// 64-bit integer (l too where long is 32 bits) and h hh 16 and 8 bits;
// conversions d i u o x X c s p P n and a e f g (upper-case forms too;
// D I C S N act like their lower-case forms); a missing text prints
// "(null)"; any other character after % is printed as itself, padded to the
// width; a % at the very end ends the output.
//
// Choices where the conventions leave room:
// - I is always read as a modifier, so the conversion I needs one before it
//   ("%lI", "%II"); "%I6" prints "6" and "%I" at the end prints nothing.
// - p and P print the pointer as x and X would: no "0x" unless # is given.
// - L reads a long double and prints it narrowed to double (infinity beyond
//   the range of a double).
// - A missing text is the text "(null)", so a precision cuts it like any text.
// - The precision of c, of % and of an unknown conversion is ignored.
// - A width or precision above INT_MAX, or a result longer than INT_MAX,
//   makes the call fail with a negative result.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Output callback: hands one character on; returns < 0 when output failed.
using MtPutc = int (*)(void* context, int ch);

// Walks the format, handing every produced character to `out`.  Returns the
// number of characters produced, or a negative value when `out` failed.
int mt_vformat(MtPutc out, void* context, const char* format, va_list args);

// Bounded-buffer instance: writes at most capacity - 1 characters and always
// terminates when capacity > 0.  Returns the full length the text would have.
int mt_vsprintf(char* buffer, size_t capacity, const char* format, va_list args);
int mt_sprintf(char* buffer, size_t capacity, const char* format, ...);

// Stream instance, character by character through putc.
int mt_vfprintf(FILE* stream, const char* format, va_list args);
int mt_fprintf(FILE* stream, const char* format, ...);
