#include "StartLog.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string>

namespace kest_md_recv {

std::string OwnLogFile(time_t since) {
    std::string best;
    time_t bestTime = 0;
    DIR* dir = opendir(".");
    if (dir == nullptr) return best;
    while (struct dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.compare(0, 9, "kest_u50_") != 0 || name.size() < 4 ||
            name.compare(name.size() - 4, 4, ".log") != 0)
            continue;
        struct stat st;
        if (stat(name.c_str(), &st) != 0 || st.st_mtime + 1 < since) continue;
        if (best.empty() || st.st_mtime > bestTime || (st.st_mtime == bestTime && name > best)) {
            best = name;
            bestTime = st.st_mtime;
        }
    }
    closedir(dir);
    return best;
}

}  // namespace kest_md_recv
