/* Calls libktaxis without a stream device: opening fails cleanly. */
#include <stddef.h>

#include <kt_axis.h>

#include "check.h"

int main(void) {
    CHECK(kt_axis_init("/nonexistent/axis0", 1u << 20) == NULL);
    kt_axis_exit(NULL);
    puts("\nuse-axis: missing device refused");
    return 0;
}
