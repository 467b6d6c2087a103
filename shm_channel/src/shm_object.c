/* Opening and mapping the shared object. */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shm_internal.h"

int shmi_open_object(const char* name, int oflag, size_t size) {
    int fd = shm_open(name, oflag | O_CLOEXEC, 0666);
    int err = errno;
    /* The peer may run as another user: open the object up to 0666 without
   * touching the umask, which is per process and would race with other
   * threads creating files or sockets. */
    if (fd >= 0 && (oflag & O_CREAT)) (void)fchmod(fd, 0666);
    if (fd < 0) {
        if (err != ENOENT) shmi_log(SHM_KIND_ERR, "error opening '%s' (%d): %s\n", name, err, strerror(err));
        return -err;
    }
    if (size != 0 && ftruncate(fd, (off_t)size) != 0) {
        err = errno;
        shmi_log(SHM_KIND_ERR, "error opening&truncating '%s' (%d): %s\n", name, err, strerror(err));
        close(fd);
        shm_unlink(name);
        return -err;
    }
    return fd;
}

int shmi_map(int fd, size_t size, shm_membuf** out) {
    if (fd < 0 || out == NULL) return -EINVAL;
    if (size < SHM_MIN_SIZE) return SHM_ERR_BAD_SIZE;
    void* p = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return -1;
    *out = p;
    return 0;
}
