#pragma once

// Runs a program as a child process with its standard output and standard error collected, for
// tests that drive the built binaries. Waiting is by polling for a condition with a generous
// limit, never by assuming how fast the child is.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/wait_until.h"

namespace tb_test {

class ChildProcess {
  public:
    // Starts `program` with `args` (argv[0] is the program). The child's standard input is
    // /dev/null; its standard output and standard error go to one collected stream.
    ChildProcess(const std::string& program, const std::vector<std::string>& args) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            const int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, STDIN_FILENO);
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        readFd_ = fds[0];
        if (pid_ > 0) {
            reader_ = std::thread([this] { ReadAll(); });
        }
    }

    ~ChildProcess() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(30));
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (readFd_ >= 0) {
            close(readFd_);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    void Signal(int sig) {
        if (pid_ > 0 && !status_) {
            kill(pid_, sig);
        }
    }

    // Everything the child wrote so far.
    std::string Output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return output_;
    }

    // True once `text` appears in the output; false after `limit`.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        return WaitUntil([&] { return Output().find(text) != std::string::npos; }, limit);
    }

    // The raw wait status once the child has ended, or nothing after `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        if (!status_ && pid_ > 0) {
            WaitUntil(
                [&] {
                    int status = 0;
                    if (waitpid(pid_, &status, WNOHANG) == pid_) {
                        status_ = status;
                    }
                    return status_.has_value();
                },
                limit);
        }
        if (status_ && reader_.joinable()) {
            reader_.join();  // the pipe closes with the child: all output is in
        }
        return status_;
    }

  private:
    void ReadAll() {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(readFd_, buf, sizeof buf);
            if (n <= 0) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            output_.append(buf, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int readFd_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mutex_;
    std::string output_;
};

}  // namespace tb_test
