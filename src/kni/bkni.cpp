// The kernel interface over POSIX threads, mutexes, condition variables on
// the monotonic clock, and nanosleep, all reached through the platform
// facade (the clock and every wait belong to the box).
#include "kni/bkni.h"

#include "platform/os.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sys/time.h>

struct BKNI_GroupObj;

struct BKNI_EventObj {
    BKNI_EventObj *next;
    BKNI_EventObj *previous;
    BKNI_GroupObj *group;
    pthread_mutex_t lock;
    pthread_cond_t condition;
    unsigned char signalled;
};

struct BKNI_MutexObj {
    pthread_mutex_t mutex;
    unsigned char settings;
};

struct BKNI_GroupObj {
    BKNI_EventObj *members;  // most recently added first
    pthread_mutex_t lock;
    pthread_cond_t condition;
};

namespace {

pthread_mutex_t g_critical_section = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> g_init_count{0};
std::atomic<uint32_t (*)(void)> g_tick_source{nullptr};

void track_allocations_start() {}
void track_allocations_stop() {}

// A condition variable whose time base is the monotonic clock.
int init_monotonic_condition(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return -1;
    int rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0)
        rc = os::pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

// Raises a time-out to the 10 ms minimum, except 0 (no wait) and -1 (no limit).
int effective_timeout(int timeout_ms)
{
    if (timeout_ms != 0 && timeout_ms != BKNI_INFINITE && timeout_ms < 10)
        return 10;
    return timeout_ms;
}

uint32_t monotonic_tick()
{
    struct timespec now;
    if (os::clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000u);
}

} // namespace

// ---------------------------------------------------------------------------
// Time

void BKNI_P_AddMs(struct timespec *target, const struct timespec *now, int timeout_ms)
{
    long nsec = now->tv_nsec + static_cast<long>(timeout_ms % 1000) * 1000000L;
    time_t sec = now->tv_sec + timeout_ms / 1000;
    if (nsec > 999999999L) {
        nsec -= 1000000000L;
        sec += 1;
    }
    target->tv_sec = sec;
    target->tv_nsec = nsec;
}

