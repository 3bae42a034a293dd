// Messages of the command result codes.
#include "internal.h"

using namespace ktcmd;

const kt_cmd_error cmd_error_table[KT_CMD_ERROR_COUNT] = {
    {kNoErrorAlt, "no error"},
    {kErrOverflow, "message buffer overflow"},
    {kErrNoMemory, "tcp command server port buffer is lacked"},
    {kErrIdFormat, "id=-1: message need ID number, ID format is error; or ID too long"},
    {kErrTooLong, "message command is too long"},
    {kErrFormat, "message format is error"},
    {kErrUnsupported, "unsupport command"},
    {kErrBusy, "this command need long time,task is running"},
    {kErrTimeout, "test time out"},
    {kErrNotAscii, "command only support asiic"},
    {kErrConfirm, "confirm some request"},
    {kErrExecFailed, "message execute failed"},
    {kNoError, ""},
    {kErrNoCommand, "not have this command"},
    {kErrParamLength, "param length error"},
};
