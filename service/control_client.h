// The command side of the control channel: `tarvik status [--json]`,
// `tarvik forget NAME` and `tarvik reload`, run by an administrator while
// the service runs.
#pragma once

#include <string>

// True when `command` is one of the three.
bool is_control_command(const char* command);

// Runs the command (argv[0]) with its arguments: sends the request, prints
// the answer to standard output and returns 0, or prints one line saying
// why to standard error and returns 1 (refused, failed, or the service
// cannot be reached). Returns -1, printing nothing, when the arguments do
// not fit the command: the caller prints the usage.
int run_control_command(int argc, char** argv);

// The layout of a status answer (the records of control.h), for people or
// as JSON; false when `answer` is not a whole status answer. Apart from the
// channel, for tests.
bool format_status(const std::string& answer, bool json, std::string* out);
