// The box's backend of the platform facade: plain forwarding to the C library.
#include "platform/os.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <ctime>
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

int clock_gettime(clockid_t clock, struct timespec *ts) { return ::clock_gettime(clock, ts); }
int gettimeofday(struct timeval *tv) { return ::gettimeofday(tv, nullptr); }
int nanosleep(const struct timespec *request, struct timespec *remaining) { return ::nanosleep(request, remaining); }

int pthread_create(pthread_t *thread, void *(*start)(void *), void *arg)
{
    return ::pthread_create(thread, nullptr, start, arg);
}
int pthread_cancel(pthread_t thread) { return ::pthread_cancel(thread); }
int pthread_join(pthread_t thread, void **result) { return ::pthread_join(thread, result); }
int pthread_mutex_init(pthread_mutex_t *mutex) { return ::pthread_mutex_init(mutex, nullptr); }
int pthread_mutex_destroy(pthread_mutex_t *mutex) { return ::pthread_mutex_destroy(mutex); }
int pthread_mutex_lock(pthread_mutex_t *mutex) { return ::pthread_mutex_lock(mutex); }
int pthread_mutex_trylock(pthread_mutex_t *mutex) { return ::pthread_mutex_trylock(mutex); }
int pthread_mutex_unlock(pthread_mutex_t *mutex) { return ::pthread_mutex_unlock(mutex); }
int pthread_cond_init(pthread_cond_t *cond, const pthread_condattr_t *attr) { return ::pthread_cond_init(cond, attr); }
int pthread_cond_destroy(pthread_cond_t *cond) { return ::pthread_cond_destroy(cond); }
int pthread_cond_signal(pthread_cond_t *cond) { return ::pthread_cond_signal(cond); }
int pthread_cond_broadcast(pthread_cond_t *cond) { return ::pthread_cond_broadcast(cond); }
int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) { return ::pthread_cond_wait(cond, mutex); }
int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *deadline)
{
    return ::pthread_cond_timedwait(cond, mutex, deadline);
}

} // namespace os
