// The box's backend of the platform facade: plain forwarding to the C library.
#include "platform/os.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace os {

int stat(const char *path, struct ::stat *st) { return ::stat(path, st); }
int access(const char *path, int mode) { return ::access(path, mode); }
int open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int close(int fd) { return ::close(fd); }
ssize_t read(int fd, void *buf, size_t count) { return ::read(fd, buf, count); }
ssize_t write(int fd, const void *buf, size_t count) { return ::write(fd, buf, count); }
off_t lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int ioctl(int fd, unsigned long request, unsigned long arg) { return ::ioctl(fd, request, arg); }

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return ::mmap(addr, length, prot, flags, fd, offset);
}

int munmap(void *addr, size_t length) { return ::munmap(addr, length); }
int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) { return ::poll(fds, nfds, timeout_ms); }
void sync() { ::sync(); }
FILE *fopen(const char *path, const char *mode) { return ::fopen(path, mode); }
FILE *popen(const char *command, const char *mode) { return ::popen(command, mode); }
int pclose(FILE *stream) { return ::pclose(stream); }
int system(const char *command) { return ::system(command); }

} // namespace os
