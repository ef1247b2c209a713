// The box's operating system as the system sees it.
//
// Every access to a device node, a /proc or /sys file, the flash or the shell
// goes through these calls, and so does everything that reads the clock,
// sleeps, starts or ends a thread, or waits: the box's time belongs to the
// box, so that a simulated box can run it on a clock of its own. They have POSIX meaning: same arguments, same
// results, errors in errno. Two backends exist and one is chosen at link
// time: os_linux.cpp forwards to the C library (the box), the simulated box
// implements them in process (development machine, tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
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

// Time: the clocks (CLOCK_MONOTONIC for every time-out, the wall clock for
// BKNI_GetTime) and sleeping. -1 with errno on failure, as the C library.
int clock_gettime(clockid_t clock, struct timespec *ts);
int gettimeofday(struct timeval *tv);
int nanosleep(const struct timespec *request, struct timespec *remaining);

// Threads and the waits between them. Results as the pthread functions give
// them: 0, or an error number (EBUSY, ETIMEDOUT, ...). Attribute records
// (pthread_condattr_t) are plain data and stay with the C library.
int pthread_create(pthread_t *thread, void *(*start)(void *), void *arg);
int pthread_cancel(pthread_t thread);
int pthread_join(pthread_t thread, void **result);
int pthread_mutex_init(pthread_mutex_t *mutex);
int pthread_mutex_destroy(pthread_mutex_t *mutex);
int pthread_mutex_lock(pthread_mutex_t *mutex);
int pthread_mutex_trylock(pthread_mutex_t *mutex);
int pthread_mutex_unlock(pthread_mutex_t *mutex);
int pthread_cond_init(pthread_cond_t *cond, const pthread_condattr_t *attr);
int pthread_cond_destroy(pthread_cond_t *cond);
int pthread_cond_signal(pthread_cond_t *cond);
int pthread_cond_broadcast(pthread_cond_t *cond);
int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex);
// `deadline` on the clock the condition was made with.
int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *deadline);

} // namespace os
