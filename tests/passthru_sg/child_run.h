#pragma once
// Runs a built program in a process of its own: arguments, environment changes, standard input
// that is at end of file at once or gets ENTER after a delay, and what it printed.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sg_test {

struct ChildRun {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1: killed at the deadline (or did not exit normally)
};

// `env` entries are set in the child; an empty optional removes the variable. With `enter_after`,
// standard input is a pipe that gets "\n" after that long (and is closed once the child has
// exited); without it, standard input is at end of file from the start.
ChildRun run_child(const std::vector<std::string> &argv, const std::map<std::string, std::optional<std::string>> &env,
                   std::optional<std::chrono::milliseconds> enter_after, std::chrono::seconds deadline);

}  // namespace sg_test
