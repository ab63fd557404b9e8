#include "standardstreams.h"

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace lumora {

int reopenClosedStandardStreams()
{
    int closed = 0;
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number: this one, as the lower ones are open now.
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null != fd) {
            if (null >= 0)
                ::close(null);
            continue;
        }
        closed |= 1 << fd;
    }
#endif
    return closed;
}

} // namespace lumora
