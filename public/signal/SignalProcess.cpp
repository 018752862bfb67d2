#include "signal/SignalProcess.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/CommonLog.h"

namespace Kest_U50 {

int32_t CSignalProcess::InitSignal() {
    // The logger is created here at the latest, never inside the handler.
    CCommonLog& log = CCommonLog::GetInstance();
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;  // no SA_RESTART: a blocking call returns EINTR and the poll sees the flag
    action.sa_sigaction = &CSignalProcess::SignalHandler;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        log.WriteLog(LOG_ERROR, "[%s] [%d] Failed to install SIGINT handle!", __FUNCTION__, __LINE__);
        return -1;
    }
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        log.WriteLog(LOG_ERROR, "[%s] [%d] Failed to install SIGTERM handle!", __FUNCTION__, __LINE__);
        return -1;
    }
    action.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &action, nullptr) != 0) {
        log.WriteLog(LOG_ERROR, "[%s] [%d] Failed to install SIGPIPE handle!", __FUNCTION__, __LINE__);
        return -1;
    }
    return 0;
}

void CSignalProcess::SignalHandler(int sigNo, siginfo_t* /*siginfo*/, void* /*context*/) {
    const int savedErrno = errno;
    // The interrupted code may hold the logger's mutex, a stdio lock or the
    // allocator's: the line goes out by the path that needs none of them.
    CCommonLog::GetInstance().WriteLogAsyncSafe(LOG_ERROR, "[%s] [%d] [%d]received signal %d", __FUNCTION__,
                                                __LINE__, static_cast<int>(getpid()), sigNo);
    m_isExit.store(true, std::memory_order_release);
    errno = savedErrno;
}

}  // namespace Kest_U50
