// Text helpers shared by the platform backends.
#pragma once

#include <cstddef>

// Copies `text` with its NUL into buf when it is not empty and fits; returns
// its length, or 0 (buf emptied) when it is missing, empty or too long.
size_t plat_copy_text(const char* text, char* buf, size_t cap);
