// Helpers shared by the test folders: a private working directory (the
// logger writes its file into the cwd), file reading, a private namespace of
// simulated cards so that tests can run in parallel.
#pragma once

#include <stdlib.h>
#include <unistd.h>

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

// Gives this process its own simulated cards (set before any card access).
inline void UsePrivateCardNamespace(const char* tag) {
    const std::string ns = std::string(tag) + "." + std::to_string(getpid());
    setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
}

}  // namespace kest_test
