// Runs a program of the benchmarks' own and measures it: one place for the
// fork, exec and wait that both memory comparisons need.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// Runs args (args[0] is looked for on PATH unless it holds a "/") with its
// standard output thrown away, waits for it, and returns its exit status
// with *maxResidentKiB set to its peak resident set; -1 when it could not
// be started or did not exit.
inline int ChildRun(const std::vector<std::string> &args, long *maxResidentKiB) {
    *maxResidentKiB = 0;
    pid_t child = fork();
    if (child == 0) {
        std::vector<char *> argv;
        for (const std::string &arg : args) {
            argv.push_back(const_cast<char *>(arg.c_str()));
        }
        argv.push_back(nullptr);
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0) {
            _exit(126);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status)) {
        return -1;
    }
    *maxResidentKiB = usage.ru_maxrss;
    return WEXITSTATUS(status);
}
