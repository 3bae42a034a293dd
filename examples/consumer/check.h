/* Checks of the consumer programs: a failed one prints what failed and ends the program. */
#ifndef CONSUMER_CHECK_H
#define CONSUMER_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            exit(1);                                                                 \
        }                                                                            \
    } while (0)

#endif /* CONSUMER_CHECK_H */
