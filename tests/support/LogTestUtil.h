// Parsing of logger lines for the logging tests.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace support_test {

struct SLogLine {
    std::string colour;  // e.g. "31"
    std::string tag;     // E, W, I, D, X or N
    std::string date;    // YYYYMMDD
    std::string time;    // HH:MM:SS
    unsigned long threadId = 0;
    std::string message;
};

// Matches text against a pattern in which '?' stands for one decimal digit
// and '~' for one or more; every other character stands for itself.
inline bool MatchDigits(const std::string& text, const std::string& pattern) {
    size_t t = 0;
    for (size_t p = 0; p < pattern.size(); ++p) {
        const char want = pattern[p];
        if (want == '?' || want == '~') {
            if (t >= text.size() || text[t] < '0' || text[t] > '9') {
                return false;
            }
            ++t;
            while (want == '~' && t < text.size() && text[t] >= '0' && text[t] <= '9') {
                ++t;
            }
        } else {
            if (t >= text.size() || text[t] != want) {
                return false;
            }
            ++t;
        }
    }
    return t == text.size();
}

// One full line, newline included:
// ESC[<cc>;1m [<tag>] [YYYYMMDD][HH:MM:SS][<tid>] <message>ESC[0m \n
inline bool ParseLogLine(const std::string& line, SLogLine& out) {
    static const std::string END = "\x1b[0m \n";
    const size_t tidStart = 33;  // the part before the thread id has a fixed width
    const size_t tagAt = 9;
    if (line.size() < tidStart + 3 + END.size() ||
        line.compare(line.size() - END.size(), END.size(), END) != 0) {
        return false;
    }
    std::string fixed = line.substr(0, tidStart);
    const char tag = fixed[tagAt];
    if (std::string("EWIDXN").find(tag) == std::string::npos) {
        return false;
    }
    fixed[tagAt] = 'T';
    if (!MatchDigits(fixed, "\x1b[??;1m [T] [????????][??:??:??][")) {
        return false;
    }
    const size_t tidEnd = line.find("] ", tidStart);
    if (tidEnd == std::string::npos || tidEnd == tidStart ||
        !MatchDigits(line.substr(tidStart, tidEnd - tidStart), "~")) {
        return false;
    }
    const size_t messageStart = tidEnd + 2;
    const size_t messageEnd = line.size() - END.size();
    if (messageStart > messageEnd) {
        return false;
    }
    out.message = line.substr(messageStart, messageEnd - messageStart);
    if (out.message.find('\n') != std::string::npos) {
        return false;
    }
    out.colour = fixed.substr(2, 2);
    out.tag = std::string(1, tag);
    out.date = fixed.substr(13, 8);
    out.time = fixed.substr(23, 8);
    out.threadId = std::stoul(line.substr(tidStart, tidEnd - tidStart));
    return true;
}

// Splits text after each newline; every piece keeps its newline.
inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

inline std::string FormatLocal(time_t t, const char* pattern) {
    struct tm local;
    localtime_r(&t, &local);
    char buf[64];
    std::strftime(buf, sizeof(buf), pattern, &local);
    return buf;
}

// True when date and time are the local time of some second in [from, to].
inline bool StampWithin(const SLogLine& line, time_t from, time_t to) {
    for (time_t t = from; t <= to; ++t) {
        if (FormatLocal(t, "%Y%m%d") == line.date && FormatLocal(t, "%H:%M:%S") == line.time) {
            return true;
        }
    }
    return false;
}

inline unsigned long SelfThreadId() { return static_cast<unsigned long>(pthread_self()); }

}  // namespace support_test
