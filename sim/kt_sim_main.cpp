// kt-sim: runs a command inside the simulated instrument, with the simulated stream
// engine filling the ring of a simulated UIO stream device.
#include <getopt.h>
#include <link.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "namespaces.h"
#include "sim_device.h"
#include "sim_engine.h"

namespace {

void usage(FILE *out) {
    fprintf(
        out,
        "usage: kt-sim [OPTIONS] -- COMMAND [ARG...]\n"
        "Runs COMMAND with a simulated stream device and engine. The device path is\n"
        "given to COMMAND in KT_SIM_DEVICE, and every argument \"{device}\" is replaced\n"
        "by it.\n"
        "  --sources M:C[,M:C...]  frame sources in turn (default 1:1)\n"
        "  --payload N[,N...]      payload lengths in turn, 0..2028 (default 64)\n"
        "  --frames N              frames to write, 0 for no end (default 0)\n"
        "  --rate R                frames per second, 0 for as fast as possible (default 1000)\n"
        "  --ring-capacity BYTES   largest ring the device accepts (default 4194304)\n"
        "  --high-bits             set the ignored upper bits of the channel byte\n"
        "  --waveform W[,W...]     payload samples of a signal instead of the check pattern,\n"
        "                          one W for every source of --sources in turn, or one for\n"
        "                          all: sine:HZ, square:HZ, ramp (one rise per frame),\n"
        "                          ramp:HZ, noise; each source's signal runs on across its\n"
        "                          frames, a frame lasting 1/(its source's frame rate) s\n"
        "                          (the stream counted at 1000 frames/s with --rate 0)\n"
        "  --sample-format F       i16le (default), i32le, f32le or u8 (128 is zero)\n"
        "  --amplitude A           peak value in sample units (default: half the format's\n"
        "                          range; 1 for f32le)\n"
        "  --shim PATH             hand-over library to preload (default: the built one)\n");
}

bool parse_u64(const char *text, uint64_t max, uint64_t *out) {
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > max || text[0] == '-') {
        return false;
    }
    *out = v;
    return true;
}

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos - start));
        if (pos == std::string::npos) {
            return parts;
        }
        start = pos + 1;
    }
}

bool parse_sources(const char *text, ktsim::EngineConfig *config) {
    config->sources.clear();
    for (const std::string &item : split(text, ',')) {
        const std::vector<std::string> mc = split(item, ':');
        uint64_t m = 0, c = 0;
        if (mc.size() != 2 || !parse_u64(mc[0].c_str(), 255, &m) ||
            !parse_u64(mc[1].c_str(), 15, &c)) {
            return false;
        }
        config->sources.emplace_back(static_cast<uint8_t>(m), static_cast<uint8_t>(c));
    }
    return true;
}

bool parse_payloads(const char *text, ktsim::EngineConfig *config) {
    config->payload_sizes.clear();
    for (const std::string &item : split(text, ',')) {
        uint64_t n = 0;
        if (!parse_u64(item.c_str(), 2028, &n)) {
            return false;
        }
        config->payload_sizes.push_back(static_cast<uint16_t>(n));
    }
    return true;
}

bool parse_waveforms(const char *text, ktsim::EngineConfig *config) {
    config->waveforms.clear();
    for (const std::string &item : split(text, ',')) {
        const auto wave = ktsim::parse_waveform(item);
        if (!wave) {
            return false;
        }
        config->waveforms.push_back(*wave);
    }
    return true;
}

bool parse_amplitude(const char *text, double *out) {
    char *end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v > 0)) {
        return false;
    }
    *out = v;
    return true;
}

