// Runs the tools as an operator does, from their command lines, and keeps
// what they printed and how they ended.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace tools_test {

struct Result {
    int exit = -1;    // exit status, or -1 when ended by a signal
    int signal = 0;   // the signal that ended it
    std::string out;  // standard output
    std::string err;  // standard error
};

using kest_test::ReadFile;
using kest_test::WriteFile;

// A scratch directory of one test, removed with it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/kest_tools_test.XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp") (void)std::system(cmd.c_str());
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Variables set in a tool's environment on top of the test's.
using Environment = std::vector<std::pair<std::string, std::string>>;

// A tool started in the background; its output goes to files in dir. It is
// killed when the test ends: by the destructor when the test runs to its
// end, by its death signal when the test itself is killed.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& dir, const std::string& tag,
            const Environment& env = {})
        : out_(dir + "/" + tag + ".out"), err_(dir + "/" + tag + ".err") {
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            kest_test::DieWithParent(parent);
            for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
            if (chdir(dir.c_str()) != 0) _exit(127);
            const int in = open("/dev/null", O_RDONLY);
            const int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Process() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    pid_t Pid() const { return pid_; }
    void Signal(int sig) const { kill(pid_, sig); }
    bool Running() {
        if (waited_) return false;
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            Record(status);
            return false;
        }
        return true;
    }
    Result Wait() {
        if (!waited_) {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0) {
            }
            Record(status);
        }
        result_.out = ReadFile(out_);
        result_.err = ReadFile(err_);
        return result_;
    }
    std::string OutSoFar() const { return ReadFile(out_); }
    std::string ErrSoFar() const { return ReadFile(err_); }

private:
    void Record(int status) {
        waited_ = true;
        if (WIFEXITED(status)) result_.exit = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
    }
    pid_t pid_ = -1;
    bool waited_ = false;
    std::string out_, err_;
    Result result_;
};

// Runs a tool to its end in dir (a scratch directory when empty).
inline Result RunTool(const std::vector<std::string>& argv, const std::string& dir = "") {
    if (dir.empty()) {
        TempDir scratch;
        Process p(argv, scratch.Path(), "run");
        return p.Wait();
    }
    static int serial = 0;
    Process p(argv, dir, "run" + std::to_string(++serial));
    return p.Wait();
}

// Waits until done() holds while `watched` runs; false, with the reason added to the test's failures, when
// it ended first or five minutes passed (a sound run under a sanitizer on a loaded machine takes far less).
inline bool WaitWhileRunning(Process& watched, const std::function<bool()>& done, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!done()) {
        if (!watched.Running() || std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "waited for " << what << ": "
                          << (watched.Running() ? "5 minutes passed" : "it ended");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

inline std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace tools_test
