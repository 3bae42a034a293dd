/* Checks of the consumer programs: a failed one prints what failed and ends the program. */
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            exit(1);                                                                 \
        }                                                                            \
    } while (0)
