#pragma once

// Runs a program as a child process with a chosen environment and collects its output.

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, or 128 + signal number
};

// Runs argv[0] with the given arguments. `env` replaces the environment except PATH; a value
// of nullptr-equivalent is expressed by leaving the name out. Gives up after `timeoutSec`.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, double timeoutSec = 30);

// Directory of the running test binary (the build's test folder).
std::string SelfDir();

}  // namespace testsupport
