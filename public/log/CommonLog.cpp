#include "log/CommonLog.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

// Reentrancy. A signal handler that logs must not wait for m_mutexLog: if the
// signal lands on a thread that is itself inside the logger (holding m_mutexLog, or inside
// localtime or a stdio call) taking the mutex again would deadlock and the
// stdio streams and the time-zone code would be reentered. Each thread
// therefore counts how deep it is inside the logger. A call made while the
// count is non-zero takes a separate path that uses none of those: the time
// is converted with the UTC offset of the last ordinary line, the line is
// formatted into a stack buffer and written with write(2) to standard output
// and to the log file's descriptor. Such a line can only miss the file when
// it interrupts the very first line of the process before the file exists;
// it then reaches standard output alone. WriteLogAsyncSafe takes that path
// always, for handlers that may interrupt any code at all.

namespace Kest_U50 {

namespace {

// How many logger calls of this thread are in progress. Only ever touched by
// its own thread, from ordinary code and from signal handlers that interrupt
// it, hence volatile sig_atomic_t. Static TLS so that the first touch from a
// signal handler never allocates.
thread_local volatile sig_atomic_t tl_logDepth __attribute__((tls_model("initial-exec"))) = 0;

class CLogDepthGuard {
public:
    // The fences keep the compiler from moving the count past the work it
    // guards, as seen by a signal handler on this thread.
    CLogDepthGuard() {
        tl_logDepth = tl_logDepth + 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~CLogDepthGuard() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        tl_logDepth = tl_logDepth - 1;
    }
    CLogDepthGuard(const CLogDepthGuard&) = delete;
    CLogDepthGuard& operator=(const CLogDepthGuard&) = delete;
};

// UTC offset of the local time of the last ordinary line, in seconds. Stored
// by any thread in ordinary WriteLog, loaded by the reentrant path of any
// thread; only the value itself matters, so both sides are relaxed.
std::atomic<long> g_utcOffsetSeconds{0};

constexpr char LINE_END[] = "\x1b[0m \n";
constexpr size_t LINE_END_LEN = sizeof(LINE_END) - 1;
constexpr size_t FORMAT_BUFFER_SIZE = 2048;
constexpr size_t FILE_NAME_SIZE = 256;

const char* LevelPrefix(int32_t level) {
    switch (level) {
        case LOG_ERROR:
            return "\x1b[31;1m [E]";
        case LOG_WARNING:
            return "\x1b[33;1m [W]";
        case LOG_INFO:
            return "\x1b[32;1m [I]";
        case LOG_DEBUG:
            return "\x1b[37;1m [D]";
        case LOG_DEBUG_EX:
            return "\x1b[34;1m [X]";
        default:
            return "\x1b[34;1m [N]";
    }
}

// Length of the longest prefix of format, at most limit bytes, that does not
// end inside a conversion such as "%08lu", so that a cut format never hands
// vfprintf half a conversion.
size_t SafeFormatCut(const char* format, size_t limit) {
    static const char CONVERSION_BODY[] = "0123456789-+ #'*.$hlLqjzt";
    size_t i = 0;
    while (i < limit && format[i] != '\0') {
        if (format[i] != '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (format[j] != '\0' && std::strchr(CONVERSION_BODY, format[j]) != nullptr) {
            ++j;
        }
        if (format[j] == '\0' || j >= limit) {
            return i;  // the conversion character would be cut off (or is missing)
        }
        i = j + 1;
    }
    return i < limit ? i : limit;
}

// Builds "<prefix> [YYYYMMDD][HH:MM:SS][tid] <format>ESC[0m \n" into out
// (FORMAT_BUFFER_SIZE bytes). A caller's format too long for the buffer is
// cut at a conversion boundary; the colour reset and the newline are kept.
void ComposeFormat(char* out, int32_t level, const struct tm& when, const char* format) {
    const int head =
        std::snprintf(out, FORMAT_BUFFER_SIZE, "%s [%04d%02d%02d][%02d:%02d:%02d][%lu] ", LevelPrefix(level),
                      when.tm_year + 1900, when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min,
                      when.tm_sec, static_cast<unsigned long>(pthread_self()));
    size_t used = head > 0 ? static_cast<size_t>(head) : 0;
    if (used > FORMAT_BUFFER_SIZE - 1 - LINE_END_LEN) {
        used = FORMAT_BUFFER_SIZE - 1 - LINE_END_LEN;
    }
    const size_t room = FORMAT_BUFFER_SIZE - 1 - LINE_END_LEN - used;
    size_t fmtLen = ::strnlen(format, room + 1);
    if (fmtLen > room) {
        fmtLen = SafeFormatCut(format, room);
    }
    std::memcpy(out + used, format, fmtLen);
    used += fmtLen;
    std::memcpy(out + used, LINE_END, LINE_END_LEN + 1);
}

// Local broken-down time without the C library's time-zone code (which takes
// a lock): days-to-civil conversion of the shifted epoch seconds.
void LocalTimeWithoutLocks(time_t now, long utcOffset, struct tm* out) {
    const int64_t secs = static_cast<int64_t>(now) + utcOffset;
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    std::memset(out, 0, sizeof(*out));
    out->tm_year = static_cast<int>(year - 1900);
    out->tm_mon = static_cast<int>(month - 1);
    out->tm_mday = static_cast<int>(day);
    out->tm_hour = static_cast<int>(rem / 3600);
    out->tm_min = static_cast<int>((rem % 3600) / 60);
    out->tm_sec = static_cast<int>(rem % 60);
}

void WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // write errors are not reported
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

}  // namespace

CCommonLog& CCommonLog::GetInstance() {
    // Never destroyed: lines may still be written while static objects of
    // the process are torn down.
    static CCommonLog* const s_instance = new CCommonLog();
    return *s_instance;
}

CCommonLog::CCommonLog() : m_logLevel(15), m_logHandler(nullptr), m_logFd(-1), m_logFileName() {
    const time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
        g_utcOffsetSeconds.store(local.tm_gmtoff, std::memory_order_relaxed);
    }
}