std::string default_shim() {
    char exe[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        return {};
    }
    std::string dir(exe, static_cast<size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../lib/libktsim_shim.so";
}

// Sanitizer run-times must come first among preloaded libraries; a sanitizer build of
// kt-sim passes its own on ahead of the shim.
std::string sanitizer_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            const char *name = info->dlpi_name;
            if (name != nullptr && (std::strstr(name, "/libasan.so") != nullptr ||
                                    std::strstr(name, "/libtsan.so") != nullptr)) {
                *static_cast<std::string *>(data) = name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

int run_command(char **argv, const std::string &device, const std::string &shim) {
    std::vector<std::string> args;
    for (char **a = argv; *a != nullptr; ++a) {
        args.emplace_back(std::strcmp(*a, "{device}") == 0 ? device : *a);
    }
    const pid_t pid = fork();
    if (pid < 0) {
        perror("kt-sim: fork");
        return 1;
    }
    if (pid == 0) {
        std::vector<char *> cargs;
        for (std::string &s : args) {
            cargs.push_back(s.data());
        }
        cargs.push_back(nullptr);
        setenv("KT_SIM_DEVICE", device.c_str(), 1);
        const char *old = getenv("LD_PRELOAD");
        std::string preload = old && *old ? shim + ":" + old : shim;
        const std::string runtime = sanitizer_runtime();
        if (!runtime.empty()) {
            preload = runtime + ":" + preload;
        }
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execvp(cargs[0], cargs.data());
        fprintf(stderr, "kt-sim: cannot run %s: %s\n", cargs[0], strerror(errno));
        _exit(127);
    }
    // Ctrl-C reaches the command, which ends; kt-sim then stops the engine and reports.
    signal(SIGINT, SIG_IGN);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGINT ? 0 : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char **argv) {
    ktsim::EngineConfig config;
    config.rate = 1000;
    ktsim::DeviceConfig device_config;
    std::string shim = default_shim();
    static const option options[] = {{"sources", required_argument, nullptr, 's'},
                                     {"payload", required_argument, nullptr, 'p'},
                                     {"frames", required_argument, nullptr, 'n'},
                                     {"rate", required_argument, nullptr, 'r'},
                                     {"ring-capacity", required_argument, nullptr, 'c'},
                                     {"high-bits", no_argument, nullptr, 'b'},
                                     {"shim", required_argument, nullptr, 'S'},
                                     {"waveform", required_argument, nullptr, 'w'},
                                     {"sample-format", required_argument, nullptr, 'f'},
                                     {"amplitude", required_argument, nullptr, 'a'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "+h", options, nullptr)) != -1) {
        uint64_t v = 0;
        bool ok = true;
        switch (opt) {
            case 's':
                ok = parse_sources(optarg, &config);
                break;
            case 'p':
                ok = parse_payloads(optarg, &config);
                break;
            case 'n':
                ok = parse_u64(optarg, UINT64_MAX, &config.frames);
                break;
            case 'r':
                ok = parse_u64(optarg, 100000000, &v);
                config.rate = static_cast<double>(v);
                break;
            case 'c':
                ok = parse_u64(optarg, 0x40000000, &v);
                device_config.ring_capacity = static_cast<uint32_t>(v);
                break;
            case 'b':
                config.high_bits = true;
                break;
            case 'S':
                shim = optarg;
                break;
            case 'w':
                ok = parse_waveforms(optarg, &config);
                break;
            case 'f':
                if (const auto format = ktsim::parse_sample_format(optarg)) {
                    config.sample_format = *format;
                } else {
                    ok = false;
                }
                break;
            case 'a':
                ok = parse_amplitude(optarg, &config.amplitude);
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
        if (!ok) {
            for (const option *o = options; o->name != nullptr; ++o) {
                if (o->val == opt) {
                    fprintf(stderr, "kt-sim: bad value for --%s: %s\n", o->name, optarg);
                }
            }
            return 2;
        }
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }
    if (config.waveforms.size() > 1 && config.waveforms.size() != config.sources.size()) {
        fprintf(stderr, "kt-sim: %zu waveforms for %zu sources: give one, or one per source\n",
                config.waveforms.size(), config.sources.size());
        return 2;
    }
    if (config.amplitude > ktsim::max_amplitude(config.sample_format)) {
        fprintf(stderr, "kt-sim: amplitude %g beyond the sample format's %g\n", config.amplitude,
                ktsim::max_amplitude(config.sample_format));
        return 2;
    }
    if (access(shim.c_str(), R_OK) != 0) {
        fprintf(stderr, "kt-sim: hand-over library %s not found (give --shim)\n", shim.c_str());
        return 1;
    }
    const std::string why = ktsim::enter_private_namespaces();
    if (!why.empty()) {
        fprintf(stderr, "kt-sim: cannot create private namespaces: %s\n", why.c_str());
        return 1;
    }
    try {
        ktsim::Device device(device_config);
        ktsim::Engine engine(device, config);
        engine.start();
        fprintf(stderr, "kt-sim: stream device %s, ring up to %u bytes, engine running\n",
                device.path().c_str(), device.max_ring());
        const int status = run_command(argv + optind, device.path(), shim);
        const ktsim::EngineStats stats = engine.stats();
        engine.stop();
        fprintf(stderr,
                "kt-sim: engine wrote %llu frames, held back %llu for a full ring, restarted %u "
                "times\n",
                static_cast<unsigned long long>(stats.frames_written),
                static_cast<unsigned long long>(stats.frames_held_back), stats.restarts);
        return status;
    } catch (const std::exception &e) {
        fprintf(stderr, "kt-sim: %s\n", e.what());
        return 1;
    }
}
