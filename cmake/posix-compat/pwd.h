// <pwd.h> for the Windows cross build of the tests: the logon name only.
#pragma once
#include <cstddef>
struct passwd {
    char* pw_name;
    char* pw_dir;
};
size_t plat_user_name(char* buf, size_t cap);
inline struct passwd* getpwuid(unsigned) {
    static char name[257];
    static char dir[1] = "";
    static struct passwd pw = {name, dir};
    return plat_user_name(name, sizeof name) != 0 ? &pw : nullptr;
}
