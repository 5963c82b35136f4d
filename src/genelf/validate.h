// Checks on values that the file supplies and that the library would
// otherwise use as indices or sizes unchecked (validate.cpp).  A file that
// fails one is refused with a fatal message naming the field and the value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "genelf/elf_types.h"

// e_shstrndx must index the section header table.
void genelf_check_shstrndx(uint32_t shstrndx, uint32_t shnum);
// A table size taken from the file must be addressable here.
size_t genelf_checked_size(uint64_t size);
// The NUL-terminated text at `offset` of a table of `size` bytes, or nullptr
// when the offset is outside the table or the text runs past its end.
const char* genelf_name_at(const uint8_t* table, uint64_t size, uint64_t offset);
// Every section's sh_name must name a text inside the section-name table.
void genelf_check_section_names(const Elf64_Shdr* shdrs, uint32_t count, const uint8_t* names, uint64_t size);
