// <sys/mman.h> for the Windows cross build of the tests: no mappings; the
// tests that need one skip themselves on Windows.
#pragma once
#include <cerrno>
#include <cstddef>
#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_SHARED 1
#define MAP_PRIVATE 2
#define MAP_FAILED (reinterpret_cast<void*>(-1))
inline void* mmap(void*, size_t, int, int, int, long) {
    errno = ENOSYS;
    return MAP_FAILED;
}
inline int munmap(void*, size_t) { return -1; }
