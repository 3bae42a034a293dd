#include "filter_plugin.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace ktchannel {
namespace {

bool is_function(unsigned char info) {
    const unsigned type = ELF32_ST_TYPE(info);  // same bits in both classes
    return type == STT_FUNC || type == STT_GNU_IFUNC;
}

// The names of the functions that the ELF image `file` of `size` bytes defines in its
// dynamic symbol table, global or weak and visible.
std::vector<std::string> defined_functions(const unsigned char *file, size_t size) {
    std::vector<std::string> names;
    const auto *header = reinterpret_cast<const ElfW(Ehdr) *>(file);
    if (size < sizeof *header || memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        header->e_shoff == 0 || header->e_shoff + header->e_shnum * sizeof(ElfW(Shdr)) > size) {
        return names;
    }
    const auto *sections = reinterpret_cast<const ElfW(Shdr) *>(file + header->e_shoff);
    for (unsigned i = 0; i < header->e_shnum; ++i) {
        const ElfW(Shdr) &table = sections[i];
        if (table.sh_type != SHT_DYNSYM || table.sh_link >= header->e_shnum ||
            table.sh_entsize != sizeof(ElfW(Sym)) || table.sh_offset + table.sh_size > size) {
            continue;
        }
        const ElfW(Shdr) &strings = sections[table.sh_link];
        if (strings.sh_offset + strings.sh_size > size) {
            continue;
        }
        const auto *symbols = reinterpret_cast<const ElfW(Sym) *>(file + table.sh_offset);
        const char *text = reinterpret_cast<const char *>(file + strings.sh_offset);
        for (size_t s = 0; s < table.sh_size / sizeof(ElfW(Sym)); ++s) {
            const ElfW(Sym) &sym = symbols[s];
            const unsigned bind = ELF32_ST_BIND(sym.st_info);
            if (sym.st_shndx != SHN_UNDEF && is_function(sym.st_info) &&
                (bind == STB_GLOBAL || bind == STB_WEAK) &&
                ELF32_ST_VISIBILITY(sym.st_other) == STV_DEFAULT && sym.st_name < strings.sh_size &&
                memchr(text + sym.st_name, '\0', strings.sh_size - sym.st_name) != nullptr) {
                names.emplace_back(text + sym.st_name);
            }
        }
    }
    return names;
}

}  // namespace

FilterPlugin::FilterPlugin() {
    // The device opens it so, and runs no function of it before a frame arrives.
    handle_ = dlopen(kPluginName, RTLD_LAZY);
    if (handle_ == nullptr) {
        const char *text = dlerror();
        error_ = text != nullptr ? text : kPluginName;
    }
}

FilterPlugin::~FilterPlugin() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

bool FilterPlugin::is_filter(const std::string &name) const {
    if (handle_ == nullptr) {
        return false;
    }
    // The device's lookup: dlsym, then only a function of the plug-in's own object counts,
    // since dlsym also finds what the libraries it uses define.
    dlerror();
    void *symbol = dlsym(handle_, name.c_str());
    link_map *own = nullptr;
    if (dlerror() != nullptr || symbol == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &own) != 0) {
        return false;
    }
    Dl_info info{};
    link_map *where = nullptr;
    void *entry = nullptr;
    return dladdr1(symbol, &info, reinterpret_cast<void **>(&where), RTLD_DL_LINKMAP) != 0 &&
           where == own && dladdr1(symbol, &info, &entry, RTLD_DL_SYMENT) != 0 &&
           entry != nullptr && info.dli_saddr == symbol &&
           is_function(static_cast<const ElfW(Sym) *>(entry)->st_info);
}

std::vector<std::string> FilterPlugin::filters() const {
    std::vector<std::string> names;
    link_map *own = nullptr;
    if (handle_ == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &own) != 0) {
        return names;
    }
    // The dynamic symbol table of the file the loader mapped, read from its section
    // headers: every function it exports, whatever its name.
    const int fd = open(own->l_name, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return names;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void *file = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (file == MAP_FAILED) {
        return names;
    }
    for (std::string &name : defined_functions(static_cast<const unsigned char *>(file), size)) {
        if (is_filter(name)) {  // exactly what the device would take
            names.push_back(std::move(name));
        }
    }
    munmap(file, size);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

}  // namespace ktchannel
