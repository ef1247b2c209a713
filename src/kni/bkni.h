// The kernel interface: events with time-outs, mutexes, sleep and time over
// POSIX threads. Every task of the system waits, signals, locks and sleeps
// through these calls. All time-outs run on the monotonic clock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Result codes; the value is the position in this list.
enum {
    BERR_SUCCESS = 0,
    BERR_NOT_INITIALIZED = 1,
    BERR_INVALID_PARAMETER = 2,
    BERR_OUT_OF_SYSTEM_MEMORY = 3,
    BERR_OUT_OF_DEVICE_MEMORY = 4,
    BERR_TIMEOUT = 5,
    BERR_OS_ERROR = 6,
    BERR_LEAKED_RESOURCE = 7,
    BERR_NOT_SUPPORTED = 8,
    BERR_UNKNOWN = 9,
    BERR_NOT_AVAILABLE = 10,
};
typedef int BERR_Code;

constexpr int BKNI_INFINITE = -1;

typedef struct BKNI_EventObj *BKNI_EventHandle;
typedef struct BKNI_MutexObj *BKNI_MutexHandle;
typedef struct BKNI_GroupObj *BKNI_EventGroupHandle;

struct BKNI_MutexSettings {
    uint8_t suspended;  // the one settings byte, 0 at creation
};

struct BKNI_Time {
    unsigned long sec;
    unsigned long usec;
};

// Core operations.
BERR_Code BKNI_CreateEvent(BKNI_EventHandle *event);
void BKNI_DestroyEvent(BKNI_EventHandle event);
void BKNI_SetEvent(BKNI_EventHandle event);
BERR_Code BKNI_WaitForEvent(BKNI_EventHandle event, int timeout_ms);
void BKNI_ResetEvent(BKNI_EventHandle event);

BERR_Code BKNI_CreateMutex(BKNI_MutexHandle *mutex);
void BKNI_DestroyMutex(BKNI_MutexHandle mutex);
BERR_Code BKNI_AcquireMutex(BKNI_MutexHandle mutex);
BERR_Code BKNI_TryAcquireMutex(BKNI_MutexHandle mutex);
int BKNI_ReleaseMutex(BKNI_MutexHandle mutex);
void BKNI_GetMutexSettings(BKNI_MutexHandle mutex, BKNI_MutexSettings *settings);
BERR_Code BKNI_SetMutexSettings(BKNI_MutexHandle mutex, const BKNI_MutexSettings *settings);

BERR_Code BKNI_Sleep(unsigned int ms);
void BKNI_Delay(unsigned int us);
void BKNI_GetTime(BKNI_Time *time);

// The rest of the family.
BERR_Code BKNI_Init(void);
int BKNI_Uninit(void);
void *BKNI_Malloc(size_t size);
void BKNI_Free(void *p);
void *BKNI_Malloc_tagged(size_t size, const char *file, unsigned line);
void BKNI_Free_tagged(void *p, const char *file, unsigned line);
BERR_Code BKNI_GetMallocEntryInfo(const void *mem, void *info);
void BKNI_DumpMallocs(void);
void BKNI_P_Stats_Print(void);
void BKNI_AssertTaskContext(void);
void *BKNI_Memset(void *mem, int ch, size_t n);
void *BKNI_Memcpy(void *dst, const void *src, size_t n);
int BKNI_Memcmp(const void *a, const void *b, size_t n);
void *BKNI_Memchr(const void *mem, int ch, size_t n);
void *BKNI_Memmove(void *dst, const void *src, size_t n);
int BKNI_Printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int BKNI_Vprintf(const char *fmt, va_list ap);
int BKNI_Snprintf(char *buf, size_t n, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int BKNI_Vsnprintf(char *buf, size_t n, const char *fmt, va_list ap);
void BKNI_EnterCriticalSection(void);
void BKNI_LeaveCriticalSection(void);

BERR_Code BKNI_CreateEventGroup(BKNI_EventGroupHandle *group);
void BKNI_DestroyEventGroup(BKNI_EventGroupHandle group);
BERR_Code BKNI_AddEventGroup(BKNI_EventGroupHandle group, BKNI_EventHandle event);
BERR_Code BKNI_RemoveEventGroup(BKNI_EventGroupHandle group, BKNI_EventHandle event);
BERR_Code BKNI_WaitForGroup(BKNI_EventGroupHandle group, int timeout_ms, BKNI_EventHandle *events,
                            unsigned max_events, unsigned *nevents);

void BKNI_Dump(const void *mem, size_t size);
[[noreturn]] void BKNI_Fail(void);

// Internal steps, visible for tests.
struct timespec;
BERR_Code BKNI_P_SetTargetTime(struct timespec *target, int timeout_ms);
// Adds a millisecond time-out to a time and carries the nanoseconds.
void BKNI_P_AddMs(struct timespec *target, const struct timespec *now, int timeout_ms);
uint32_t BKNI_P_GetMicrosecondTick(void);
// Replaces the microsecond tick (tests); null restores the monotonic clock.
void BKNI_P_SetTickSource(uint32_t (*source)(void));
