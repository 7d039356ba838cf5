#include "common/crypto/random.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "common/log.h"

int crypto_random(void *buf, size_t n)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ulog(LOG_COMP_COMMON, LOG_ERROR, "Could not open /dev/urandom: %s", strerror(errno));
        return -1;
    }
    uint8_t *p = static_cast<uint8_t *>(buf);
    while (n) {
        ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            int err = got < 0 ? errno : EIO;
            close(fd);
            errno = err;
            return -1;
        }
        p += got;
        n -= size_t(got);
    }
    close(fd);
    return 0;
}
