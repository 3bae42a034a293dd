/* Calls libkti2c without a bus: every refusal must come back as an error code. */
#include <stdint.h>

#include <kt_i2c.h>

#include "check.h"

int main(void) {
    CHECK(kt_i2c_open("/nonexistent/i2c-0") < 0);
    uint8_t data[2] = {0x00, 0x10};
    CHECK(kt_i2c_write(-1, 0x50, data, 2) < 0);
    CHECK(kt_i2c_read(-1, 0x50, data, 2) < 0);
    CHECK(kt_i2c_rdwr(-1, 0x50, data, 2, data, 2) < 0);
    puts("use-i2c: calls without a bus refused");
    return 0;
}
