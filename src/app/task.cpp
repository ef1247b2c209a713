#include "app/task.h"

#include <cstdlib>
#include <new>

void *pthreadProc(void *arg)
{
    BKNI_TaskHandle task = static_cast<BKNI_TaskHandle>(arg);
    task->function(task, task->data);
    return nullptr;
}

int BKNI_CreateTask(BKNI_TaskHandle *task, BKNI_TaskFunction function, void *data)
{
    BKNI_TaskHandle t = new (std::nothrow) BKNI_TaskObj{};
    *task = t;
    if (!t)
        return -1;
    t->function = function;
    t->data = data;
    if (pthread_create(&t->thread, nullptr, pthreadProc, t) != 0) {
        delete t;
        // Callers may test the handle: leave nothing dangling in it.
        *task = nullptr;
        return -1;
    }
    return 0;
}

int BKNI_DestroyTask(BKNI_TaskHandle task)
{
    pthread_cancel(task->thread);
    if (pthread_join(task->thread, nullptr) != 0)
        return -1;
    delete task;
    return 0;
}
