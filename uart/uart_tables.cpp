// The rate tables: rows 8 to 15 repeat rows 0 to 7.
#include "kt_uart.h"

const int speed_arr[16] = {B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300,
                           B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300};
const int name_arr[16] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300,
                          115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
