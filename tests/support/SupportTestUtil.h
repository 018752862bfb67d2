// Helpers of the support tests: a private working directory, capture of
// standard output (descriptor 1, which the logger also writes with write(2))
// and parsing of logger lines.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "log/CommonLog.h"

namespace support_test {

inline std::string ReadWholeFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// A fresh directory under TMPDIR (or /tmp), the working directory while the
// object lives; removed with its files afterwards.
struct CScratchDir {
    CScratchDir() {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kest_support_XXXXXX";
        char cwd[4096];
        if (::mkdtemp(&path[0]) == nullptr || ::getcwd(cwd, sizeof(cwd)) == nullptr ||
            ::chdir(path.c_str())) {
            std::perror("no scratch directory");
            std::abort();
        }
        previous = cwd;
    }
    ~CScratchDir() {
        (void)!::chdir(previous.c_str());
        (void)!std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string path, previous;
};

struct SOutput {
    std::string out;   // what reached standard output
    std::string file;  // what was appended to the log file meanwhile
};

// Runs fn with standard output going to an unnamed file.
template <typename Fn>
SOutput Capture(Fn fn) {
    Kest_U50::CCommonLog& log = Kest_U50::CCommonLog::GetInstance();
    const size_t before = ReadWholeFile(log.GetLogFileName()).size();
    std::fflush(stdout);
    FILE* sink = std::tmpfile();
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fileno(sink), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    const std::string out = ReadWholeFile("/proc/self/fd/" + std::to_string(fileno(sink)));
    std::fclose(sink);
    const std::string name = log.GetLogFileName();
    return {out, name.empty() ? "" : ReadWholeFile(name).substr(before)};
}

struct SLogLine {
    std::string colour, tag, date, time;  // "31", "E", "YYYYMMDD", "HH:MM:SS"
    unsigned long threadId;
    std::string message;
};

// Every line of text, each of the form
// ESC[<cc>;1m [<tag>] [YYYYMMDD][HH:MM:SS][<tid>] <message>ESC[0m \n
// A line of any other shape fails the test.
inline std::vector<SLogLine> ParseAll(const std::string& text) {
    static const std::regex head(
        R"(\x1b\[(\d\d);1m \[([EWIDXN])\] \[(\d{8})\]\[(\d\d:\d\d:\d\d)\]\[(\d+)\] )");
    static const std::string end = "\x1b[0m \n";
    std::vector<SLogLine> lines;
    for (size_t start = 0, stop; start < text.size(); start = stop) {
        stop = std::min(text.find('\n', start), text.size() - 1) + 1;
        const std::string line = text.substr(start, stop - start);
        std::smatch m;  // the head pattern has a bounded width: no deep search into long lines
        const size_t body = std::regex_search(line, m, head, std::regex_constants::match_continuous)
                                ? m.length(0)
                                : line.size();
        if (body + end.size() > line.size() || line.compare(line.size() - end.size(), end.size(), end) != 0) {
            ADD_FAILURE() << "broken line: " << line.substr(0, 100);
            continue;
        }
        lines.push_back(
            {m[1], m[2], m[3], m[4], std::stoul(m[5]), line.substr(body, line.size() - end.size() - body)});
    }
    return lines;
}

// Runs fn and checks that what it logged went identically to both outputs,
// from this thread, stamped with the local time of the call. Returns each
// line as "<colour><tag> <message>\n", e.g. "31E text\n".
template <typename Fn>
std::string Logged(Fn fn) {
    const time_t from = std::time(nullptr);
    const SOutput o = Capture(fn);
    const time_t to = std::time(nullptr);
    EXPECT_EQ(o.out, o.file);
    std::string result;
    for (const SLogLine& line : ParseAll(o.out)) {
        EXPECT_EQ(static_cast<unsigned long>(pthread_self()), line.threadId);
        bool stamped = false;
        for (time_t t = from; t <= to; ++t) {
            struct tm local;
            char text[32];
            std::strftime(text, sizeof(text), "%Y%m%d %H:%M:%S", localtime_r(&t, &local));
            stamped = stamped || line.date + " " + line.time == text;
        }
        EXPECT_TRUE(stamped) << line.date << " " << line.time;
        result += line.colour + line.tag + " " + line.message + "\n";
    }
    return result;
}

inline bool Matches(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

}  // namespace support_test
