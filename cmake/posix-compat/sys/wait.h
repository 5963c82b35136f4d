// <sys/wait.h> for the Windows cross build of the tests: there is no fork,
// so there is nothing to wait for; the macros read plain exit statuses.
#pragma once
#include <cerrno>
#define WIFEXITED(s) 1
#define WEXITSTATUS(s) ((s) & 0xff)
#define WIFSIGNALED(s) 0
#define WTERMSIG(s) 0
inline int waitpid(int, int*, int) {
    errno = ECHILD;
    return -1;
}
