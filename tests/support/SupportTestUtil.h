// Helpers of the support tests: a private working directory, capture of
// file descriptor 1 and whole-file reads.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace support_test {

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Creates a fresh directory under TMPDIR (or /tmp), makes it the working
// directory and removes it with its files on destruction.
class CScratchDir {
public:
    CScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kest_support_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        m_path = buf.data();
        char cwd[4096];
        if (::getcwd(cwd, sizeof(cwd)) != nullptr) {
            m_previous = cwd;
        }
        EXPECT_EQ(0, ::chdir(m_path.c_str()));
    }
    ~CScratchDir() {
        if (!m_previous.empty()) {
            (void)!::chdir(m_previous.c_str());
        }
        if (!m_path.empty()) {
            const std::string command = "rm -rf '" + m_path + "'";
            (void)!std::system(command.c_str());
        }
    }
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    const std::string& Path() const { return m_path; }

    // Names of the entries of the directory (without "." and "..").
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(m_path.c_str());
        if (dir == nullptr) {
            return names;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        return names;
    }

private:
    std::string m_path;
    std::string m_previous;
};

// Redirects descriptor 1 (standard output) into a file until Stop().
class CStdoutCapture {
public:
    CStdoutCapture() {
        std::fflush(stdout);
        char name[] = "/tmp/kest_support_stdout_XXXXXX";
        m_fd = ::mkstemp(name);
        m_name = name;
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_fd, STDOUT_FILENO);
    }
    ~CStdoutCapture() {
        Stop();
        ::unlink(m_name.c_str());
    }
    CStdoutCapture(const CStdoutCapture&) = delete;
    CStdoutCapture& operator=(const CStdoutCapture&) = delete;

    // Restores standard output and returns everything written meanwhile.
    std::string Stop() {
        if (m_saved >= 0) {
            std::fflush(stdout);
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
            ::close(m_fd);
            m_saved = -1;
            m_text = ReadWholeFile(m_name);
        }
        return m_text;
    }

private:
    int m_fd = -1;
    int m_saved = -1;
    std::string m_name;
    std::string m_text;
};

}  // namespace support_test
