// The simulated box's clock and the scheduler of its threads.
//
// On the real clock (a person at the front panel page) the box's threads run
// as the host schedules them, and time is the host's monotonic clock.
//
// On the virtual clock the box owns time. Exactly one of its threads runs at
// a time: the system's tasks, the device models' and shell commands' threads
// and the scenario driver. A thread gives up its turn whenever it waits (a
// sleep, a poll, a blocking read, an event, a mutex held by another, a
// condition wait); when every thread waits, the clock jumps to the earliest
// deadline. Which ready thread runs next is drawn from a generator seeded by
// the run's seed, and at any call of the facade the running thread may be made
// to give way (with a probability the seed draws), so that other seeds explore
// other interleavings. The same seed gives the same run.
//
// A run in which every thread waits with no deadline is stuck; so is one whose
// running thread does not reach the facade for five seconds of wall time.
// Both are reported with every thread's name and what it waits on.
//
// The clock is process-wide: a Box chooses it when it is made (BoxClock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>

namespace boxsim {

// The clock a box runs on, chosen when the box is made.
struct BoxClock {
    bool virtual_time = false;
    uint64_t seed = 1;
};

// The seed of runs that name none.
constexpr uint64_t kDefaultSeed = 20261209;

namespace clock {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// Puts the process on the virtual clock (if it is not already); the calling
// thread becomes the first of the box's threads and holds the turn.
void start_virtual(uint64_t seed, const std::string &name = "main");
bool is_virtual();
uint64_t seed();
// The chance, drawn from the seed, that a call of the facade gives way.
double switch_probability();
// The seed named by BOXSIM_SEED, or kDefaultSeed: how tests and fuzz targets
// that make their own boxes choose it.
uint64_t seed_from_env();

// The box's monotonic clock in nanoseconds (virtual, or CLOCK_MONOTONIC).
int64_t now_ns();
// The real clock's pace: the box's time runs `speed` times as fast as the
// host's (1, the default, is the host's own pace), and every wait on it is
// that much shorter. For a served box whose test waits on what the system
// does in seconds of its own time (a display scrolling, a task ending)
// rather than on its pace. Set before the box is made; no effect on the
// virtual clock.
void set_real_speed(int speed);
int real_speed();
// A wait of `box_ns` on the real clock, in the host's nanoseconds.
int64_t host_wait_ns(int64_t box_ns);
// A time of the box's monotonic clock as the host's CLOCK_MONOTONIC.
int64_t host_time_ns(int64_t box_ns);
// The wall clock (virtual: a fixed day plus the virtual time).
int64_t wall_ns();

// True when the calling thread is one of the box's threads on the virtual
// clock (and so must wait through the scheduler).
bool participant();

// The calling box thread as the timeline and the trace name it: its number
// (unique in the run), its name, and the facade call it is in with the box
// time that call began. False for a thread that is not the box's.
struct SelfInfo {
    int id = -1;
    std::string name;
    const char *call = "";
    int64_t call_start_ns = 0;
};
bool self_info(SelfInfo &out);

// Blocks the calling thread until wake_one/wake_all(key) or the deadline
// (kNever: none). Returns true when woken, false at the deadline. `call` and
// `detail` say what it waits on, for a stuck run's report. Only for
// participants (check participant() first).
bool block(const void *key, int64_t deadline_ns, const char *call, const std::string &detail = {});
// Makes threads blocked on `key` ready (no effect on the real clock).
void wake_one(const void *key);
void wake_all(const void *key);

// A call of the facade: marks progress and, on the virtual clock, costs a
// microsecond; gives the turn away when another thread's deadline has come,
// or by the seed's chance.
void facade_call(const char *call);

// Sleeps until a time of the box's clock (either clock).
void sleep_until(int64_t deadline_ns);
inline void sleep_for_ms(int64_t ms) { sleep_until(now_ns() + ms * 1000000); }
template <class Rep, class Period> void sleep_for(std::chrono::duration<Rep, Period> d)
{
    sleep_until(now_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

// Signals. A signal with a handler reaches one of the system's threads (made
// by thread_create) on the virtual clock; what it does depends on where that
// thread waits. A call that a signal may interrupt marks itself with an
// InterruptScope: `Always` for poll and nanosleep (EINTR whatever the
// handler's flags), `Restartable` for a read, write or ioctl that may wait
// (EINTR without SA_RESTART, restarted with it). A thread waiting in a
// condition variable wakes (a spurious wake-up, which POSIX allows); one
// waiting anywhere else, or running, only runs the handler.
enum class Interruptible { No, Always, Restartable };
class InterruptScope {
public:
    explicit InterruptScope(Interruptible kind);
    ~InterruptScope();
    InterruptScope(const InterruptScope &) = delete;
    InterruptScope &operator=(const InterruptScope &) = delete;
    // A signal came while the call waited; `restart`: its handler has SA_RESTART.
    bool interrupted() const;
    bool restart() const;
    // Forgets the signal (the call is restarted).
    void reset();

private:
    bool on_ = false;
};
// True, once per signal, when a signal interrupted the calling thread's
// interruptible call: the wait that asks returns at once; a later wait of the
// same call waits again (a driver that loops waits on, as with SA_RESTART).
bool interrupted_now();
// True when a signal interrupted the calling thread's interruptible call
// (not consumed): a driver whose wait loops asks it before waiting again and
// returns -EINTR.
bool signal_arrived();
// Sends a signal to one of the system's threads, chosen by `draw`. Returns
// the thread's name and what the signal did ("interrupted poll", "woke
// pthread_cond_wait", "handled"), or an empty name when there is no thread
// to take it (or the clock is the real one).
struct SignalDelivery {
    std::string thread;
    std::string effect;
};
SignalDelivery deliver_signal(uint64_t draw, bool restart);
// Called before the first signal may be sent: from then on interruptible
// calls note themselves (before, they cost nothing).
void enable_signals();

// Threads of the simulated box: on the virtual clock they take turns with the
// system's; on the real clock they are plain threads.
std::thread spawn(std::string name, std::function<void()> fn);

// The name of the function an address lies in, without its arguments (a
// task's name for reports of a stuck run); empty when the symbol table has none.
std::string function_name(void *pc);
// Joins a thread made by spawn (gives up the turn while it waits).
void join(std::thread &t);

// The system's threads (os::pthread_create and friends).
int thread_create(pthread_t *thread, void *(*start)(void *), void *arg, const std::string &name);
int thread_cancel(pthread_t thread);
int thread_join(pthread_t thread, void **result);

// Called, without the scheduler's lock, by a thread that resumes after the
// clock moved (the standard-output capture records a waiting partial line).
void on_advance(std::function<void()> hook);

// What happens when the run is stuck: `report` names each thread and what it
// waits on. The default prints it and ends the process with status 4.
void on_stuck(std::function<void(const std::string &report)> handler);
// The report of the threads as they are now (for the tool and tests).
std::string describe_threads();

// How many times the turn changed hands (the benchmark of a switch).
uint64_t switches();
// How many calls of the facade the box's threads made on the virtual clock
// (a task that spins on a failing call shows here).
uint64_t facade_calls();

} // namespace clock

// The box's monotonic clock as a std::chrono clock, for device models that
// reckon with time points.
struct BoxSteadyClock {
    using rep = int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<BoxSteadyClock, duration>;
    static constexpr bool is_steady = true;
    static time_point now() { return time_point(duration(clock::now_ns())); }
    static int64_t ns(time_point t) { return t.time_since_epoch().count(); }
};

// A condition variable on the box's clock: on the virtual clock a waiting
// thread gives up its turn. Used with a std::mutex as std::condition_variable.
class CondVar {
public:
    void notify_all()
    {
        cv_.notify_all();
        clock::wake_all(this);
    }
    void notify_one()
    {
        cv_.notify_one();
        clock::wake_one(this);
    }
    // Waits until pred() or the deadline (box nanoseconds); returns pred().
    template <class Pred>
    bool wait_until(std::unique_lock<std::mutex> &lk, int64_t deadline_ns, Pred pred, const char *what = "wait")
    {
        while (!pred()) {
            if (clock::participant()) {
                if (clock::now_ns() >= deadline_ns || clock::interrupted_now())
                    return pred();
                lk.unlock();
                clock::block(this, deadline_ns, what);
                lk.lock();
                continue;
            }
            if (deadline_ns == clock::kNever) {
                cv_.wait(lk);
                continue;
            }
            int64_t left = deadline_ns - clock::now_ns();
            if (left <= 0)
                return pred();
            cv_.wait_for(lk, std::chrono::nanoseconds(clock::host_wait_ns(left)));
        }
        return true;
    }
    template <class Pred> void wait(std::unique_lock<std::mutex> &lk, Pred pred, const char *what = "wait")
    {
        wait_until(lk, clock::kNever, pred, what);
    }
    template <class Pred>
    bool wait_for_ms(std::unique_lock<std::mutex> &lk, int64_t ms, Pred pred, const char *what = "wait")
    {
        return wait_until(lk, clock::now_ns() + ms * 1000000, pred, what);
    }

private:
    std::condition_variable cv_;
};

} // namespace boxsim
