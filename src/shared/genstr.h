// Small text, path and environment routines shared by the runtime, the
// switch registry and the crash reports.
//
// Every routine accepts a missing (null) text where its contract below says
// so and never reports an error.  "New" results come from AllocHook and are
// released by the caller through FreeHook; other pointer results point into
// an argument.  Paths may use either separator, '\' or '/', and may carry a
// drive prefix (a letter followed by ':'); routines that write a normalised
// path write the separator they are given, by default the platform's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

char* gen_strdup(const char* s);
char* gen_strcat2(const char* a, const char* b);
char* gen_strcat3(const char* a, const char* b, const char* c);
char* gen_strjoinc(const char* a, char ch, const char* b);
char* gen_strcat4(const char* a, const char* b, const char* c, const char* d);

// ASCII case-insensitive; two missing texts are equal, one is not.
bool gen_strequal(const char* a, const char* b);
// strcmp with a missing text taken as empty: <0, 0 or >0.
int gen_strcmp0(const char* a, const char* b);
bool gen_strprefix(const char* s, const char* p);
const char* gen_strstr(const char* s, const char* t);

// Character classes of the ASCII letters, digits and blanks, the same in
// every locale.  gen_isspace is the switch file's and the text routines'
// white space: space, tab, line feed, carriage return, form feed (not
// vertical tab).
inline bool gen_isalpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool gen_isdigit(int c) { return c >= '0' && c <= '9'; }
inline bool gen_isalnum(int c) { return gen_isalpha(c) || gen_isdigit(c); }
inline bool gen_isspace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
// ASCII upper-case letters folded to lower case; every other value as given.
inline int gen_tolower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// True for '/' and '\', whatever the platform.
inline bool gen_issep(char c) { return c == '/' || c == '\\'; }
// Path characters match when both are separators or when they are equal
// after folding ASCII letters to lower case.
inline bool gen_pathchar_equal(char a, char b) {
    return (gen_issep(a) && gen_issep(b)) ||
           gen_tolower(static_cast<unsigned char>(a)) == gen_tolower(static_cast<unsigned char>(b));
}
// Path equality, character by character as above; null is the empty text.
bool gen_pathequal(const char* a, const char* b);

const char* gen_basename(const char* p);
char* gen_dirname(const char* p);
bool gen_isabsolute(const char* p);
bool gen_isbarename(const char* p);

char* gen_pathjoin(const char* dir, const char* name, char sep = PLAT_PATH_SEPARATOR);
char* gen_pathjoin_or_copy(const char* dir, const char* name, char sep = PLAT_PATH_SEPARATOR);
// In place; never lengthens the text.  Returns p.
char* gen_path_normalise(char* p, char sep = PLAT_PATH_SEPARATOR);

// The component rule that gen_path_normalise and the view path's V_compath
// share, on text whose only separator is '/': runs of '/' count as one, a
// "." component is dropped, and a component followed by ".." is dropped
// together with it.  A ".." with nothing but ".." before it is kept.
struct GenPathFold {
    bool drop_leading_up;   // a ".." with nothing before it is dropped (a root has no parent) rather than kept
    bool guard_drive_like;  // a first component that would read as a drive prefix ("C:x") is written "./C:x"
    size_t limit;           // components read at most (0: no limit)
};
// Folds the components of p[base, len) in place, writing from `base`, and
// returns where the folded text ends (nothing is terminated).  When `limit`
// stops the walk, *rest receives where the unread components begin;
// otherwise it receives len.  Never writes past what it has read, except
// for the guard, for which a dropped component always left room.
size_t gen_path_fold(char* p, size_t base, size_t len, const GenPathFold& how, size_t* rest);

const char* gen_getext(const char* p);
bool gen_hasext(const char* p, const char* ext);
char* gen_setext(const char* p, const char* ext);

const char* gen_getenv(const char* name, const char* dflt = nullptr);
bool gen_setenv(const char* name, const char* value);

// Reads one line into *buffer, growing it through ReallocHook (first to
// 248 bytes, then to twice the size plus 8) and updating *capacity.  The
// line ends at LF, CR or CR LF (consumed whole) or end of file; the
// terminator is not stored.  Returns *buffer, or nullptr at end of file
// when no character was read (or on a read error).
char* gen_readline(FILE* stream, char** buffer, size_t* capacity);

// Unsigned parse in the given base (as strtoul), saturated at UINT32_MAX.
// A missing text gives 0 and sets *end to nullptr.
uint32_t gen_strtou32(const char* text, char** end, int base);
