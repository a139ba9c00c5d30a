#include "tests/passthru_sg/child_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace sg_test {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const std::map<std::string, std::optional<std::string>> &env, int in, int out, int err) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto &[name, value] : env) {
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
    }
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

ChildRun run_child(const std::vector<std::string> &argv, const std::map<std::string, std::optional<std::string>> &env,
                   std::optional<std::chrono::milliseconds> enter_after, std::chrono::seconds deadline) {
    ChildRun run;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return run;
    signal(SIGPIPE, SIG_IGN);
    const pid_t pid = fork();
    if (pid == 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        exec_child(argv, env, in[0], out[1], err[1]);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!enter_after) {
        close(in[1]);
        in[1] = -1;
    }
    const auto start = Clock::now();
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        const auto now = Clock::now();
        if (now - start > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (in[1] >= 0 && now - start >= *enter_after) {
            (void)!write(in[1], "\n", 1);
            close(in[1]);  // ENTER, then end of file
            in[1] = -1;
        }
        pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
        poll(fds, 2, 50);
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
            else (i == 0 ? out_open : err_open) = false;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace sg_test
