// Gives the entry points of the renderer double their decorated names after linking.
//
// The linker reads '@' in a symbol name as a version separator, so the double is linked with
// placeholders of the same length ("_G_CreatePanoRender_20") and a SysV hash table only. This
// tool rewrites each placeholder in the dynamic string table to its decorated name
// ("_G_CreatePanoRender@20") and rebuilds the hash table, whose chains depend on the names.
//
// Usage: pano_double_rename <shared object>   (edited in place)

#include <cctype>
#include <cstdio>

#include "support/sdk_elf.h"

namespace {

uint32_t ElfHash(const char* name) {
    uint32_t h = 0;
    for (; *name != '\0'; ++name) {
        h = (h << 4) + static_cast<unsigned char>(*name);
        const uint32_t g = h & 0xF0000000u;
        if (g != 0)
            h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

// "_G_<name>_<digits>" -> position of the last '_', else npos.
size_t PlaceholderSeparator(const std::string& name) {
    if (name.rfind("_G_", 0) != 0)
        return std::string::npos;
    const size_t separator = name.rfind('_');
    if (separator <= 2 || separator + 1 >= name.size())
        return std::string::npos;
    for (size_t i = separator + 1; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return std::string::npos;
    }
    return separator;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <shared object>\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> image;
    if (!sdk_elf::ReadFile(argv[1], &image)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<Elf64_Shdr> sections = sdk_elf::Sections(image);
    const int dynsym = sdk_elf::FindSection(sections, SHT_DYNSYM);
    const int hash = sdk_elf::FindSection(sections, SHT_HASH);
    if (dynsym < 0 || hash < 0 || sdk_elf::FindSection(sections, SHT_GNU_HASH) >= 0) {
        std::fprintf(stderr, "%s: needs a dynamic symbol table and only a SysV hash table\n",
                     argv[1]);
        return 1;
    }
    const Elf64_Shdr& symbols = sections[dynsym];
    const Elf64_Shdr& strings = sections[symbols.sh_link];
    const size_t count = symbols.sh_size / sizeof(Elf64_Sym);
    auto nameAt = [&](size_t index) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, image.data() + symbols.sh_offset + index * sizeof(Elf64_Sym),
                    sizeof(symbol));
        return reinterpret_cast<char*>(image.data() + strings.sh_offset + symbol.st_name);
    };

    int renamed = 0;
    for (size_t i = 1; i < count; ++i) {
        char* name = nameAt(i);
        const size_t separator = PlaceholderSeparator(name);
        if (separator != std::string::npos) {
            name[separator] = '@';
            ++renamed;
        }
    }

    uint8_t* table = image.data() + sections[hash].sh_offset;
    uint32_t nbucket = 0, nchain = 0;
    std::memcpy(&nbucket, table, 4);
    std::memcpy(&nchain, table + 4, 4);
    if (nbucket == 0 || nchain != count ||
        (2 + uint64_t{nbucket} + nchain) * 4 > sections[hash].sh_size) {
        std::fprintf(stderr, "%s: unexpected hash table\n", argv[1]);
        return 1;
    }
    std::vector<uint32_t> buckets(nbucket, 0), chains(nchain, 0);
    for (size_t i = 1; i < count; ++i) {
        const uint32_t bucket = ElfHash(nameAt(i)) % nbucket;
        chains[i] = buckets[bucket];
        buckets[bucket] = static_cast<uint32_t>(i);
    }
    std::memcpy(table + 8, buckets.data(), nbucket * 4);
    std::memcpy(table + 8 + nbucket * 4, chains.data(), nchain * 4);

    if (!sdk_elf::WriteFile(argv[1], image)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %d entry points renamed\n", argv[1], renamed);
    return renamed > 0 ? 0 : 1;
}
