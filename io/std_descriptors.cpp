#include "io/std_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qmz::io {

void attachClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is `fd` itself since the
        // ones below it are open by now.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace qmz::io
