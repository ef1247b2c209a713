#include "core/clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <memory>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

namespace boxsim::clock {

namespace {

// The virtual clock starts here (1 s), and the virtual wall clock on
// 2026-01-01 00:00:00 UTC.
constexpr int64_t kVirtualStart = 1000000000LL;
constexpr int64_t kVirtualWallStart = 1767225600LL * 1000000000LL;
// Every call of the facade costs this much virtual time: a thread that never
// waits (a loop that polls, a pump into a device that takes everything) still
// moves the clock, and gives way once another thread's deadline has come.
constexpr int64_t kCallCost = 1000;
// The wall time a thread may run without reaching the facade.
constexpr int kStuckWallSeconds = 5;

enum class State { Ready, Running, Blocked, Done };

struct Thread {
    int id = 0;
    std::string name;
    State state = State::Ready;
    std::condition_variable turn;
    const void *key = nullptr;
    int64_t deadline = kNever;
    uint64_t blocked_seq = 0;
    bool woken = false;
    bool cancel = false;
    bool system_thread = false;  // made by thread_create: may be cancelled
    bool handle_set = false;
    pthread_t handle{};
    const char *call = "start";
    std::string detail;
    const char *facade = "";   // the facade call this thread is in
    int64_t facade_start = 0;  // and when it began
    bool name_from_stack = false;
    // Signals: the interruptible call it is in, and whether a signal came.
    Interruptible scope = Interruptible::No;
    bool interrupted = false;
    bool restart = false;
    bool wake_pending = false;  // the signal's wake, for the first wait that notices it
};

struct Scheduler {
    std::mutex m;
    bool on = false;
    uint64_t seed = kDefaultSeed;
    std::mt19937_64 rng;
    double p_switch = 0;
    int64_t now = kVirtualStart;
    Thread *current = nullptr;
    std::vector<std::unique_ptr<Thread>> threads;  // in the order they were made
    int next_id = 0;
    uint64_t seq = 0;
    bool advanced = false;
    std::vector<std::function<void()>> advance_hooks;
    std::function<void(const std::string &)> stuck;
    std::atomic<uint32_t> switches{0};  // 32 bits: lock-free on the box's 32-bit build too
    std::atomic<uint32_t> calls{0};     // calls of the facade on the virtual clock
    std::atomic<uint32_t> progress{0};
    std::atomic<bool> on_flag{false};
};

Scheduler &sched()
{
    static Scheduler *s = new Scheduler;  // never destroyed: threads may wait in it at exit
    return *s;
}

thread_local Thread *t_self = nullptr;

const char *state_name(State s)
{
    switch (s) {
    case State::Ready: return "ready";
    case State::Running: return "running";
    case State::Blocked: return "waits";
    case State::Done: return "ended";
    }
    return "?";
}

std::string describe_locked(Scheduler &s)
{
    std::string out;
    for (auto &t : s.threads) {
        if (t->state == State::Done)
            continue;
        out += "  " + t->name + ": " + state_name(t->state) + " in " + t->call;
        if (!t->detail.empty())
            out += " " + t->detail;
        if (t->state == State::Blocked && t->deadline != kNever) {
            char buf[64];
            snprintf(buf, sizeof buf, " (until %.3f s)", static_cast<double>(t->deadline - kVirtualStart) / 1e9);
            out += buf;
        }
        out += "\n";
    }
    return out;
}

[[noreturn]] void report_stuck(Scheduler &s, std::unique_lock<std::mutex> &lk, const std::string &why)
{
    std::string report = why + "\n" + describe_locked(s);
    auto handler = s.stuck;
    lk.unlock();
    if (handler)
        handler(report);
    fprintf(stderr, "boxsim: %s", report.c_str());
    fflush(stderr);
    _exit(4);
}

// Hands the turn to a ready thread (the caller has set its own state).
// Moves the clock when no thread is ready.
void run_next(Scheduler &s, std::unique_lock<std::mutex> &lk)
{
    std::vector<Thread *> ready;
    for (;;) {
        ready.clear();
        for (auto &t : s.threads) {
            if (t->state == State::Blocked && t->deadline <= s.now) {
                t->state = State::Ready;
                t->woken = false;
            }
            if (t->state == State::Ready)
                ready.push_back(t.get());
        }
        if (!ready.empty())
            break;
        int64_t earliest = kNever;
        for (auto &t : s.threads)
            if (t->state == State::Blocked)
                earliest = std::min(earliest, t->deadline);
        if (earliest == kNever)
            report_stuck(s, lk, "the run is stuck: every thread waits and none has a deadline");
        s.now = earliest;
        s.advanced = true;
    }
    Thread *next = ready.size() == 1 ? ready[0] : ready[s.rng() % ready.size()];
    if (next != s.current)
        s.switches.fetch_add(1, std::memory_order_relaxed);
    s.current = next;
    next->state = State::Running;
    next->turn.notify_one();
}

void wait_turn(Scheduler &s, std::unique_lock<std::mutex> &lk, Thread *me)
{
    me->turn.wait(lk, [&] { return s.current == me; });
    s.progress.fetch_add(1, std::memory_order_relaxed);
}

// Runs the hooks of a clock that moved, on the thread that resumed.
void after_resume(Scheduler &s, std::unique_lock<std::mutex> &lk)
{
    if (!s.advanced)
        return;
    s.advanced = false;
    auto hooks = s.advance_hooks;
    lk.unlock();
    for (auto &h : hooks)
        h();
    lk.lock();
}

// Watches the running thread in wall time: one that does not reach the
// facade within kStuckWallSeconds (BOXSIM_STUCK_SECONDS, which may be a
// fraction, as the test of this report gives) is named, and the run ends.
void watchdog()
{
    Scheduler &s = sched();
    uint32_t seen = s.progress.load();
    int still = 0;
    double limit_s = kStuckWallSeconds;
    if (const char *env = getenv("BOXSIM_STUCK_SECONDS"))
        limit_s = std::max(0.1, strtod(env, nullptr));
    // Looked at five times within the limit, at most once a second.
    const long step_ms = std::clamp(std::lround(limit_s * 200), 20L, 1000L);
    const long steps = std::max(1L, std::lround(limit_s * 1000 / static_cast<double>(step_ms)));
    char limit[32];
    snprintf(limit, sizeof limit, "%g", limit_s);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
        uint32_t now = s.progress.load();
        if (now != seen) {
            seen = now;
            still = 0;
            continue;
        }
        if (++still < steps)
            continue;
        std::unique_lock<std::mutex> lk(s.m);
        if (s.progress.load() != seen) {
            still = 0;
            continue;
        }
        std::string who = s.current ? s.current->name : "?";
        std::string last = s.current ? s.current->call : "?";
        report_stuck(s, lk,
                     "the run is stuck: thread " + who + " ran for more than " + limit +
                         " s of wall time without reaching the box (last call: " + last + ")");
    }
}

std::string symbol_name(void *fn)
{
    Dl_info info;
    if (dladdr(fn, &info) && info.dli_sname)
        return info.dli_sname;
    char buf[32];
    snprintf(buf, sizeof buf, "%p", fn);
    return buf;
}

struct Start {
    Thread *self;
    void *(*start)(void *);
    void *arg;
    std::function<void()> fn;
};

// Ends the thread's part in the run, whether its function returned or it
// was cancelled (the stack unwinds through here then too).
struct Leave {
    Thread *self;
    ~Leave()
    {
        Scheduler &s = sched();
        std::unique_lock<std::mutex> lk(s.m);
        self->state = State::Done;
        self->call = "ended";
        for (auto &t : s.threads)
            if (t->state == State::Blocked && t->key == self) {
                t->state = State::Ready;
                t->woken = true;
            }
        if (s.current == self)
            run_next(s, lk);
        t_self = nullptr;
    }
};

void *trampoline(void *p)
{
    std::unique_ptr<Start> st(static_cast<Start *>(p));
    Scheduler &s = sched();
    t_self = st->self;
    {
        std::unique_lock<std::mutex> lk(s.m);
        wait_turn(s, lk, st->self);
    }
    Leave leave{st->self};
    if (st->start)
        return st->start(st->arg);
    st->fn();
    return nullptr;
}

Thread *add_thread_locked(Scheduler &s, std::string name)
{
    auto t = std::make_unique<Thread>();
    t->id = s.next_id++;
    t->name = std::move(name);
    t->state = State::Ready;
    Thread *raw = t.get();
    s.threads.push_back(std::move(t));
    return raw;
}

} // namespace

