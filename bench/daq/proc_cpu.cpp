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

// voluntary_ctxt_switches + nonvoluntary_ctxt_switches of a task's status file.
bool switches_of(const std::string &task, int64_t *count) {
    FILE *f = fopen((task + "/status").c_str(), "r");
    if (f == nullptr) {
        return false;
    }
    char line[256];
    int found = 0;
    int64_t sum = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        long long value = 0;
        if (sscanf(line, "voluntary_ctxt_switches: %lld", &value) == 1 ||
            sscanf(line, "nonvoluntary_ctxt_switches: %lld", &value) == 1) {
            sum += value;
            ++found;
        }
    }
    fclose(f);
    *count = sum;
    return found == 2;
}

// The sum of `of` over the tasks of `pid` that can be read; -1 without the task folder.
template <typename Of>
int64_t sum_over_tasks(pid_t pid, Of of) {
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
        // A thread that ended meanwhile simply adds nothing.
        if (of(dir + "/" + entry->d_name, &value)) {
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
    return sum_over_tasks(pid, switches_of);
}

}  // namespace ktbench
