/* Decodes a command line and builds its acknowledgement with libktcmd. */
#include <string.h>

#include <kt_cmd.h>

#include "check.h"

int main(void) {
    char line[] = "[17]get status(1, 2)";
    kt_cmd cmd = kt_cmd_decode(line);
    CHECK(cmd.code == 0);
    CHECK(strcmp(cmd.id, "17") == 0);
    CHECK(strcmp(cmd.command, "get status") == 0);
    CHECK(strcmp(cmd.args, "1,2") == 0);

    CHECK(kt_cmd_call_result(&cmd, "Doneready", 9) == 0);
    CHECK(cmd.reply != NULL);
    CHECK(cmd.reply_len > 2);
    CHECK(strncmp(cmd.reply, "[17]", 4) == 0);
    CHECK(strstr(cmd.reply, "ready") != NULL);
    CHECK(memcmp(cmd.reply + cmd.reply_len - 2, "\r\n", 2) == 0);
    CHECK(kt_cmd_destroy_result(&cmd) == 0);
    CHECK(cmd.reply == NULL);
    CHECK(cmd_error_table[0].code == 0);
    puts("use-cmd: command decoded, reply built");
    return 0;
}
