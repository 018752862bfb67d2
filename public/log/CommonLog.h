// The process's one logger: every line that passes the level mask goes to
// standard output and to the log file "kest_u50_YYYYMMDD_HHMMSS.log" that is
// created in the working directory at the first such line.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace Kest_U50 {

// One bit per level; the same type carries the mask of enabled levels.
enum ELOGLEVEL : int32_t {
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 4,
    LOG_DEBUG = 8,
    LOG_DEBUG_EX = 16,
};

class CCommonLog {
public:
    static CCommonLog& GetInstance();

    CCommonLog(const CCommonLog&) = delete;
    CCommonLog& operator=(const CCommonLog&) = delete;

    // Stores the mask as given; no value is refused.
    void SetLogLevel(ELOGLEVEL mask);
    void SetLogLevel(int32_t mask) { SetLogLevel(static_cast<ELOGLEVEL>(mask)); }

    // One line in the printf convention. A combination of levels (or any
    // other value) is written with the "[N]" tag when it meets the mask.
    void WriteLog(ELOGLEVEL level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void WriteLog(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The same line for signal handlers: takes no lock, allocates nothing and
    // uses no stdio stream or time-zone code; the line goes out with write(2)
    // to standard output and to the log file if that is open already.
    void WriteLogAsyncSafe(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The mask in force (read without the mutex, like WriteLog does).
    int32_t GetLogLevel() const;
    // Name of the log file once it is open; empty before.
    std::string GetLogFileName();

private:
    CCommonLog();
    ~CCommonLog() = delete;  // lives until the process ends

    void _VWriteLog(int32_t level, const char* format, va_list args);
    void _VWriteLogReentrant(int32_t level, const char* format, va_list args);

    // Written by SetLogLevel (any thread, under m_mutexLog) with release;
    // read by WriteLog on any thread with acquire, without the mutex. Only the
    // mask itself is handed over.
    std::atomic<int32_t> m_logLevel;
    FILE* m_logHandler;
    std::mutex m_mutexLog;
    // Descriptor of m_logHandler, -1 until the file is open. Stored with
    // release by the thread that opens the file (under m_mutexLog); loaded
    // with acquire by a reentrant WriteLog (signal handler) that must not
    // take the mutex.
    std::atomic<int> m_logFd;
    char m_logFileName[256];
};

}  // namespace Kest_U50
