// Runs build/bin/data_qz as a child with its standard error in a file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct QzRun {
    int status = -1;   // exit status, or -1 when it did not exit by itself
    std::string err;   // all it wrote to standard error
};

class QzChild {
public:
    // stdin_path: a file for standard input; or "" to feed stdin_data through a pipe that is held
    // open for hold_ms after the data, then closed.
    QzChild(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& stdin_path, const std::string& stdin_data = "", int hold_ms = 0);
    ~QzChild();
    bool exited();                 // true once the child has ended (non-blocking)
    QzRun wait(int limit_ms = 120000);  // kills the child after limit_ms
    QzRun kill_and_wait();
    static std::string program();  // the data_qz under test

private:
    QzRun collect();
    pid_t pid_ = -1;
    int wstatus_ = 0;
    bool done_ = false;
    std::string dir_, err_path_;
};

QzRun RunQz(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
            const std::string& stdin_path = "/dev/null");

// A private temporary directory, removed with its files at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string write(const std::string& name, const std::string& data) const;

private:
    std::string dir_;
};
