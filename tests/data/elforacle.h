// What symkeep must write for a given input and keep list, computed by the
// test suite on its own from the input bytes, so that end-to-end tests can
// compare whole output files byte by byte.
//
// It follows the tool's documented behaviour step by step: load the symbols
// from the first ".symtab" (else ".dynsym"), keep those whose names are on
// the list in input order with one name copy each, clear every p_filesz,
// lay out from the first section's data offset writing only ".symtab",
// ".strtab" and ".shstrtab", and give matching program headers the running
// offset.  Inputs whose result the tool leaves undefined (names outside
// their tables, duplicate ".symtab" sections, 32-bit overflow) are declined
// with a reason instead of guessed at.
#pragma once

#include <string>
#include <vector>

#include "data/elfmaker.h"

namespace elfmaker {

struct Expectation {
    bool ok = false;
    std::string reason;  // why the input was declined
    std::string bytes;   // the whole output file
    std::vector<Sym> kept;              // with their new st_name
    std::vector<size_t> kept_index;     // their indices in the input table
    std::vector<std::string> kept_names;
    std::string strtab;  // the rebuilt symbol string table
};

Expectation expected_output(const std::string& input, const std::vector<std::string>& keep);

}  // namespace elfmaker
