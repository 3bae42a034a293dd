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

    /* A line without an ID is refused; the reply carries the table's message. */
    char bad[] = "status()";
    kt_cmd refused = kt_cmd_decode(bad);
    CHECK(refused.code == -5);
    const char *message = NULL;
    for (int i = 0; i < KT_CMD_ERROR_COUNT; i++) {
        if (cmd_error_table[i].code == refused.code) {
            message = cmd_error_table[i].message;
        }
    }
    CHECK(message != NULL);
    CHECK(kt_cmd_call_result(&refused, "", 0) == 0);
    CHECK(refused.reply != NULL);
    CHECK(strstr(refused.reply, message) != NULL);
    CHECK(kt_cmd_destroy_result(&refused) == 0);
    puts("use-cmd: command decoded, reply built");
    return 0;
}
