// The box's operating system as the system sees it.
//
// Every access to a device node, a /proc or /sys file, the flash or the shell
// goes through these calls. They have POSIX meaning: same arguments, same
// results, errors in errno. Two backends exist and one is chosen at link
// time: os_linux.cpp forwards to the C library (the box), the simulated box
// implements them in process (development machine, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace os {

int stat(const char *path, struct ::stat *st);
int access(const char *path, int mode);
int open(const char *path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void *buf, size_t count);
ssize_t write(int fd, const void *buf, size_t count);
off_t lseek(int fd, off_t offset, int whence);

// ioctl with an integer argument (requests that take their value directly).
int ioctl(int fd, unsigned long request, unsigned long arg);
// ioctl with a pointer argument (requests that read or fill a record).
inline int ioctl(int fd, unsigned long request, void *arg)
{
    return os::ioctl(fd, request, reinterpret_cast<unsigned long>(arg));
}
inline int ioctl(int fd, unsigned long request)
{
    return os::ioctl(fd, request, 0UL);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void *addr, size_t length);
int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms);
void sync();

// Stream access to a file; fscanf, fgets, fprintf and fclose work on the result.
FILE *fopen(const char *path, const char *mode);

// Shell commands: a pipe from (mode "r") the command's standard output.
FILE *popen(const char *command, const char *mode);
int pclose(FILE *stream);
int system(const char *command);

} // namespace os
