// Test seams of the switch registry.  Production code does not call these.
#pragma once

// Forgets the index, the pending and argument lists, the once-flags, the
// completion flag and the cached module path, so that a test can start the
// registry again.  Records themselves are the caller's to reset.
void gswitch_reset_for_tests();

// Fills the module-path cache, so that the switch file is looked for at
// `path` with its extension replaced by ".gsw".
void gswitch_set_module_file_name_for_tests(const char* path);
