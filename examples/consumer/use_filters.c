/* Opens the filter plug-in by its plain name, as the acquisition engine does. */
#include <dlfcn.h>
#include <stdio.h>

#include "check.h"

int main(void) {
    void *plugin = dlopen("libktfilters.so", RTLD_NOW | RTLD_LOCAL);
    if (plugin == NULL) {
        fprintf(stderr, "%s\n", dlerror());
    }
    CHECK(plugin != NULL);
    CHECK(dlsym(plugin, "kt_output_filter") != NULL);
    CHECK(dlsym(plugin, "kt_R507_datalogger_filter") != NULL);
    CHECK(dlclose(plugin) == 0);
    puts("use-filters: plug-in opened, both filters found");
    return 0;
}
