// What a shared object or program asks the dynamic loader for, read from
// its ELF headers: enough to gather the libraries a runtime loads.
#pragma once

#include <string>
#include <vector>

struct ElfLinks {
    std::string interpreter;          // the loader a program names ("/lib64/ld-linux-x86-64.so.2"); "" in a library
    std::vector<std::string> needed;  // its DT_NEEDED names, in order
};
// "" and what `file` links, or why it cannot be read as a 64-bit
// little-endian ELF file.
[[nodiscard]] std::string read_elf_links(const std::string& file, ElfLinks& links);

// The shared library names `bytes` holds as strings ("libX11.so.6",
// "libpulse.so.0"): what a library loads by name with dlopen. Each once,
// in the order found.
std::vector<std::string> library_names_in(const std::string& bytes);
