// Checked file I/O: each wrapper performs one operation and, when it fails,
// reports in a fixed wording that names the file.  Open and seek failures
// end the program with status 1; write and close failures are reported and
// the caller goes on.
#pragma once

#include <cstdint>
#include <cstdio>

FILE* gen_safe_fopen(const char* name, const char* description, const char* mode);
int64_t gen_safe_fwrite(const char* name, const void* buffer, int32_t size, int32_t count, FILE* stream);
int gen_safe_fclose(const char* name, const char* description, FILE* stream);
int gen_safe_fseek(const char* name, FILE* stream, int32_t offset, int origin);
int gen_safe_fseek64(const char* name, FILE* stream, int64_t offset, int origin);
int64_t gen_read(int fd, void* buffer, uint64_t count);
int64_t gen_write(int fd, const void* buffer, uint64_t count);
// 1 directory, 0 not (or cannot tell), -1 no path.
int gen_isdir(const char* path);

// New copy of a directory path as the directory tests want it: a drive or
// share root without a trailing separator gets "\" appended, any other path
// longer than one character loses one trailing separator.
char* gen_normalise_dirpath(const char* path);
