#include "tests/e2e/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> merged_environment(const std::map<std::string, std::string> &extra) {
    std::map<std::string, std::string> all;
    for (char **e = environ; *e; ++e) {
        const char *eq = std::strchr(*e, '=');
        if (eq) all[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
    }
    for (const auto &[k, v] : extra) {
        if (v == "\x01")
            all.erase(k);
        else
            all[k] = v;
    }
    std::vector<std::string> out;
    for (const auto &[k, v] : all) out.push_back(k + "=" + v);
    return out;
}

std::vector<char *> c_strings(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (auto &s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

int start_program(const std::vector<std::string> &command, const std::map<std::string, std::string> &env,
                  const ChildStreams &streams) {
    // Everything the child needs is made before the fork: after it only async-signal-safe calls.
    std::vector<std::string> args = command, environment = merged_environment(env);
    std::vector<char *> argv = c_strings(args), envp = c_strings(environment);
    const pid_t pid = fork();
    if (pid == 0) {
        if (streams.controlling >= 0) {
            setsid();
            ioctl(streams.controlling, TIOCSCTTY, 0);
        }
        const int given[3] = {streams.in, streams.out, streams.err};
        for (int fd = 0; fd < 3; ++fd) dup2(given[fd], fd);
        for (int fd : {streams.in, streams.out, streams.err, streams.controlling})
            if (fd > 2) close(fd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

ProgramRun run_program(const std::vector<std::string> &command, const std::map<std::string, std::string> &env,
                       const ProgramInput &input, std::chrono::seconds deadline) {
    signal(SIGPIPE, SIG_IGN);  // ENTER may come after the program has already ended
    int in[2], out[2], err[2];
    // Close-on-exec: runs started side by side from several threads must not inherit each other's
    // pipes (dup2 below clears the flag on the child's own 0, 1 and 2).
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
    const pid_t pid = start_program(command, env, {in[0], out[1], err[1]});
    close(in[0]);
    close(out[1]);
    close(err[1]);
    int stdin_fd = in[1];
    if (input.enter_after.empty()) {
        close(stdin_fd);
        stdin_fd = -1;
    }

    ProgramRun run;
    const auto start = Clock::now();
    Clock::time_point enter_at{}, entered{}, exited{};
    int status = 0;
    bool running = true, out_open = true, err_open = true;
    // Until the program has exited (and a little after, for output still in the pipes; helpers a
    // launcher leaves behind may hold the pipes open longer).
    while ((running && Clock::now() - start < deadline) ||
           ((out_open || err_open) && Clock::now() - exited < std::chrono::milliseconds{200})) {
        if (running && waitpid(pid, &status, WNOHANG) == pid) {
            running = false;
            exited = Clock::now();
        }
        if (stdin_fd >= 0 && enter_at == Clock::time_point{} && run.out.find(input.enter_after) != std::string::npos)
            enter_at = Clock::now() + input.enter_delay;
        if (stdin_fd >= 0 && enter_at != Clock::time_point{} && Clock::now() >= enter_at) {
            (void)!write(stdin_fd, "\n", 1);
            entered = Clock::now();
            close(stdin_fd);  // the program reads one character; nothing more will come
            stdin_fd = -1;
        }
        pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, 5) <= 0) continue;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
            } else {
                (i == 0 ? out_open : err_open) = false;
            }
        }
    }
    if (running) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.exit_status = WEXITSTATUS(status);
    }
    if (entered != Clock::time_point{} && !running)
        run.after_enter = std::chrono::duration_cast<std::chrono::milliseconds>(exited - entered);
    if (stdin_fd >= 0) close(stdin_fd);
    close(out[0]);
    close(err[0]);
    return run;
}
