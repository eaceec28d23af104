#pragma once
// Runs a program as a child process with its output in a file, so that a test can
// wait for a line (a port it chose) and stop it as a person would (SIGINT).

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tb_test {

class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 std::string log_file)
        : log_file_(std::move(log_file)) {
        std::vector<std::string> argv_text{program};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_text)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log_file_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() { stop(std::chrono::seconds(15)); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }

    std::string output() const {
        std::ifstream in(log_file_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits for the first match of `pattern` in the output; its first group (or the whole match).
    std::optional<std::string> wait_for(
        const std::string& pattern, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        const std::regex re(pattern);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::smatch match;
            const std::string text = output();
            if (std::regex_search(text, match, re))
                return match.size() > 1 ? match[1].str() : match[0].str();
            if (!running())
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }

    bool running() {
        if (pid_ <= 0 || exit_status_)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = status;
            return false;
        }
        return true;
    }

    // SIGINT, then SIGKILL when it has not ended within `grace`. The wait status, if it ended.
    std::optional<int> stop(std::chrono::milliseconds grace) {
        if (pid_ <= 0)
            return std::nullopt;
        if (running()) {
            kill(pid_, SIGINT);
            const auto deadline = std::chrono::steady_clock::now() + grace;
            while (running() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (running()) {
                kill(pid_, SIGKILL);
                int status = 0;
                waitpid(pid_, &status, 0);
                exit_status_ = status;
                killed_ = true;
            }
        }
        return killed_ ? std::nullopt : exit_status_;
    }

  private:
    std::string log_file_;
    pid_t pid_ = -1;
    std::optional<int> exit_status_;
    bool killed_ = false;
};

}  // namespace tb_test
