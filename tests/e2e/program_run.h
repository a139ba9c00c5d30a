#pragma once
// Runs the built program as a user would, from a console or a script: its own process, arguments,
// environment, standard input that is at end of file or that gets ENTER later, and what it printed.

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProgramRun {
    std::string out;      // everything written to standard output
    std::string err;      // and to standard error
    int exit_status = -1; // -1: did not exit by itself (killed at the deadline)
    std::chrono::milliseconds after_enter{0};  // from ENTER to the exit
};

struct ProgramInput {
    // Empty: standard input is at end of file from the start. Otherwise ENTER is pressed once
    // standard output contains this text, `enter_delay` later.
    std::string enter_after;
    std::chrono::milliseconds enter_delay{0};
};

// The child's standard input, output and error; `controlling`, when not -1, a terminal that becomes
// its controlling terminal in a session of its own (a typed Ctrl+C is then its SIGINT).
struct ChildStreams {
    int in = -1;
    int out = -1;
    int err = -1;
    int controlling = -1;
};

// The one way the tests start a program: `command` is the program (and any launcher before it);
// `env` is added to this process's environment (a value of "\x01" removes the variable). The child
// gets `streams` as its 0, 1 and 2 and closes them under their own numbers; the caller's other
// descriptors must be close-on-exec. Returns the child's pid, -1 when it could not be started.
int start_program(const std::vector<std::string> &command, const std::map<std::string, std::string> &env,
                  const ChildStreams &streams);

// Runs `command` to its end (or `deadline`) with standard output and error on pipes.
ProgramRun run_program(const std::vector<std::string> &command, const std::map<std::string, std::string> &env,
                       const ProgramInput &input, std::chrono::seconds deadline);
