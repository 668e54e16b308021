// brannick against `pkcs11-tool --init-token`: the same SoftHSM2 token initialised again and
// again with the same label and SO PIN, each a whole process, side by side in one run, in
// alternating order. brannick gets the SO PIN on its standard input, as tessaly gives it.
//
//   bench_brannick [rounds, default 15]

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"

extern char** environ;

namespace {

using bench::ExeDir;
using bench::Median;

const char kSOPIN[] = "12345678";
const char kLabel[] = "bench";

using bench::Clock;

std::string Output(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        text.append(buf, n);
    if (pclose(pipe) != 0)
        throw std::runtime_error("failed: " + command + "\n" + text);
    return text;
}

struct TTimes {
    double wall;
    double cpu;  // user and system time of the process
};

// Runs the program (found on PATH) with input on its standard input and its output discarded;
// the times of the whole process. Throws unless it ends with status 0.
TTimes Timed(const std::vector<std::string>& args, const std::string& input)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    const Clock::time_point start = Clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (rc != 0) {
        close(fds[1]);
        throw std::runtime_error("cannot start " + args[0]);
    }
    if (!input.empty() && write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        perror("write");
    close(fds[1]);
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(args[0] + " failed with status " + std::to_string(status));
    const auto toSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds, toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime)};
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? atoi(argv[1]) : 15;
    if (rounds < 1) {
        fprintf(stderr, "usage: %s [rounds]\n", argv[0]);
        return 2;
    }
    char dirTemplate[] = "/tmp/bench_brannick_XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) {
        perror("mkdtemp");
        return 1;
    }
    const std::string store = dir;
    int result = 0;
    try {
        const std::string conf = store + "/softhsm2.conf";
        Output("mkdir -p '" + store + "/tokens' && printf 'directories.tokendir = %s/tokens\\nobjectstore.backend = file\\n"
               "log.level = ERROR\\n' '" + store + "' > '" + conf + "'");
        setenv("SOFTHSM2_CONF", conf.c_str(), 1);
        const char* module = getenv("SOFTHSM2_MODULE");
        const std::string modulePath = module && *module ? module : "/usr/lib/softhsm/libsofthsm2.so";
        // softhsm2-util and pkcs11-tool must not get a sanitizer runtime preloaded.
        unsetenv("LD_PRELOAD");
        Output(std::string("softhsm2-util --init-token --free --label ") + kLabel + " --so-pin " + kSOPIN +
               " --pin 1234 >/dev/null");
        // Initialising an initialised token keeps its serial, so its slot stays.
        const std::string slots = Output("softhsm2-util --show-slots");
        const size_t at = slots.find("Slot ");
        const std::string slot = slots.substr(at + 5, slots.find('\n', at) - at - 5);
        const std::string brannick = ExeDir() + "/brannick";
        const std::string input = std::string(kSOPIN) + "\n";
        const std::vector<std::string> ours = {brannick, modulePath, slot, "-", kLabel};
        const std::vector<std::string> theirs = {"pkcs11-tool", "--module", modulePath, "--init-token", "--slot", slot,
                                                 "--so-pin", kSOPIN, "--label", kLabel};

        Timed(ours, input);
        Timed(theirs, std::string());
        std::vector<double> wallA, wallB, cpuA, cpuB;
        const auto add = [](const TTimes& t, std::vector<double>& wall, std::vector<double>& cpu) {
            wall.push_back(t.wall);
            cpu.push_back(t.cpu);
        };
        for (int i = 0; i < rounds; ++i) {
            if (i % 2 == 0) {
                add(Timed(ours, input), wallA, cpuA);
                add(Timed(theirs, std::string()), wallB, cpuB);
            } else {
                add(Timed(theirs, std::string()), wallB, cpuB);
                add(Timed(ours, input), wallA, cpuA);
            }
        }
        printf("median of %d rounds, wall time: brannick %.4f s, pkcs11-tool --init-token %.4f s\n", rounds,
               Median(wallA), Median(wallB));
        printf("median of %d rounds, CPU time:  brannick %.4f s, pkcs11-tool --init-token %.4f s\n", rounds,
               Median(cpuA), Median(cpuB));
        printf("brannick / pkcs11-tool = %.2f wall, %.2f CPU (goal <= 1.2)\n", Median(wallA) / Median(wallB),
               Median(cpuA) / Median(cpuB));
#if defined(__SANITIZE_ADDRESS__)
        printf("(a sanitizer build: brannick carries the sanitizer runtime, the figures say little)\n");
#endif
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_brannick: %s\n", e.what());
        result = 1;
    }
    if (std::system(("rm -rf '" + store + "'").c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", store.c_str());
    return result;
}