void start_virtual(uint64_t seed_value, const std::string &name)
{
    Scheduler &s = sched();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.on)
        return;
    s.on = true;
    s.seed = seed_value;
    s.rng.seed(seed_value);
    // The chance of giving way at a call: none, rare, sometimes, often.
    static constexpr double kChances[] = {0.0, 0.001, 0.01, 0.05, 0.2};
    s.p_switch = kChances[s.rng() % (sizeof kChances / sizeof kChances[0])];
    Thread *me = add_thread_locked(s, name);
    me->state = State::Running;
    me->call = "run";
    s.current = me;
    t_self = me;
    s.on_flag.store(true);
    std::thread(watchdog).detach();
}

bool is_virtual() { return sched().on_flag.load(std::memory_order_relaxed); }
uint64_t seed() { return sched().seed; }
double switch_probability() { return sched().p_switch; }
uint64_t seed_from_env()
{
    const char *v = getenv("BOXSIM_SEED");
    return v && *v ? strtoull(v, nullptr, 10) : kDefaultSeed;
}
bool participant() { return t_self != nullptr; }

bool self_info(SelfInfo &out)
{
    Thread *me = t_self;
    if (!me)
        return false;
    std::lock_guard<std::mutex> g(sched().m);
    out.id = me->id;
    out.name = me->name;
    out.call = me->facade;
    out.call_start_ns = me->facade_start;
    return true;
}
uint64_t switches() { return sched().switches.load(); }
uint64_t facade_calls() { return sched().calls.load(); }

