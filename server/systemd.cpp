#include "server/systemd.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

namespace parlonda {

std::vector<int> socketsFromSystemd()
{
    std::vector<int> fds;
    const int count = sd_listen_fds(1);
    for (int i = 0; i < count; ++i)
        fds.push_back(SD_LISTEN_FDS_START + i);
    return fds;
}

void tellSystemd(const std::string &state)
{
    sd_notify(0, state.c_str());
}

bool goesToJournal(int fd)
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat status
    {
    };
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

} // namespace parlonda
