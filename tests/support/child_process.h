// Programs of this tree run as processes of their own, for the tests that show what a user of
// them sees: their output, their exit status, what they leave behind.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The whole of a file, or "" when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts `program` with `args`, its standard output and error going to the files `out` and
// `err`; `before_exec` runs in the child first (environment, signal mask). The child's pid.
template <typename Prepare>
pid_t spawn_program(const char* program, const std::vector<std::string>& args, const std::string& out,
                    const std::string& err, Prepare before_exec) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(err.c_str(), "w", stderr);
        before_exec();
        std::vector<char*> argv{const_cast<char*>(program)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

inline pid_t spawn_program(const char* program, const std::vector<std::string>& args, const std::string& out,
                           const std::string& err) {
    return spawn_program(program, args, out, err, [] {});
}
