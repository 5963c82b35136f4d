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

bool gen_isspace(int c);
bool gen_isalnum(int c);

// True for '/' and '\', whatever the platform.
inline bool gen_issep(char c) { return c == '/' || c == '\\'; }

const char* gen_basename(const char* p);
char* gen_dirname(const char* p);
bool gen_isabsolute(const char* p);
bool gen_isbarename(const char* p);

char* gen_pathjoin(const char* dir, const char* name, char sep = PLAT_PATH_SEPARATOR);
char* gen_pathjoin_or_copy(const char* dir, const char* name, char sep = PLAT_PATH_SEPARATOR);
// In place; never lengthens the text.  Returns p.
char* gen_path_normalise(char* p, char sep = PLAT_PATH_SEPARATOR);

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
