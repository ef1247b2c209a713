// The task layer: every long-running activity of the system runs on its own
// POSIX thread, made with default attributes and never joined.
#pragma once

#include <pthread.h>

typedef struct BKNI_TaskObj *BKNI_TaskHandle;
typedef void (*BKNI_TaskFunction)(BKNI_TaskHandle task, void *data);

struct BKNI_TaskObj {
    pthread_t thread;
    BKNI_TaskFunction function;
    void *data;
};

// Starts `function(task, data)` on a new thread. Returns 0, or -1 with the
// out-handle set to null when the record or the thread cannot be made.
int BKNI_CreateTask(BKNI_TaskHandle *task, BKNI_TaskFunction function, void *data);
// Cancels and joins the task; -1 (record kept) when the join fails.
int BKNI_DestroyTask(BKNI_TaskHandle task);
// The thread start routine.
void *pthreadProc(void *task);
// How many tasks are still running their function (a cancelled one counts
// as ended). Read with acquire order: whoever sees a task gone also sees
// everything that task did.
int BKNI_TasksRunning(void);
