#include "app/task.h"

#include "platform/os.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int> g_tasks_running{0};

// Counts the task out when its function returns or the thread is cancelled
// (cancellation unwinds the stack, so the destructor runs then too).
struct TaskCount {
    ~TaskCount() { g_tasks_running.fetch_sub(1, std::memory_order_release); }
};

} // namespace

void *pthreadProc(void *arg)
{
    TaskCount counted;
    BKNI_TaskHandle task = static_cast<BKNI_TaskHandle>(arg);
    task->function(task, task->data);
    return nullptr;
}

int BKNI_TasksRunning(void) { return g_tasks_running.load(std::memory_order_acquire); }

int BKNI_CreateTask(BKNI_TaskHandle *task, BKNI_TaskFunction function, void *data)
{
    BKNI_TaskHandle t = new (std::nothrow) BKNI_TaskObj{};
    *task = t;
    if (!t)
        return -1;
    t->function = function;
    t->data = data;
    g_tasks_running.fetch_add(1, std::memory_order_relaxed);
    if (os::pthread_create(&t->thread, pthreadProc, t) != 0) {
        g_tasks_running.fetch_sub(1, std::memory_order_relaxed);
        delete t;
        // Callers may test the handle: leave nothing dangling in it.
        *task = nullptr;
        return -1;
    }
    return 0;
}

int BKNI_DestroyTask(BKNI_TaskHandle task)
{
    os::pthread_cancel(task->thread);
    if (os::pthread_join(task->thread, nullptr) != 0)
        return -1;
    delete task;
    return 0;
}