BERR_Code BKNI_P_SetTargetTime(struct timespec *target, int timeout_ms)
{
    struct timespec now;
    if (os::clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return BERR_OS_ERROR;
    BKNI_P_AddMs(target, &now, timeout_ms);
    return BERR_SUCCESS;
}

uint32_t BKNI_P_GetMicrosecondTick(void)
{
    uint32_t (*source)(void) = g_tick_source.load();
    return source ? source() : monotonic_tick();
}

void BKNI_P_SetTickSource(uint32_t (*source)(void)) { g_tick_source.store(source); }

BERR_Code BKNI_Sleep(unsigned int ms)
{
    struct timespec request = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    struct timespec remaining;
    for (;;) {
        if (os::nanosleep(&request, &remaining) == 0)
            return BERR_SUCCESS;
        if (errno != EINTR)
            return BERR_OS_ERROR;
        request = remaining;
    }
}

void BKNI_Delay(unsigned int us)
{
    uint32_t start = BKNI_P_GetMicrosecondTick();
    // Unsigned difference: correct across the 32-bit wrap of the tick.
    while (static_cast<uint32_t>(BKNI_P_GetMicrosecondTick() - start) < us) {
    }
}

void BKNI_GetTime(BKNI_Time *time)
{
    struct timeval tv;
    if (os::gettimeofday(&tv) != 0) {
        time->sec = 0;
        time->usec = 0;
        return;
    }
    time->sec = static_cast<unsigned long>(tv.tv_sec);
    time->usec = static_cast<unsigned long>(tv.tv_usec);
}

// ---------------------------------------------------------------------------
// Events

BERR_Code BKNI_CreateEvent(BKNI_EventHandle *event)
{
    BKNI_EventObj *e = static_cast<BKNI_EventObj *>(malloc(sizeof(BKNI_EventObj)));
    *event = e;
    if (!e)
        return BERR_OS_ERROR;
    if (os::pthread_mutex_init(&e->lock) != 0) {
        free(e);
        *event = nullptr;
        return BERR_OS_ERROR;
    }
    if (init_monotonic_condition(&e->condition) != 0) {
        os::pthread_mutex_destroy(&e->lock);
        free(e);
        *event = nullptr;
        return BERR_OS_ERROR;
    }
    e->signalled = 0;
    e->group = nullptr;
    e->next = nullptr;
    e->previous = nullptr;
    return BERR_SUCCESS;
}

static void unlink_member(BKNI_GroupObj *group, BKNI_EventObj *event)
{
    if (event->previous)
        event->previous->next = event->next;
    else
        group->members = event->next;
    if (event->next)
        event->next->previous = event->previous;
    event->next = nullptr;
    event->previous = nullptr;
    event->group = nullptr;
}

void BKNI_DestroyEvent(BKNI_EventHandle event)
{
    BKNI_GroupObj *group = event->group;
    if (group) {
        os::pthread_mutex_lock(&group->lock);
        unlink_member(group, event);
        os::pthread_mutex_unlock(&group->lock);
    }
    os::pthread_mutex_destroy(&event->lock);
    os::pthread_cond_destroy(&event->condition);
    free(event);
}

void BKNI_SetEvent(BKNI_EventHandle event)
{
    BKNI_GroupObj *group = event->group;
    if (group)
        os::pthread_mutex_lock(&group->lock);
    os::pthread_mutex_lock(&event->lock);
    event->signalled = 1;
    os::pthread_cond_signal(&event->condition);
    if (group)
        os::pthread_cond_signal(&group->condition);
    os::pthread_mutex_unlock(&event->lock);
    if (group)
        os::pthread_mutex_unlock(&group->lock);
}

BERR_Code BKNI_WaitForEvent(BKNI_EventHandle event, int timeout_ms)
{
    struct timespec deadline = {0, 0};
    timeout_ms = effective_timeout(timeout_ms);
    if (timeout_ms != 0 && timeout_ms != BKNI_INFINITE) {
        if (BKNI_P_SetTargetTime(&deadline, timeout_ms) != BERR_SUCCESS)
            return BERR_OS_ERROR;
    }
    if (os::pthread_mutex_lock(&event->lock) != 0)
        return BERR_OS_ERROR;

    BERR_Code result;
    if (event->signalled) {
        event->signalled = 0;
        result = BERR_SUCCESS;
    } else if (timeout_ms == 0) {
        result = BERR_TIMEOUT;
    } else {
        for (;;) {
            int rc;
            if (timeout_ms == BKNI_INFINITE) {
                rc = os::pthread_cond_wait(&event->condition, &event->lock);
            } else {
                rc = os::pthread_cond_timedwait(&event->condition, &event->lock, &deadline);
                // A set that races with the deadline still counts.
                if (event->signalled) {
                    event->signalled = 0;
                    result = BERR_SUCCESS;
                    break;
                }
                if (rc == ETIMEDOUT) {
                    result = BERR_TIMEOUT;
                    break;
                }
            }
            if (rc != 0 && rc != EINTR) {
                result = BERR_OS_ERROR;
                break;
            }
            if (event->signalled) {
                event->signalled = 0;
                result = BERR_SUCCESS;
                break;
            }
        }
    }
    os::pthread_mutex_unlock(&event->lock);
    return result;
}

void BKNI_ResetEvent(BKNI_EventHandle event)
{
    os::pthread_mutex_lock(&event->lock);
    event->signalled = 0;
    os::pthread_mutex_unlock(&event->lock);
}

// ---------------------------------------------------------------------------
// Mutexes

BERR_Code BKNI_CreateMutex(BKNI_MutexHandle *mutex)
{
    BKNI_MutexObj *m = static_cast<BKNI_MutexObj *>(malloc(sizeof(BKNI_MutexObj)));
    if (!m)
        return BERR_OS_ERROR;
    m->settings = 0;
    if (os::pthread_mutex_init(&m->mutex) != 0) {
        free(m);
        return BERR_OS_ERROR;
    }
    *mutex = m;
    return BERR_SUCCESS;
}

void BKNI_DestroyMutex(BKNI_MutexHandle mutex)
{
    os::pthread_mutex_destroy(&mutex->mutex);
    free(mutex);
}

BERR_Code BKNI_AcquireMutex(BKNI_MutexHandle mutex)
{
    return os::pthread_mutex_lock(&mutex->mutex) == 0 ? BERR_SUCCESS : BERR_OS_ERROR;
}

BERR_Code BKNI_TryAcquireMutex(BKNI_MutexHandle mutex)
{
    int rc = os::pthread_mutex_trylock(&mutex->mutex);
    if (rc == 0)
        return BERR_SUCCESS;
    return rc == EBUSY ? BERR_TIMEOUT : BERR_OS_ERROR;
}

int BKNI_ReleaseMutex(BKNI_MutexHandle mutex) { return os::pthread_mutex_unlock(&mutex->mutex); }

void BKNI_GetMutexSettings(BKNI_MutexHandle mutex, BKNI_MutexSettings *settings)
{
    settings->suspended = mutex->settings;
}

BERR_Code BKNI_SetMutexSettings(BKNI_MutexHandle mutex, const BKNI_MutexSettings *settings)
{
    mutex->settings = settings->suspended;
    return BERR_SUCCESS;
}

void BKNI_EnterCriticalSection(void) { os::pthread_mutex_lock(&g_critical_section); }
void BKNI_LeaveCriticalSection(void) { os::pthread_mutex_unlock(&g_critical_section); }

// ---------------------------------------------------------------------------
// Event groups

BERR_Code BKNI_CreateEventGroup(BKNI_EventGroupHandle *group)
{
    BKNI_GroupObj *g = static_cast<BKNI_GroupObj *>(malloc(sizeof(BKNI_GroupObj)));
    if (!g)
        return BERR_OUT_OF_SYSTEM_MEMORY;
    g->members = nullptr;
    if (os::pthread_mutex_init(&g->lock) != 0) {
        free(g);
        return BERR_OS_ERROR;
    }
    if (init_monotonic_condition(&g->condition) != 0) {
        os::pthread_mutex_destroy(&g->lock);
        free(g);
        return BERR_OS_ERROR;
    }
    *group = g;
    return BERR_SUCCESS;
}

void BKNI_DestroyEventGroup(BKNI_EventGroupHandle group)
{
    os::pthread_mutex_lock(&group->lock);
    while (group->members) {
        BKNI_EventObj *e = group->members;
        os::pthread_mutex_lock(&e->lock);
        unlink_member(group, e);
        os::pthread_mutex_unlock(&e->lock);
    }
    os::pthread_mutex_unlock(&group->lock);
    os::pthread_mutex_destroy(&group->lock);
    os::pthread_cond_destroy(&group->condition);
    free(group);
}

BERR_Code BKNI_AddEventGroup(BKNI_EventGroupHandle group, BKNI_EventHandle event)
{
    BERR_Code result = BERR_SUCCESS;
    os::pthread_mutex_lock(&group->lock);
    os::pthread_mutex_lock(&event->lock);
    if (event->group) {
        result = BERR_OS_ERROR;
    } else {
        event->group = group;
        event->previous = nullptr;
        event->next = group->members;
        if (group->members)
            group->members->previous = event;
        group->members = event;
        if (event->signalled)
            os::pthread_cond_signal(&group->condition);
    }
    os::pthread_mutex_unlock(&event->lock);
    os::pthread_mutex_unlock(&group->lock);
    return result;
}

BERR_Code BKNI_RemoveEventGroup(BKNI_EventGroupHandle group, BKNI_EventHandle event)
{
    BERR_Code result = BERR_OS_ERROR;
    os::pthread_mutex_lock(&group->lock);
    os::pthread_mutex_lock(&event->lock);
    if (event->group == group) {
        unlink_member(group, event);
        result = BERR_SUCCESS;
    }
    os::pthread_mutex_unlock(&event->lock);
    os::pthread_mutex_unlock(&group->lock);
    return result;
}

BERR_Code BKNI_WaitForGroup(BKNI_EventGroupHandle group, int timeout_ms, BKNI_EventHandle *events,
                            unsigned max_events, unsigned *nevents)
{
    if (max_events == 0)
        return BERR_INVALID_PARAMETER;
    struct timespec deadline = {0, 0};
    timeout_ms = effective_timeout(timeout_ms);
    if (timeout_ms != 0 && timeout_ms != BKNI_INFINITE) {
        if (BKNI_P_SetTargetTime(&deadline, timeout_ms) != BERR_SUCCESS)
            return BERR_OS_ERROR;
    }
    BERR_Code result;
    os::pthread_mutex_lock(&group->lock);
    for (;;) {
        unsigned found = 0;
        for (BKNI_EventObj *e = group->members; e && found < max_events; e = e->next) {
            os::pthread_mutex_lock(&e->lock);
            if (e->signalled) {
                e->signalled = 0;
                events[found++] = e;
            }
            os::pthread_mutex_unlock(&e->lock);
        }
        *nevents = found;
        if (found) {
            result = BERR_SUCCESS;
            break;
        }
        if (timeout_ms == 0) {
            result = BERR_TIMEOUT;
            break;
        }
        int rc = timeout_ms == BKNI_INFINITE ? os::pthread_cond_wait(&group->condition, &group->lock)
                                             : os::pthread_cond_timedwait(&group->condition, &group->lock, &deadline);
        if (rc == ETIMEDOUT) {
            result = BERR_TIMEOUT;
            break;
        }
        if (rc != 0 && rc != EINTR) {
            result = BERR_OS_ERROR;
            break;
        }
    }
    os::pthread_mutex_unlock(&group->lock);
    return result;
}

// ---------------------------------------------------------------------------
// The rest of the family

BERR_Code BKNI_Init(void)
{
    if (g_init_count.fetch_add(1) == 0)
        track_allocations_start();
    return BERR_SUCCESS;
}

int BKNI_Uninit(void)
{
    int now = g_init_count.fetch_sub(1) - 1;
    if (now == 0)
        track_allocations_stop();
    return now;
}

void *BKNI_Malloc(size_t size) { return malloc(size); }
void BKNI_Free(void *p) { free(p); }
void *BKNI_Malloc_tagged(size_t size, const char *, unsigned) { return malloc(size); }
void BKNI_Free_tagged(void *p, const char *, unsigned) { free(p); }
BERR_Code BKNI_GetMallocEntryInfo(const void *, void *) { return BERR_NOT_SUPPORTED; }
void BKNI_DumpMallocs(void) {}
void BKNI_P_Stats_Print(void) {}
void BKNI_AssertTaskContext(void) {}
void *BKNI_Memset(void *mem, int ch, size_t n) { return memset(mem, ch, n); }
void *BKNI_Memcpy(void *dst, const void *src, size_t n) { return memcpy(dst, src, n); }
int BKNI_Memcmp(const void *a, const void *b, size_t n) { return memcmp(a, b, n); }
void *BKNI_Memchr(const void *mem, int ch, size_t n) { return const_cast<void *>(memchr(mem, ch, n)); }
void *BKNI_Memmove(void *dst, const void *src, size_t n) { return memmove(dst, src, n); }

int BKNI_Vprintf(const char *fmt, va_list ap) { return vfprintf(stderr, fmt, ap); }

int BKNI_Printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = BKNI_Vprintf(fmt, ap);
    va_end(ap);
    return n;
}

