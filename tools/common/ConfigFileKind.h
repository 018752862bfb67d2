// What a configuration file path is, before anything reads it as one: a
// start checksums the whole file before it touches the card, and fails on
// anything that is not a non-empty regular file of at most 2 GiB. Shared by
// the tools so that each says the same about the same path.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kest_tools {

// Empty when a start can read and checksum the file; otherwise why it cannot,
// as the end of a sentence ("is a directory, not a configuration file").
inline std::string ConfigFileProblem(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::string("cannot be opened: ") + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "is a directory, not a configuration file";
    if (!S_ISREG(st.st_mode)) return "is not a regular file, so the library cannot checksum it";
    if (st.st_size == 0) return "is empty (the library refuses to start on an empty file)";
    if (st.st_size > 0x7FFFFFFFL) return "is larger than 2 GiB, more than the library checksums";
    return std::string();
}

}  // namespace kest_tools