namespace {

int64_t host_clock_ns(clockid_t id)
{
    struct timespec ts;
    ::clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The real clock's pace, and where the box's and the host's clocks met when
// it was set: box time = base + host time since then × speed. The bases are
// written before the pace is published and read after it is seen (plain
// 64-bit values: no 64-bit atomics on the box's 32-bit build).
std::atomic<int> g_speed{1};
int64_t g_speed_base = 0;
int64_t g_speed_wall_base = 0;

} // namespace

void set_real_speed(int speed)
{
    g_speed_base = host_clock_ns(CLOCK_MONOTONIC);
    g_speed_wall_base = host_clock_ns(CLOCK_REALTIME);
    g_speed.store(std::max(1, speed), std::memory_order_release);
}
int real_speed() { return g_speed.load(std::memory_order_acquire); }

int64_t host_wait_ns(int64_t box_ns)
{
    int speed = real_speed();
    return speed == 1 || box_ns <= 0 ? box_ns : (box_ns + speed - 1) / speed;
}

int64_t host_time_ns(int64_t box_ns)
{
    int speed = real_speed();
    if (speed == 1)
        return box_ns;
    return g_speed_base + (box_ns - g_speed_base) / speed;
}

int64_t now_ns()
{
    Scheduler &s = sched();
    if (!s.on_flag.load(std::memory_order_relaxed)) {
        int64_t host = host_clock_ns(CLOCK_MONOTONIC);
        int speed = real_speed();
        if (speed == 1)
            return host;
        return g_speed_base + (host - g_speed_base) * speed;
    }
    std::lock_guard<std::mutex> g(s.m);
    return s.now;
}

int64_t wall_ns()
{
    Scheduler &s = sched();
    if (!s.on_flag.load(std::memory_order_relaxed)) {
        if (real_speed() == 1)
            return host_clock_ns(CLOCK_REALTIME);
        return g_speed_wall_base + (now_ns() - g_speed_base);
    }
    std::lock_guard<std::mutex> g(s.m);
    return kVirtualWallStart + (s.now - kVirtualStart);
}

bool block(const void *key, int64_t deadline_ns, const char *call, const std::string &detail)
{
    Scheduler &s = sched();
    Thread *me = t_self;
    std::unique_lock<std::mutex> lk(s.m);
    me->state = State::Blocked;
    me->key = key;
    me->deadline = deadline_ns;
    me->blocked_seq = ++s.seq;
    me->woken = false;
    me->call = call;
    me->detail = detail;
    run_next(s, lk);
    wait_turn(s, lk, me);
    me->key = nullptr;
    me->deadline = kNever;
    after_resume(s, lk);
    // Every wait but a mutex's is a cancellation point, as in POSIX.
    bool cancelled = me->cancel && me->system_thread && std::string_view(call) != "pthread_mutex_lock";
    bool woken = me->woken;
    if (cancelled)
        me->cancel = false;
    lk.unlock();
    if (cancelled)
        pthread_exit(PTHREAD_CANCELED);
    return woken;
}

void wake_one(const void *key)
{
    Scheduler &s = sched();
    if (!s.on_flag.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> g(s.m);
    Thread *first = nullptr;
    for (auto &t : s.threads)
        if (t->state == State::Blocked && t->key == key && (!first || t->blocked_seq < first->blocked_seq))
            first = t.get();
    if (first) {
        first->state = State::Ready;
        first->woken = true;
    }
}

void wake_all(const void *key)
{
    Scheduler &s = sched();
    if (!s.on_flag.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> g(s.m);
    for (auto &t : s.threads)
        if (t->state == State::Blocked && t->key == key) {
            t->state = State::Ready;
            t->woken = true;
        }
}

// The name of the function an address lies in, without its arguments;
// empty when the symbol table does not show one.
std::string function_name(void *pc)
{
    Dl_info info;
    if (!dladdr(pc, &info) || !info.dli_sname)
        return {};
    int status = 0;
    char *plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && plain ? plain : info.dli_sname;
    free(plain);
    return name.substr(0, name.find('('));
}

// The name of a task started through a wrapper that has no exported name
// (a file-local function that calls the task's body): the first named
// function the thread runs under the task layer's start routine, read from
// its stack. Empty when the stack does not show one.
std::string task_name_from_stack()
{
    void *frames[64];
    int n = backtrace(frames, 64);
    auto name_of = [](void *pc) { return function_name(pc); };
    int start = -1;
    for (int i = n - 1; i >= 0 && start < 0; --i)
        if (name_of(frames[i]) == "pthreadProc")
            start = i;
    for (int i = start - 1; i >= 0; --i) {
        std::string name = name_of(frames[i]);
        if (!name.empty())
            return name;
    }
    return {};
}

void facade_call(const char *call)
{
    Thread *me = t_self;
    if (!me)
        return;
    Scheduler &s = sched();
    if (me->name_from_stack) {
        me->name_from_stack = false;
        std::string name = task_name_from_stack();
        if (!name.empty()) {
            std::lock_guard<std::mutex> g(s.m);
            me->name = std::move(name);
        }
    }
    std::unique_lock<std::mutex> lk(s.m);
    me->call = call;
    me->detail.clear();
    me->facade = call;
    me->facade_start = s.now;
    s.progress.fetch_add(1, std::memory_order_relaxed);
    s.now += kCallCost;
    s.calls.fetch_add(1, std::memory_order_relaxed);
    bool due = false;
    for (auto &t : s.threads)
        if (t->state == State::Blocked && t->deadline <= s.now) {
            due = true;
            break;
        }
    if (!due && (s.p_switch <= 0 || std::uniform_real_distribution<double>(0.0, 1.0)(s.rng) >= s.p_switch))
        return;
    me->state = State::Ready;
    run_next(s, lk);
    wait_turn(s, lk, me);
    after_resume(s, lk);
}

// Set once a signal may come: until then no call pays for the bookkeeping.
std::atomic<bool> g_signals{false};

void enable_signals() { g_signals.store(true); }

InterruptScope::InterruptScope(Interruptible kind)
{
    Thread *me = t_self;
    if (!me || kind == Interruptible::No || !g_signals.load(std::memory_order_relaxed))
        return;
    std::lock_guard<std::mutex> g(sched().m);
    me->scope = kind;
    me->interrupted = false;
    on_ = true;
}

InterruptScope::~InterruptScope()
{
    if (!on_)
        return;
    std::lock_guard<std::mutex> g(sched().m);
    t_self->scope = Interruptible::No;
    t_self->interrupted = false;
    t_self->wake_pending = false;
}

bool InterruptScope::interrupted() const
{
    if (!on_)
        return false;
    std::lock_guard<std::mutex> g(sched().m);
    return t_self->interrupted;
}

bool InterruptScope::restart() const
{
    if (!on_)
        return false;
    std::lock_guard<std::mutex> g(sched().m);
    return t_self->restart && t_self->scope == Interruptible::Restartable;
}

void InterruptScope::reset()
{
    if (!on_)
        return;
    std::lock_guard<std::mutex> g(sched().m);
    t_self->interrupted = false;
}

bool interrupted_now()
{
    Thread *me = t_self;
    if (!me || !g_signals.load(std::memory_order_relaxed))
        return false;
    std::lock_guard<std::mutex> g(sched().m);
    bool pending = me->wake_pending;
    me->wake_pending = false;
    return pending;
}

bool signal_arrived()
{
    Thread *me = t_self;
    if (!me || !g_signals.load(std::memory_order_relaxed))
        return false;
    std::lock_guard<std::mutex> g(sched().m);
    return me->interrupted && !(me->restart && me->scope == Interruptible::Restartable);
}

SignalDelivery deliver_signal(uint64_t draw, bool restart)
{
    Scheduler &s = sched();
    if (!s.on_flag.load())
        return {};
    std::lock_guard<std::mutex> g(s.m);
    std::vector<Thread *> system;
    for (auto &t : s.threads)
        if (t->system_thread && t->state != State::Done)
            system.push_back(t.get());
    if (system.empty())
        return {};
    Thread *t = system[draw % system.size()];
    SignalDelivery d{t->name, "handled"};
    if (t->state != State::Blocked)
        return d;
    std::string_view call = t->call;
    if (t->scope != Interruptible::No) {
        t->interrupted = true;
        t->restart = restart;
        t->wake_pending = true;
        d.effect = std::string("interrupted ") + t->call;
    } else if (call == "pthread_cond_wait" || call == "pthread_cond_timedwait") {
        d.effect = std::string("woke ") + t->call;
    } else {
        return d;
    }
    t->state = State::Ready;
    t->woken = true;
    return d;
}

void sleep_until(int64_t deadline_ns)
{
    if (participant()) {
        static const char kSleep = 0;
        while (now_ns() < deadline_ns && !interrupted_now())
            block(&kSleep, deadline_ns, "sleep");
        return;
    }

    int64_t left = deadline_ns - now_ns();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(host_wait_ns(left)));
}

std::thread spawn(std::string name, std::function<void()> fn)
{
    Scheduler &s = sched();
    if (!s.on_flag.load() || !participant())
        return std::thread(std::move(fn));
    Thread *t;
    {
        std::lock_guard<std::mutex> g(s.m);
        t = add_thread_locked(s, std::move(name));
    }
    auto st = std::make_unique<Start>();
    st->self = t;
    st->fn = std::move(fn);
    Start *raw = st.release();
    // The new thread waits for its turn, which this thread holds until the
    // handle is stored.
    std::thread th([raw] { trampoline(raw); });
    std::lock_guard<std::mutex> g(s.m);
    t->handle = th.native_handle();
    t->handle_set = true;
    return th;
}

static Thread *find_locked(Scheduler &s, pthread_t handle)
{
    for (auto &t : s.threads)
        if (t->handle_set && t->state != State::Done && pthread_equal(t->handle, handle))
            return t.get();
    return nullptr;
}

// Waits, giving up the turn, until the thread with this handle has ended.
static void wait_ended(pthread_t handle)
{
    Scheduler &s = sched();
    for (;;) {
        Thread *target;
        std::string name;
        {
            std::lock_guard<std::mutex> g(s.m);
            target = find_locked(s, handle);
            if (target)
                name = target->name;
        }
        if (!target)
            return;
        block(target, kNever, "pthread_join", name);
    }
}

void join(std::thread &th)
{
    if (!th.joinable())
        return;
    if (participant())
        wait_ended(th.native_handle());
    th.join();
}

int thread_create(pthread_t *thread, void *(*start)(void *), void *arg, const std::string &name)
{
    Scheduler &s = sched();
    if (!s.on_flag.load())
        return ::pthread_create(thread, nullptr, start, arg);
    Thread *t;
    {
        std::lock_guard<std::mutex> g(s.m);
        t = add_thread_locked(s, name.empty() ? symbol_name(reinterpret_cast<void *>(start)) : name);
        t->system_thread = true;
        // A task whose function has no name of its own is named by its
        // stack at its first call.
        t->name_from_stack = t->name == "task";
    }
    auto st = std::make_unique<Start>();
    st->self = t;
    st->start = start;
    st->arg = arg;
    Start *raw = st.get();
    // The new thread waits for its turn before it looks at its record, and
    // this thread holds the turn until the handle is stored.
    int rc = ::pthread_create(thread, nullptr, trampoline, raw);
    std::lock_guard<std::mutex> g(s.m);
    if (rc != 0) {
        t->state = State::Done;
        return rc;
    }
    st.release();
    t->handle = *thread;
    t->handle_set = true;
    return 0;
}

int thread_cancel(pthread_t thread)
{
    Scheduler &s = sched();
    if (!s.on_flag.load() || !participant())
        return ::pthread_cancel(thread);
    std::lock_guard<std::mutex> g(s.m);
    Thread *t = find_locked(s, thread);
    if (!t)
        return ::pthread_cancel(thread);
    t->cancel = true;
    if (t->state == State::Blocked && t->call != std::string_view("pthread_mutex_lock")) {
        t->state = State::Ready;
        t->woken = true;
    }
    return 0;
}

int thread_join(pthread_t thread, void **result)
{
    if (participant())
        wait_ended(thread);
    return ::pthread_join(thread, result);
}

void on_advance(std::function<void()> hook)
{
    Scheduler &s = sched();
    std::lock_guard<std::mutex> g(s.m);
    s.advance_hooks.push_back(std::move(hook));
}

void on_stuck(std::function<void(const std::string &)> handler)
{
    Scheduler &s = sched();
    std::lock_guard<std::mutex> g(s.m);
    s.stuck = std::move(handler);
}

std::string describe_threads()
{
    Scheduler &s = sched();
    std::lock_guard<std::mutex> g(s.m);
    return describe_locked(s);
}

} // namespace boxsim::clock
