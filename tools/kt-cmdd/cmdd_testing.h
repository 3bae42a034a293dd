// Helpers of the command server tests: reading reply lines, starting the program.
#ifndef KT_CMDD_TESTING_H
#define KT_CMDD_TESTING_H

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "reply_check.h"

namespace ktcmdd_test {

using Lines = std::vector<std::string>;

// Reads reply lines until `count` have arrived or the connection ends; `eof` tells which.
inline Lines read_lines(int fd, size_t count, bool *eof = nullptr) {
    Lines lines;
    std::string buf;
    char chunk[4096];
    bool ended = false;
    while (lines.size() < count) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ended = true;
            break;
        }
        buf.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = buf.find("\r\n")) != std::string::npos) {
            lines.push_back(ktcmd_test::normalise(buf.substr(0, end + 2)));
            buf.erase(0, end + 2);
        }
    }
    if (eof != nullptr) {
        *eof = ended || recv(fd, chunk, sizeof chunk, 0) == 0;
    }
    EXPECT_EQ(buf, "") << "bytes after the last reply line";
    return lines;
}

// The kt-cmdd program running in a child process (through the emulator on cross builds),
// with its standard output and standard error on pipes.
struct Program {
    pid_t pid = -1;
    FILE *out = nullptr;
    FILE *err = nullptr;
};

// Starts kt-cmdd with `args`; a non-zero `max_fds` limits its descriptors to that many.
inline Program start_program(const std::vector<std::string> &args, rlim_t max_fds = 0) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        return {};
    }
    const std::string emulator = KT_EMULATOR;
    std::vector<std::string> argv_text;
    if (!emulator.empty()) {
        argv_text.push_back(emulator);
    }
    argv_text.push_back(KT_CMDD_PATH);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        if (max_fds != 0) {
            const rlimit limit{max_fds, max_fds};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, fdopen(out[0], "r"), fdopen(err[0], "r")};
}

// Everything left on `stream`, which is closed then.
inline std::string read_rest(FILE *stream) {
    std::string text;
    char line[256];
    while (std::fgets(line, sizeof line, stream) != nullptr) {
        text += line;
    }
    fclose(stream);
    return text;
}

}  // namespace ktcmdd_test

#endif  // KT_CMDD_TESTING_H
