// View-path file lookup: opens and tests of files go through here, so that a
// file missing in the work tree is found in a lower tree of NVPATH.
//
// NVPATH (or, failing that, NVSRPATH read as source/replacement pairs) lists
// the trees, top node first.  A read open of a name missing at its place is
// served from the first lower node that has it; an update open copies the
// file up from there first.  ZEP_VP_DEBUG traces every decision, ZEP_VP_OFF
// turns lookup off, ZEP_VP_SLOW refuses FAST mode, ZEP_VP_XSW holds option
// bits (bit 0: never use an alternate root).
#pragma once

#include <cstdio>

// 0 off, 1 on (SLOW: write-only opens copy up too), 2 on (FAST: write-only
// opens do no lookup).
void gen_viewpathing(int mode);
void gen_viewpathing_off();
int gen_vp_active();
FILE* gen_vp_fopen(const char* name, const char* mode);
int gen_vp_open(const char* name, int flags, int perm);
int gen_vp_access(const char* name, int mode);
// gen_vp_access without the write bit: "is it there to read", never "could
// it be copied up".
int gen_vp_access_nowrite(const char* name, int mode);
int gen_access(const char* name, int mode);
int gen_vp_fclose(FILE* stream);

// Internals, exposed for the other runtime parts and for tests.
enum VLookupMode { V_LOOKUP_READ = 0, V_LOOKUP_UPDATE = 1, V_LOOKUP_NONE = 2 };

void V_get_vpath();
char* V_resolve(const char* name, int lookup_mode);
char* V_resolve_pairs(const char* name);
char* V_relpath(const char* path);
char* V_compath(char* path);
int V_copyup(const char* path);

// Relative path from `root` to `path` (both absolute), climbing at most
// three levels with "..", or nullptr.
char* V_relative_to(const char* root, const char* path);

int V_node_count();
// Node i, numbered from 1; nullptr when out of range.
const char* V_node(int i);
const char* V_alternate_root();
const char* V_start_directory();
// Puts the view-path state back as at process start (tests only).
void V_reset_for_tests();
