#include "OpenFileLimit.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Where /proc is missing, descriptors are probed one by one up to here.
constexpr int maxProbed = 65536;

} // namespace

void OpenFileLimit::raiseToHard()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    // Refused where the hard limit is more than the kernel grants one process: keep the soft.
    setrlimit(RLIMIT_NOFILE, &limit);
}

qint64 OpenFileLimit::soft()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return qint64(limit.rlim_cur);
}

int OpenFileLimit::openNow()
{
    if (DIR *dir = opendir("/proc/self/fd")) {
        int count = 0;
        while (const dirent *entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
        // Less the one the listing itself held.
        return std::max(0, count - 1);
    }
    const qint64 limit = soft();
    const int last = int(limit < 0 ? maxProbed : std::min<qint64>(limit, maxProbed));
    int count = 0;
    for (int fd = 0; fd < last; ++fd)
        count += fcntl(fd, F_GETFD) != -1;
    return count;
}

#else

void OpenFileLimit::raiseToHard() {}

qint64 OpenFileLimit::soft()
{
    return -1;
}

int OpenFileLimit::openNow()
{
    return 0;
}

#endif

int OpenFileLimit::fitting(int wanted, int perItem, int reserve)
{
    const qint64 limit = soft();
    if (limit < 0 || perItem < 1)
        return std::max(1, wanted);
    const qint64 room = (limit - openNow() - reserve) / perItem;
    return int(std::clamp<qint64>(room, 1, std::max(1, wanted)));
}
