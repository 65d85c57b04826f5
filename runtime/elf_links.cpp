#include "elf_links.h"

#include <elf.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "files.h"

namespace {

// A record of type T at `offset` of `bytes`, if it lies wholly inside.
template <typename T>
bool record_at(const std::string& bytes, std::uint64_t offset, T& record) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&record, bytes.data() + offset, sizeof(T));
    return true;
}

// The NUL-terminated string at `offset`, if it ends inside `bytes`.
bool string_at(const std::string& bytes, std::uint64_t offset, std::string& text) {
    if (offset >= bytes.size()) return false;
    const std::size_t end = bytes.find('\0', offset);
    if (end == std::string::npos) return false;
    text = bytes.substr(offset, end - offset);
    return true;
}

// "lib" NAME ".so" then any number of ".DIGITS".
bool is_library_name(const std::string& text) {
    if (text.size() < 7 || text.rfind("lib", 0) != 0) return false;
    const std::size_t so = text.find(".so");
    if (so == std::string::npos || so == 3) return false;
    for (std::size_t i = 3; i < so; ++i) {
        const char c = text[i];
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '+' || c == '.')) return false;
    }
    for (std::size_t i = so + 3; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.') {
            if (i + 1 == text.size() || !std::isdigit(static_cast<unsigned char>(text[i + 1]))) return false;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string read_elf_links(const std::string& file, ElfLinks& links) {
    links = ElfLinks{};
    std::string bytes;
    if (!read_file(file, bytes)) return errno_text(file.c_str());
    Elf64_Ehdr header;
    if (!record_at(bytes, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return file + " is not an ELF file";
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_phentsize != sizeof(Elf64_Phdr)) {
        return file + " is not a 64-bit little-endian ELF file";
    }
    std::vector<Elf64_Phdr> loads;
    Elf64_Phdr dynamic{};
    bool has_dynamic = false;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        if (!record_at(bytes, header.e_phoff + std::uint64_t(i) * sizeof segment, segment)) return file + ": its program headers are cut short";
        if (segment.p_type == PT_LOAD) loads.push_back(segment);
        if (segment.p_type == PT_DYNAMIC) dynamic = segment, has_dynamic = true;
        if (segment.p_type == PT_INTERP && !string_at(bytes, segment.p_offset, links.interpreter)) return file + ": its interpreter is cut short";
    }
    if (!has_dynamic) return "";  // linked statically: it asks for nothing
    // The string table is named by its address once loaded.
    std::uint64_t strtab = 0;
    std::vector<std::uint64_t> needed;
    for (std::uint64_t at = dynamic.p_offset; at < dynamic.p_offset + dynamic.p_filesz; at += sizeof(Elf64_Dyn)) {
        Elf64_Dyn entry;
        if (!record_at(bytes, at, entry)) return file + ": its dynamic section is cut short";
        if (entry.d_tag == DT_NULL) break;
        if (entry.d_tag == DT_STRTAB) strtab = entry.d_un.d_ptr;
        if (entry.d_tag == DT_NEEDED) needed.push_back(entry.d_un.d_val);
    }
    const auto in_file = [&](std::uint64_t address, std::uint64_t& offset) {
        return std::any_of(loads.begin(), loads.end(), [&](const Elf64_Phdr& load) {
            if (address < load.p_vaddr || address - load.p_vaddr >= load.p_filesz) return false;
            offset = load.p_offset + (address - load.p_vaddr);
            return true;
        });
    };
    std::uint64_t strings = 0;
    if (!needed.empty() && !in_file(strtab, strings)) return file + ": its string table lies outside the file";
    for (const std::uint64_t name : needed) {
        std::string text;
        if (!string_at(bytes, strings + name, text)) return file + ": a needed library's name lies outside the file";
        links.needed.push_back(text);
    }
    return "";
}

std::vector<std::string> library_names_in(const std::string& bytes) {
    std::vector<std::string> names;
    // Each string ends in a NUL; what comes before it may be any byte, so
    // a name is the printable run just before a NUL.
    for (std::size_t end = bytes.find('\0'); end != std::string::npos; end = bytes.find('\0', end + 1)) {
        std::size_t start = end;
        while (start > 0 && std::isgraph(static_cast<unsigned char>(bytes[start - 1]))) --start;
        if (end - start < 7 || bytes.compare(start, 3, "lib") != 0) continue;
        std::string text = bytes.substr(start, end - start);
        if (is_library_name(text) && std::find(names.begin(), names.end(), text) == names.end()) names.push_back(std::move(text));
    }
    return names;
}