int BKNI_Vsnprintf(char *buf, size_t n, const char *fmt, va_list ap) { return vsnprintf(buf, n, fmt, ap); }

int BKNI_Snprintf(char *buf, size_t n, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(buf, n, fmt, ap);
    va_end(ap);
    return r;
}

void BKNI_Dump(const void *mem, size_t size)
{
    const unsigned char *p = static_cast<const unsigned char *>(mem);
    for (size_t line = 0; line < size; line += 16) {
        size_t n = size - line < 16 ? size - line : 16;
        char text[17];
        printf("%04x: ", static_cast<unsigned>(line));
        for (size_t i = 0; i < n; ++i) {
            printf("%02x ", p[line + i]);
            text[i] = (p[line + i] >= ' ' && p[line + i] <= '~') ? static_cast<char>(p[line + i]) : '.';
        }
        text[n] = '\0';
        for (size_t i = n; i < 16; ++i)
            printf("   ");
        printf("    %s\n", text);
    }
}

void BKNI_Fail(void)
{
    // The debug module's plain-string output is standard error.
    fputs("BKNI_Fail is intentionally causing a segfault. Please inspect any prior error messages or get a "
          "core dump stack trace to determine the cause of failure.\n",
          stderr);
    fflush(stderr);
    // Abnormal termination with a core dump.
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    abort();
}
