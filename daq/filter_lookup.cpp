#include "internal.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdio>

namespace ktdaq {
namespace {

// Whether `symbol` is a function defined in the object `own`.
bool defined_by(const link_map *own, void *symbol) {
    Dl_info info{};
    link_map *where = nullptr;
    if (own == nullptr ||
        dladdr1(symbol, &info, reinterpret_cast<void **>(&where), RTLD_DL_LINKMAP) == 0 ||
        where != own) {
        return false;
    }
    void *found = nullptr;
    if (dladdr1(symbol, &info, &found, RTLD_DL_SYMENT) == 0 || found == nullptr ||
        info.dli_saddr != symbol) {
        return false;
    }
    const auto *entry = static_cast<const ElfW(Sym) *>(found);
    const unsigned type = ELF32_ST_TYPE(entry->st_info);  // same bits in both classes
    return type == STT_FUNC || type == STT_GNU_IFUNC;
}

}  // namespace

kt_filter_fn find_filter(void *handle, const char *name, char *error, size_t size) noexcept {
    dlerror();
    void *symbol = dlsym(handle, name);
    if (const char *text = dlerror()) {
        snprintf(error, size, "%s", text);
        return nullptr;
    }
    link_map *own = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0) {
        own = nullptr;
    }
    if (symbol == nullptr || !defined_by(own, symbol)) {
        // dlsym also finds what the plug-in's own libraries define; those are no filters.
        snprintf(error, size, "%s: undefined symbol: %s",
                 own != nullptr && own->l_name[0] != '\0' ? own->l_name : "libktfilters.so", name);
        return nullptr;
    }
    return reinterpret_cast<kt_filter_fn>(symbol);
}

}  // namespace ktdaq
