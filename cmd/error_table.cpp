// Messages of the command result codes.
#include "kt_cmd.h"

const kt_cmd_error cmd_error_table[KT_CMD_ERROR_COUNT] = {
    {-64, "no error"},
    {-1, "message buffer overflow"},
    {-2, "tcp command server port buffer is lacked"},
    {-3, "id=-1: message need ID number, ID format is error; or ID too long"},
    {-4, "message command is too long"},
    {-5, "message format is error"},
    {-6, "unsupport command"},
    {-9, "this command need long time,task is running"},
    {-10, "test time out"},
    {-14, "command only support asiic"},
    {-62, "confirm some request"},
    {-224, "message execute failed"},
    {0, ""},
    {-190, "not have this command"},
    {-193, "param length error"},
};
