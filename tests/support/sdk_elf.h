#pragma once
// Just enough ELF64 reading for the tests: the dynamic symbol table of a shared object, and the
// sections a post-link rename needs. Bounds are checked against the file size throughout.

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sdk_elf {

inline bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

inline bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// Section headers of an ELF64 little-endian image; empty when the image is not one.
inline std::vector<Elf64_Shdr> Sections(const std::vector<uint8_t>& image) {
    std::vector<Elf64_Shdr> sections;
    if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
        image[EI_CLASS] != ELFCLASS64 || image[EI_DATA] != ELFDATA2LSB) {
        return sections;
    }
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof(header));
    if (header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shoff + uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > image.size()) {
        return sections;
    }
    sections.resize(header.e_shnum);
    std::memcpy(sections.data(), image.data() + header.e_shoff,
                header.e_shnum * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_NOBITS && section.sh_offset + section.sh_size > image.size()) {
            sections.clear();
            break;
        }
    }
    return sections;
}

// Index of the first section of `type`, or -1.
inline int FindSection(const std::vector<Elf64_Shdr>& sections, uint32_t type) {
    for (size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].sh_type == type)
            return static_cast<int>(i);
    }
    return -1;
}

struct DynamicSymbol {
    std::string name;
    bool defined = false;
    unsigned bind = 0;
    unsigned type = 0;
};

// Every entry of the dynamic symbol table after the null entry; false when there is none.
inline bool ListDynamicSymbols(const std::vector<uint8_t>& image, std::vector<DynamicSymbol>* out) {
    const std::vector<Elf64_Shdr> sections = Sections(image);
    const int dynsym = FindSection(sections, SHT_DYNSYM);
    if (dynsym < 0 || sections[dynsym].sh_link >= sections.size())
        return false;
    const Elf64_Shdr& symbols = sections[dynsym];
    const Elf64_Shdr& strings = sections[symbols.sh_link];
    const size_t count = symbols.sh_size / sizeof(Elf64_Sym);
    out->clear();
    for (size_t i = 1; i < count; ++i) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, image.data() + symbols.sh_offset + i * sizeof(Elf64_Sym),
                    sizeof(symbol));
        if (symbol.st_name >= strings.sh_size)
            return false;
        const char* name =
            reinterpret_cast<const char*>(image.data() + strings.sh_offset + symbol.st_name);
        DynamicSymbol entry;
        entry.name.assign(name, strnlen(name, strings.sh_size - symbol.st_name));
        entry.defined = symbol.st_shndx != SHN_UNDEF;
        entry.bind = ELF64_ST_BIND(symbol.st_info);
        entry.type = ELF64_ST_TYPE(symbol.st_info);
        out->push_back(entry);
    }
    return true;
}

}  // namespace sdk_elf
