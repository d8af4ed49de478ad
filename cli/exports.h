// Lists the functions and data a shared library exports, read from its dynamic symbol table (ELF only).
#pragma once

#include <string>
#include <vector>

namespace vbcli {

// The names of the defined global symbols in the file's dynamic symbol table, sorted. Returns false with a
// reason when the file is not a 64-bit little-endian ELF file or cannot be read.
bool ListExportedSymbols(const std::string &path, std::vector<std::string> *names, std::string *error);

}  // namespace vbcli
