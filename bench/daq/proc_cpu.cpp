#include "proc_cpu.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace ktbench {
namespace {

// Time on the CPU in nanoseconds: the first field of schedstat.
bool schedstat_ns(const std::string &task, int64_t *ns) {
    FILE *f = fopen((task + "/schedstat").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    long long value = 0;
    const bool ok = fscanf(f, "%lld", &value) == 1;
    fclose(f);
    *ns = value;
    return ok;
}

// utime + stime (fields 14 and 15 of stat, in clock ticks), in nanoseconds. The command
// name in field 2 may hold spaces and parentheses, so fields are counted from its end.
bool stat_ns(const std::string &task, int64_t *ns) {
    FILE *f = fopen((task + "/stat").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    char line[1024] = {};
    const size_t n = fread(line, 1, sizeof line - 1, f);
    fclose(f);
    line[n] = '\0';
    const char *rest = strrchr(line, ')');
    unsigned long long utime = 0, stime = 0;
    // After ")": state (3), then fields 4 to 13, then utime (14) and stime (15).
    if (rest == nullptr ||
        sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
               &stime) != 2) {
        return false;
    }
    *ns = static_cast<int64_t>((utime + stime) * (1000000000ull / sysconf(_SC_CLK_TCK)));
    return true;
}

bool status_switches(const std::string &task, int64_t *switches) {
    FILE *f = fopen((task + "/status").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    char text[4096] = {};
    const size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    *switches = context_switches_in_status(text);
    return *switches >= 0;
}

// The sum of `per_task` over the threads of `pid`; -1 when its task folder cannot be read.
// A thread that ended meanwhile simply adds nothing.
template <class PerTask>
int64_t sum_over_tasks(pid_t pid, PerTask per_task) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(dir.c_str());
    if (tasks == nullptr) {
        return -1;
    }
    int64_t total = 0;
    while (const dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        int64_t value = 0;
        if (per_task(dir + "/" + entry->d_name, &value)) {
            total += value;
        }
    }
    closedir(tasks);
    return total;
}

}  // namespace

int64_t process_cpu_ns(pid_t pid) {
    return sum_over_tasks(pid, [](const std::string &task, int64_t *ns) {
        return schedstat_ns(task, ns) || stat_ns(task, ns);
    });
}

int64_t process_context_switches(pid_t pid) {
    return sum_over_tasks(pid, status_switches);
}

int64_t context_switches_in_status(const char *status) {
    long long voluntary = -1, involuntary = -1;
    for (const char *line = status; line != nullptr && *line != '\0';) {
        long long value = 0;
        if (sscanf(line, "voluntary_ctxt_switches: %lld", &value) == 1) {
            voluntary = value;
        } else if (sscanf(line, "nonvoluntary_ctxt_switches: %lld", &value) == 1) {
            involuntary = value;
        }
        line = strchr(line, '\n');
        if (line != nullptr) {
            ++line;
        }
    }
    return voluntary < 0 || involuntary < 0 ? -1 : voluntary + involuntary;
}

}  // namespace ktbench