void CCommonLog::SetLogLevel(ELOGLEVEL mask) {
    CLogDepthGuard depth;
    std::lock_guard<std::mutex> lock(m_mutexLog);
    m_logLevel.store(mask, std::memory_order_release);
}

int32_t CCommonLog::GetLogLevel() const { return m_logLevel.load(std::memory_order_acquire); }

std::string CCommonLog::GetLogFileName() {
    CLogDepthGuard depth;
    std::lock_guard<std::mutex> lock(m_mutexLog);
    return std::string(m_logFileName);
}

void CCommonLog::WriteLog(ELOGLEVEL level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    _VWriteLog(level, format, args);
    va_end(args);
}

void CCommonLog::WriteLog(int32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    _VWriteLog(level, format, args);
    va_end(args);
}

void CCommonLog::WriteLogAsyncSafe(int32_t level, const char* format, ...) {
    if ((level & m_logLevel.load(std::memory_order_acquire)) == 0 || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    _VWriteLogReentrant(level, format, args);
    va_end(args);
}

void CCommonLog::_VWriteLog(int32_t level, const char* format, va_list args) {
    if ((level & m_logLevel.load(std::memory_order_acquire)) == 0 || format == nullptr) {
        return;
    }
    if (tl_logDepth != 0) {
        _VWriteLogReentrant(level, format, args);
        return;
    }
    CLogDepthGuard depth;

    const time_t now = std::time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) {
        std::memset(&local, 0, sizeof(local));
    } else {
        g_utcOffsetSeconds.store(local.tm_gmtoff, std::memory_order_relaxed);
    }
    char lineFormat[FORMAT_BUFFER_SIZE];
    ComposeFormat(lineFormat, level, local, format);

    std::lock_guard<std::mutex> lock(m_mutexLog);
    if (m_logHandler == nullptr) {
        char fileName[FILE_NAME_SIZE];
        std::snprintf(fileName, sizeof(fileName), "kest_u50_%04d%02d%02d_%02d%02d%02d.log",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                      local.tm_sec);
        FILE* file = std::fopen(fileName, "w");
        if (file == nullptr) {
            std::printf("fopen: %s failed\n", fileName);
            std::fflush(stdout);
            return;
        }
        std::memcpy(m_logFileName, fileName, sizeof(m_logFileName));
        m_logHandler = file;
        m_logFd.store(fileno(file), std::memory_order_release);
    }

    va_list fileArgs;
    va_copy(fileArgs, args);
    std::vfprintf(stdout, lineFormat, args);
    std::vfprintf(m_logHandler, lineFormat, fileArgs);
    va_end(fileArgs);
    std::fflush(stdout);
    std::fflush(m_logHandler);
}

void CCommonLog::_VWriteLogReentrant(int32_t level, const char* format, va_list args) {
    struct tm local;
    LocalTimeWithoutLocks(std::time(nullptr), g_utcOffsetSeconds.load(std::memory_order_relaxed), &local);
    char lineFormat[FORMAT_BUFFER_SIZE];
    ComposeFormat(lineFormat, level, local, format);

    char line[FORMAT_BUFFER_SIZE];
    const int n = std::vsnprintf(line, sizeof(line), lineFormat, args);
    if (n < 0) {
        return;
    }
    size_t len = static_cast<size_t>(n);
    if (len >= sizeof(line)) {
        len = sizeof(line) - 1;
        std::memcpy(line + len - LINE_END_LEN, LINE_END, LINE_END_LEN);
    }
    WriteAll(STDOUT_FILENO, line, len);
    const int fd = m_logFd.load(std::memory_order_acquire);
    if (fd >= 0) {
        WriteAll(fd, line, len);
    }
}

}  // namespace Kest_U50
