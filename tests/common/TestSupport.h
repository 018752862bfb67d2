// Helpers shared by the test folders: a private working directory (the
// logger writes its file into the cwd), file reading, a private namespace of
// simulated cards so that tests can run in parallel.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace kest_test {

// Moves the process into a fresh temporary directory for its lifetime.
class ScopedTempDir {
public:
    ScopedTempDir() {
        char pattern[] = "/tmp/kest_test.XXXXXX";
        const char* dir = mkdtemp(pattern);
        path_ = dir != nullptr ? dir : "/tmp";
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) old_ = cwd;
        if (chdir(path_.c_str()) != 0) std::perror("chdir");
    }
    ~ScopedTempDir() {
        if (!old_.empty() && chdir(old_.c_str()) != 0) std::perror("chdir");
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp" && std::system(cmd.c_str()) != 0) std::perror("rm");
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
    std::string old_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Removes the model's card segments (/dev/shm/kest_cardsim.kesttest.TAG.PID.N)
// of this process, and with `dead` also those of test processes that no
// longer exist (killed, so they could not remove their own).
inline void RemoveTestCards(bool dead) {
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) return;
    const std::string prefix = "kest_cardsim.kesttest.";
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        const size_t last = name.rfind('.');
        const size_t before =
            last == std::string::npos || last == 0 ? std::string::npos : name.rfind('.', last - 1);
        if (name.compare(0, prefix.size(), prefix) != 0 || before == std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(name.substr(before + 1, last - before - 1).c_str()));
        if (pid == getpid() || (dead && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH))
            shm_unlink(("/" + name).c_str());
    }
    closedir(dir);
}

// Gives this process its own simulated cards (set before any card access).
// They go when the process ends, fails or crashes; what a killed test left
// is swept by the next test process that starts.
inline void UsePrivateCardNamespace(const char* tag) {
    static bool armed = false;
    if (!armed) {
        armed = true;
        RemoveTestCards(true);
        std::atexit([] { RemoveTestCards(false); });
        for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
            std::signal(sig, [](int s) {
                RemoveTestCards(false);
                std::signal(s, SIG_DFL);
                std::raise(s);
            });
        }
    }
    const std::string ns = std::string("kesttest.") + tag + "." + std::to_string(getpid());
    setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
}

}  // namespace kest_test
