// An output file of kest-md-recv written through stdio.
#pragma once

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "RecvOptions.h"

namespace kest_md_recv {

// An output written through stdio (the CSV, the bare records). The first
// failed write is said once; from then on the stream goes to /dev/null, so
// that no later write can land behind a hole. At the end the file is cut
// back to its last whole unit (a line, a record) and those are counted.
class OutputFile {
public:
    OutputFile(const char* what, std::string path) : what_(what), path_(std::move(path)) {}
    FILE* Open(const char* mode) { return file_ = std::fopen(path_.c_str(), mode); }
    // Pushes what stdio holds to the file; reports the first failure.
    void Check() {
        if (file_ == nullptr || failed_) return;
        errno = 0;
        if (std::fflush(file_) == 0 && std::ferror(file_) == 0) return;
        failed_ = true;
        // A write that failed inside an earlier fprintf leaves only the
        // stream's error flag: its errno is long overwritten. A file system
        // with no block left is then the cause worth naming.
        struct statvfs fs;
        if (errno == 0 && fstatvfs(fileno(file_), &fs) == 0 && fs.f_bavail == 0) errno = ENOSPC;
        error_ = errno != 0 ? std::strerror(errno) : "a write failed";
        std::fprintf(stderr, "%s: writing %s failed: %s; no more quotes go to it\n", kTool, path_.c_str(),
                     error_.c_str());
        if (std::freopen("/dev/null", "w", file_) == nullptr) file_ = nullptr;
    }
    // Closes the file; on a failure cuts it back and says in the summary
    // how many units it holds. True when every write reached the file.
    bool Close(size_t unitBytes, uint64_t headerUnits) {
        if (file_ == nullptr && !failed_) return true;
        Check();
        if (file_ != nullptr && std::fclose(file_) != 0 && !failed_) {
            failed_ = true;
            error_ = std::strerror(errno);
        }
        file_ = nullptr;
        if (!failed_) return true;
        uint64_t whole = 0, units = 0;
        std::ifstream in(path_, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (unitBytes == 0) {  // lines
            const size_t end = bytes.rfind('\n');
            whole = end == std::string::npos ? 0 : end + 1;
            for (size_t i = 0; i < whole; ++i) units += bytes[i] == '\n';
        } else {
            units = bytes.size() / unitBytes;
            whole = units * unitBytes;
        }
        if (truncate(path_.c_str(), static_cast<off_t>(whole)) != 0) whole = bytes.size();
        units = units > headerUnits ? units - headerUnits : 0;
        std::printf("%s: %s holds %llu quotes; writing failed after them: %s\n", what_, path_.c_str(),
                    static_cast<unsigned long long>(units), error_.c_str());
        return false;
    }

private:
    const char* what_;
    std::string path_;
    FILE* file_ = nullptr;
    bool failed_ = false;
    std::string error_;
};

}  // namespace kest_md_recv
