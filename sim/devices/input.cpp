// The simulated input devices: front-panel keys, the remote control and a
// USB keyboard that comes and goes, as evdev nodes with their sysfs names.
// Each open is an evdev client with a bounded buffer of its own; keys reach
// the clients through a small input core (key state, reports, auto-repeat)
// on the box's clock.
#include "devices/input.h"

#include "core/box.h"
#include "core/clock.h"
#include "platform/box_abi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace boxsim {

namespace {

using Rec = box_abi::InputEvent;

constexpr int kEvents = 5;
constexpr short kPollErr = 0x008;
constexpr short kPollHup = 0x010;
constexpr int kDefaultTypingMs = 150;
// A person plugs the keyboard and starts typing once the system has it open;
// one who gets no sign of that types anyway after this long.
constexpr int64_t kTypeWaitNs = 5'000'000'000;
constexpr int64_t kMs = 1'000'000;

// One evdev client: its buffer and how much of it belongs to complete
// reports (only those can be read).
struct Client {
    std::deque<Rec> buf;
    size_t readable = 0;
};

struct ClientRef {
    uint64_t instance = 0;
    std::shared_ptr<Client> client;
};

struct EventDev {
    bool configured = false;
    bool plugged = false;
    input::Role role = input::Role::Other;
    std::string name;
    int typing_ms = kDefaultTypingMs;
    uint64_t instance = 0;  // grows with every plug; open handles keep theirs
    std::vector<std::shared_ptr<Client>> clients;
    std::set<int> down;     // keys held, as the input core keeps them
    uint64_t overflows = 0;
};

// Reports still to come: a typed text, or the repeats and release of a held
// key. Offsets are from the job's start.
struct Job {
    int event = 0;
    uint64_t instance = 0;
    int held = -1;               // a held key's code; -1 for typing
    int64_t start_ns = -1;       // -1: not begun (typing waits its turn)
    int64_t give_up_ns = -1;     // a wait for a client ends then
    std::vector<std::pair<int64_t, std::vector<Rec>>> steps;
    size_t next = 0;
};

struct InputState {
    std::mutex m;
    CondVar cv;
    EventDev dev[kEvents];
    uint64_t next_instance = 1;
    std::list<Job> jobs;
    bool worker_running = false;
    bool kick = false;
    bool stop = false;
    std::thread worker;

    ~InputState()
    {
        std::thread t;
        {
            std::lock_guard<std::mutex> g(m);
            stop = true;
            t = std::move(worker);
        }
        cv.notify_all();
        if (t.joinable())
            clock::join(t);
    }
};

std::string node_path(int n) { return "/dev/event" + std::to_string(n); }
std::string sys_dir(int n) { return "/sys/class/input/event" + std::to_string(n); }

Rec record_at(int64_t ms, uint16_t type, uint16_t code, int32_t value)
{
    Rec e{};
    e.tv_sec = static_cast<uint32_t>(ms / 1000);
    e.tv_usec = static_cast<uint32_t>((ms % 1000) * 1000);
    e.type = type;
    e.code = code;
    e.value = value;
    return e;
}

// evdev's pass of one record to one client: a record that would fill the
// ring drops everything unread and leaves SYN_DROPPED and itself; a
// SYN_REPORT makes what came before it readable.
bool pass_to_client(Client &c, const Rec &e)
{
    bool dropped = false;
    c.buf.push_back(e);
    if (c.buf.size() >= input::kClientBuffer) {
        c.buf.clear();
        Rec d = e;
        d.type = input::kEvSyn;
        d.code = input::kSynDropped;
        d.value = 0;
        c.buf.push_back(d);
        c.buf.push_back(e);
        c.readable = 0;
        dropped = true;
    }
    if (e.type == input::kEvSyn && e.code == input::kSynReport)
        c.readable = c.buf.size();
    return dropped;
}

// Passes one record to every client of the device; notes overflows for the
// trace. The caller holds the state lock.
void pass(EventDev &d, int n, const Rec &e, std::vector<json> &notes)
{
    for (auto &c : d.clients)
        if (pass_to_client(*c, e)) {
            ++d.overflows;
            notes.push_back({{"op", "input"}, {"what", "SYN_DROPPED"}, {"event", n}});
        }
}

// The input core: one report of the driver (or of its own auto-repeat). Key
// records that do not change the key's state are dropped (a repeat only
// while the key is down); the report ends with SYN_REPORT when anything is
// left of it.
void report(Box &box, EventDev &d, int n, const std::vector<Rec> &recs, std::vector<json> &notes)
{
    int64_t ms = box.now_ms();
    std::vector<Rec> out;
    for (Rec r : recs) {
        if (r.type == input::kEvKey) {
            bool is_down = d.down.count(r.code) != 0;
            if (r.value == 2 ? !is_down : (r.value != 0) == is_down)
                continue;
            if (r.value == 1)
                d.down.insert(r.code);
            else if (r.value == 0)
                d.down.erase(r.code);
        }
        Rec t = record_at(ms, r.type, r.code, r.value);
        out.push_back(t);
    }
    if (out.empty())
        return;
    // The core's own auto-repeat ends its report with a SYN_REPORT of value 1.
    bool autorepeat = out.size() == 1 && out[0].type == input::kEvKey && out[0].value == 2;
    out.push_back(record_at(ms, input::kEvSyn, input::kSynReport, autorepeat ? 1 : 0));
    for (const Rec &r : out)
        pass(d, n, r, notes);
}

Rec key_rec(int code, int value) { return record_at(0, input::kEvKey, static_cast<uint16_t>(code), value); }
Rec scan_rec(int usage) { return record_at(0, input::kEvMsc, input::kMscScan, 0x70000 + usage); }

class EventNode : public Device {
public:
    EventNode(Box &box, int n) : box_(box), n_(n) {}

    int open(OpenFile &of) override
    {
        auto &st = box_.part<InputState>();
        {
            std::lock_guard<std::mutex> g(st.m);
            EventDev &d = st.dev[n_];
            if (!d.plugged)
                return -ENODEV;
            auto ref = std::make_shared<ClientRef>();
            ref->instance = d.instance;
            ref->client = std::make_shared<Client>();
            d.clients.push_back(ref->client);
            of.state = ref;
            st.kick = true;
        }
        st.cv.notify_all();  // a person waiting to type sees the keyboard taken
        return 0;
    }

    void release(OpenFile &of) override
    {
        auto &st = box_.part<InputState>();
        std::lock_guard<std::mutex> g(st.m);
        auto ref = std::static_pointer_cast<ClientRef>(of.state);
        if (!ref)
            return;
        auto &cl = st.dev[n_].clients;
        cl.erase(std::remove(cl.begin(), cl.end(), ref->client), cl.end());
    }

    ssize_t read(OpenFile &of, void *buf, size_t len) override
    {
        if (len < sizeof(Rec))
            return -EINVAL;
        auto &st = box_.part<InputState>();
        for (;;) {
            {
                std::lock_guard<std::mutex> g(st.m);
                if (gone(st, of))
                    return -ENODEV;
                Client &c = client(of);
                if (c.readable > 0) {
                    // Whole records of complete reports, as many as fit.
                    size_t n = 0;
                    auto *out = static_cast<unsigned char *>(buf);
                    while (c.readable > 0 && (n + 1) * sizeof(Rec) <= len) {
                        memcpy(out + n * sizeof(Rec), &c.buf.front(), sizeof(Rec));
                        c.buf.pop_front();
                        --c.readable;
                        ++n;
                    }
                    return static_cast<ssize_t>(n * sizeof(Rec));
                }
                if (of.flags & O_NONBLOCK)
                    return -EAGAIN;
            }
            if (box_.stopping())
                return -EINTR;
            box_.wait_for([&] { return ready(st, of); }, std::chrono::milliseconds(500), "evdev read");
        }
    }

    short poll(OpenFile &of, short events) override
    {
        auto &st = box_.part<InputState>();
        std::lock_guard<std::mutex> g(st.m);
        if (gone(st, of))
            return kPollErr | kPollHup;
        return client(of).readable == 0 ? 0 : static_cast<short>(events & POLLIN_);
    }

    // Key records go into the trace as their fields, not as bytes.
    void describe_write(const void *buf, size_t len, json &ev) const override
    {
        json recs = json::array();
        for (size_t off = 0; off + sizeof(Rec) <= len; off += sizeof(Rec)) {
            Rec e;
            memcpy(&e, static_cast<const unsigned char *>(buf) + off, sizeof e);
            recs.push_back({e.type, e.code, e.value});
        }
        ev["events"] = recs;
    }

private:
    static Client &client(OpenFile &of) { return *std::static_pointer_cast<ClientRef>(of.state)->client; }
    bool gone(InputState &st, OpenFile &of) const
    {
        auto ref = std::static_pointer_cast<ClientRef>(of.state);
        return !st.dev[n_].plugged || !ref || ref->instance != st.dev[n_].instance;
    }
    bool ready(InputState &st, OpenFile &of) const
    {
        std::lock_guard<std::mutex> g(st.m);
        return gone(st, of) || client(of).readable > 0;
    }

    Box &box_;
    int n_;
};

// Adds or removes the nodes of device n; the caller holds the state lock.
void set_nodes(Box &box, InputState &st, int n, bool plugged)
{
    EventDev &d = st.dev[n];
    d.plugged = plugged;
    d.clients.clear();
    d.down.clear();
    if (plugged) {
        d.instance = st.next_instance++;
        box.add_file(sys_dir(n) + "/device/name", d.name + "\n")->read_only = true;
        box.add_node(node_path(n), std::make_shared<EventNode>(box, n));
    } else {
        box.remove(node_path(n));
        box.remove(sys_dir(n));
    }
}

void record_notes(Box &box, std::vector<json> &notes)
{
    for (auto &n : notes)
        box.trace().record(std::move(n));
    notes.clear();
}

// Whether a typing job is the first of its device still to begin or going on.
bool first_in_line(InputState &st, const Job &j)
{
    for (const Job &o : st.jobs) {
        if (&o == &j)
            return true;
        if (o.event == j.event && o.held < 0)
            return false;
    }
    return true;
}

// The reports still to come, on the box's clock. Runs while there are jobs.
void run_jobs(Box &box, InputState &st)
{
    std::unique_lock<std::mutex> g(st.m);
    std::vector<json> notes;
    for (;;) {
        if (st.stop || box.stopping()) {
            st.worker_running = false;
            return;
        }
        // Nothing left: the thread ends on its own (a box that is never torn
        // down would otherwise keep it unjoined); the next job starts another.
        auto finish = [&] {
            st.worker_running = false;
            if (st.worker.joinable() && st.worker.get_id() == std::this_thread::get_id())
                st.worker.detach();
        };
        int64_t now = clock::now_ns();
        int64_t next = clock::kNever;
        bool delivered = false;
        for (auto it = st.jobs.begin(); it != st.jobs.end();) {
            Job &j = *it;
            EventDev &d = st.dev[j.event];
            if (!d.plugged || d.instance != j.instance) {
                it = st.jobs.erase(it);  // unplugged meanwhile: the rest is never sent
                continue;
            }
            if (j.start_ns < 0) {
                if (!first_in_line(st, j)) {
                    ++it;
                    continue;
                }
                if (j.give_up_ns < 0)
                    j.give_up_ns = now + kTypeWaitNs;
                if (d.clients.empty() && now < j.give_up_ns) {
                    next = std::min(next, j.give_up_ns);
                    ++it;
                    continue;
                }
                j.start_ns = now;
                notes.push_back({{"op", "event"}, {"what", "typing"}, {"event", j.event}, {"clients", d.clients.size()}});
            }
            while (j.next < j.steps.size() && j.start_ns + j.steps[j.next].first <= now) {
                report(box, d, j.event, j.steps[j.next].second, notes);
                ++j.next;
                delivered = true;
            }
            if (j.next == j.steps.size()) {
                if (j.held < 0)
                    notes.push_back({{"op", "event"}, {"what", "typed"}, {"event", j.event}});
                it = st.jobs.erase(it);
                continue;
            }
            next = std::min(next, j.start_ns + j.steps[j.next].first);
            ++it;
        }
        if (delivered || !notes.empty()) {
            g.unlock();
            record_notes(box, notes);
            if (delivered)
                box.changed();
            g.lock();
            continue;
        }
        if (st.jobs.empty()) {
            finish();
            return;
        }
        st.cv.wait_until(g, next, [&] { return st.stop || st.kick; }, "input reports");
        st.kick = false;
    }
}

// Hands a job to the thread that sends the reports, starting it when idle
// (under the lock, so that the thread finds its handle stored).
void schedule(Box &box, Job job)
{
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    st.jobs.push_back(std::move(job));
    st.kick = true;
    if (st.worker_running || st.stop) {
        st.cv.notify_all();
        return;
    }
    st.worker_running = true;
    st.worker = clock::spawn("input reports", [&box, &st] { run_jobs(box, st); });
}

int find_role(InputState &st, input::Role role)
{
    for (int n = 0; n < kEvents; ++n)
        if (st.dev[n].configured && st.dev[n].role == role)
            return n;
    return -1;
}

input::Role role_of(const std::string &s)
{
    if (s == "panel")
        return input::Role::Panel;
    if (s == "remote")
        return input::Role::Remote;
    if (s == "keyboard")
        return input::Role::Keyboard;
    return input::Role::Other;
}

const char *role_name(input::Role r)
{
    switch (r) {
    case input::Role::Panel: return "panel";
    case input::Role::Remote: return "remote";
    case input::Role::Keyboard: return "keyboard";
    default: return "other";
    }
}

int typing_ms_of(const json &v)
{
    if (v.is_string() && v.get<std::string>() == "scanner")
        return input::kScannerKeyMs;
    if (v.is_number_integer())
        return std::clamp(v.get<int>(), 20, 2000);
    return kDefaultTypingMs;
}

void configure(InputState &st, const json &d, input::Role fallback, bool plugged_default)
{
    if (!d.is_object())
        return;
    int n = d.value("event", -1);
    if (n < 0 || n >= kEvents)
        return;
    EventDev &dev = st.dev[n];
    dev.configured = true;
    dev.name = d.value("name", std::string("input") + std::to_string(n));
    dev.role = d.contains("role") && d["role"].is_string() ? role_of(d["role"].get<std::string>()) : fallback;
    dev.plugged = d.value("plugged", plugged_default);
    if (d.contains("typing"))
        dev.typing_ms = typing_ms_of(d["typing"]);
}

void install_input(Box &box, const json &profile)
{
    json cfg = profile.is_object() && profile.contains("input") && profile["input"].is_object()
                   ? profile["input"]
                   : json::parse(R"({
                       "devices": [{"event": 0, "name": "corvane-fp front panel keys", "role": "panel"},
                                   {"event": 1, "name": "corvane-rc remote control", "role": "remote"}],
                       "keyboard": {"event": 2, "name": "USB Keyboard", "plugged": false}})");
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    if (cfg.contains("devices") && cfg["devices"].is_array())
        for (const auto &d : cfg["devices"])
            configure(st, d, input::Role::Other, true);
    if (cfg.contains("keyboard"))
        configure(st, cfg["keyboard"], input::Role::Keyboard, false);
    for (int n = 0; n < kEvents; ++n)
        if (st.dev[n].configured && st.dev[n].plugged)
            set_nodes(box, st, n, true);
}

// The keyboard's typing speed, looked at before a box is made.
std::string check_input(const json &profile)
{
    if (!profile.is_object() || !profile.contains("input") || !profile["input"].is_object())
        return "";
    const json &kb = profile["input"].value("keyboard", json::object());
    if (!kb.is_object() || !kb.contains("typing"))
        return "";
    const json &t = kb["typing"];
    bool ok = (t.is_string() && t == "scanner") ||
              (t.is_number_integer() && t.get<long long>() >= 20 && t.get<long long>() <= 2000);
    return ok ? "" : "input: keyboard typing must be milliseconds from 20 to 2000 or \"scanner\"";
}

void describe_input(Box &box, json &state)
{
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    json list = json::array();
    for (int n = 0; n < kEvents; ++n) {
        const EventDev &d = st.dev[n];
        if (!d.configured)
            continue;
        size_t pending = 0;
        for (const auto &c : d.clients)
            pending += c->buf.size();
        json j = {{"event", n},          {"name", d.name},       {"role", role_name(d.role)}, {"plugged", d.plugged},
                  {"clients", d.clients.size()}, {"pending", pending}, {"overflows", d.overflows}};
        if (d.role == input::Role::Keyboard)
            j["typing_ms"] = d.typing_ms;
        list.push_back(j);
    }
    state["input"] = list;
}

struct KeyName {
    const char *name;
    int code;
};
constexpr KeyName kKeyNames[] = {
    {"ESC", 1},        {"1", 2},           {"2", 3},          {"3", 4},           {"4", 5},
    {"5", 6},          {"6", 7},           {"7", 8},          {"8", 9},           {"9", 10},
    {"0", 11},         {"ENTER", 28},      {"SEMICOLON", 39}, {"LEFTSHIFT", 42},  {"SPACE", 57},
    {"UP", 103},       {"LEFT", 105},      {"RIGHT", 106},    {"DOWN", 108},      {"MUTE", 113},
    {"VOLUMEDOWN", 114}, {"VOLUMEUP", 115}, {"POWER", 116},   {"MENU", 139},      {"EXIT", 174},
    {"OK", 352},       {"RED", 398},       {"GREEN", 399},    {"YELLOW", 400},    {"BLUE", 401},
    {"CHANNELUP", 402}, {"CHANNELDOWN", 403},
};

// Letters on the keyboard's rows, by key code.
constexpr struct {
    char c;
    int code;
} kLetters[] = {{'q', 16}, {'w', 17}, {'e', 18}, {'r', 19}, {'t', 20}, {'y', 21}, {'u', 22}, {'i', 23},
                {'o', 24}, {'p', 25}, {'a', 30}, {'s', 31}, {'d', 32}, {'f', 33}, {'g', 34}, {'h', 35},
                {'j', 36}, {'k', 37}, {'l', 38}, {'z', 44}, {'x', 45}, {'c', 46}, {'v', 47}, {'b', 48},
                {'n', 49}, {'m', 50}};


constexpr int kLeftShift = 42;
constexpr int kLeftShiftUsage = 0xe1;

// A character as the keyboard types it: its key, whether shift is held, and
// the key's HID usage (keyboard page), which the driver reports as MSC_SCAN.
struct TypedKey {
    int code;
    bool shift;
    int usage;
};

std::optional<TypedKey> key_for(char c)
{
    if (c >= '1' && c <= '9')
        return TypedKey{c - '1' + 2, false, 0x1e + (c - '1')};
    if (c == '0')
        return TypedKey{11, false, 0x27};
    if (c == ':')
        return TypedKey{39, true, 0x33};
    if (c == ';')
        return TypedKey{39, false, 0x33};
    if (c == ' ')
        return TypedKey{57, false, 0x2c};
    if (c == '\n')
        return TypedKey{28, false, 0x28};
    bool upper = c >= 'A' && c <= 'Z';
    char lower = upper ? static_cast<char>(c - 'A' + 'a') : c;
    for (const auto &l : kLetters)
        if (l.c == lower)
            return TypedKey{l.code, upper, 0x04 + (lower - 'a')};
    return std::nullopt;
}

// The keyboard's reports for a text typed with a key every `key_ms`. A
// person holds a key for two fifths of that and presses shift a sixth of it
// before the key; a scanner sends a key's press and its release as two
// reports, the shift in the same report as the key (modifiers first, as the
// HID report orders them).
std::vector<std::pair<int64_t, std::vector<Rec>>> typing_steps(const std::string &text, int key_ms)
{
    std::vector<std::pair<int64_t, std::vector<Rec>>> steps;
    const int64_t per_key = static_cast<int64_t>(key_ms) * kMs;
    const bool scanner = key_ms <= input::kScannerKeyMs;
    int64_t t = 0;
    for (char c : text) {
        auto k = key_for(c);
        if (!k)
            continue;
        auto key = [&](int value) { return std::vector<Rec>{scan_rec(k->usage), key_rec(k->code, value)}; };
        auto shift = [&](int value) {
            return std::vector<Rec>{scan_rec(kLeftShiftUsage), key_rec(kLeftShift, value)};
        };
        if (scanner) {
            for (int value : {1, 0}) {
                std::vector<Rec> r = k->shift ? shift(value) : std::vector<Rec>{};
                auto kr = key(value);
                r.insert(r.end(), kr.begin(), kr.end());
                steps.push_back({t + (value ? 0 : per_key / 2), r});
            }
        } else {
            int64_t lead = k->shift ? per_key / 6 : 0;
            int64_t hold = per_key * 2 / 5;
            if (k->shift)
                steps.push_back({t, shift(1)});
            steps.push_back({t + lead, key(1)});
            steps.push_back({t + lead + hold, key(0)});
            if (k->shift)
                steps.push_back({t + 2 * lead + hold, shift(0)});
        }
        t += per_key;
    }
    return steps;
}

std::optional<ActionRun> parse_key_action(input::Role role, const std::vector<std::string> &args, std::string &err)
{
    std::optional<int> code = args.empty() ? std::nullopt : input::key_code(args[0]);
    long repeats = 0;
    if (args.size() == 2) {
        char *end = nullptr;
        repeats = strtol(args[1].c_str(), &end, 10);
        if (*end || repeats < 0 || repeats > 100)
            code.reset();
    }
    if (!code || args.size() > 2) {
        err = "expected a key name (POWER, OK, 1, VOLUMEUP, ...) or code 1 to 767, and optionally the "
              "number of repeats while held (0 to 100)";
        return std::nullopt;
    }
    int c = *code;
    int r = static_cast<int>(repeats);
    return ActionRun([role, c, r](Box &box) { input::press(box, role, c, r); });
}

std::optional<ActionRun> parse_type_action(const std::vector<std::string> &args, std::string &err)
{
    size_t first = 0;
    int key_ms = 0;
    if (!args.empty() && args[0] == "--scanner") {
        key_ms = input::kScannerKeyMs;
        first = 1;
    } else if (!args.empty() && args[0] == "--ms") {
        char *end = nullptr;
        long v = args.size() > 1 ? strtol(args[1].c_str(), &end, 10) : 0;
        if (args.size() < 2 || *end || v < 20 || v > 2000) {
            err = "--ms takes the milliseconds from one key to the next, 20 to 2000";
            return std::nullopt;
        }
        key_ms = static_cast<int>(v);
        first = 2;
    }
    std::string text;
    for (size_t i = first; i < args.size(); ++i)
        text += (i > first ? " " : "") + args[i];
    for (char c : text)
        if (!key_for(c)) {
            err = std::string("no key types '") + c + "'";
            return std::nullopt;
        }
    if (text.empty()) {
        err = "expected a text to type";
        return std::nullopt;
    }
    return ActionRun([text, key_ms](Box &box) { input::type_text(box, text + "\n", key_ms); });
}

BOXSIM_REGISTER({
    register_module({"input", 70, install_input, describe_input, check_input});
    register_action({"key", "key CODE|NAME [REPEATS]   (remote control)",
                     [](const std::vector<std::string> &a, std::string &e) {
                         return parse_key_action(input::Role::Remote, a, e);
                     }});
    register_action({"panel-key", "panel-key CODE|NAME [REPEATS]   (front panel)",
                     [](const std::vector<std::string> &a, std::string &e) {
                         return parse_key_action(input::Role::Panel, a, e);
                     }});
    register_action({"keyboard", "keyboard plug|unplug   (USB keyboard)",
                     [](const std::vector<std::string> &a, std::string &e) -> std::optional<ActionRun> {
                         if (a.size() != 1 || (a[0] != "plug" && a[0] != "unplug")) {
                             e = "expected plug or unplug";
                             return std::nullopt;
                         }
                         bool on = a[0] == "plug";
                         return ActionRun([on](Box &box) { input::keyboard(box, on); });
                     }});
    register_action({"type",
                     "type [--scanner|--ms N] TEXT   (USB keyboard, plugged first when needed; 0-9 A-Z a-z : ; "
                     "space; at the profile's speed, a scanner's, or a key every N ms)",
                     parse_type_action});
});

} // namespace

namespace input {

std::optional<int> key_code(const std::string &name)
{
    std::string n = name.starts_with("KEY_") ? name.substr(4) : name;
    for (const auto &k : kKeyNames)
        if (n == k.name)
            return k.code;
    if (!name.empty() && name.size() <= 4 && name.find_first_not_of("0123456789") == std::string::npos) {
        int v = atoi(name.c_str());
        if (v >= 1 && v <= 767)
            return v;
    }
    return std::nullopt;
}

bool press(Box &box, Role role, int code, int repeats)
{
    auto &st = box.part<InputState>();
    int n;
    std::vector<json> notes;
    Job held;
    {
        std::lock_guard<std::mutex> g(st.m);
        n = find_role(st, role);
        if (n < 0 || !st.dev[n].plugged)
            n = -1;
        else {
            EventDev &d = st.dev[n];
            // A key still held from before is let go first: its repeats end.
            for (auto it = st.jobs.begin(); it != st.jobs.end();)
                it = it->event == n && it->held == code ? st.jobs.erase(it) : std::next(it);
            if (d.down.count(code))
                report(box, d, n, {key_rec(code, 0)}, notes);
            report(box, d, n, {key_rec(code, 1)}, notes);
            if (repeats == 0) {
                report(box, d, n, {key_rec(code, 0)}, notes);
            } else {
                held.event = n;
                held.instance = d.instance;
                held.held = code;
                held.start_ns = clock::now_ns();
                for (int i = 0; i < repeats; ++i)
                    held.steps.push_back({(kRepeatDelayMs + i * kRepeatPeriodMs) * kMs, {key_rec(code, 2)}});
                held.steps.push_back({(kRepeatDelayMs + repeats * kRepeatPeriodMs) * kMs, {key_rec(code, 0)}});
            }
        }
    }
    record_notes(box, notes);
    json ev = {{"op", "event"}, {"what", "key"}, {"device", role_name(role)}, {"code", code}};
    if (repeats)
        ev["repeats"] = repeats;
    if (n < 0)
        ev["result"] = "no such device";
    else
        ev["event"] = n;
    box.trace().record(std::move(ev));
    if (!held.steps.empty())
        schedule(box, std::move(held));
    box.changed();
    return n >= 0;
}

bool inject(Box &box, int event, uint16_t type, uint16_t code, int32_t value)
{
    if (event < 0 || event >= kEvents)
        return false;
    auto &st = box.part<InputState>();
    std::vector<json> notes;
    {
        std::lock_guard<std::mutex> g(st.m);
        if (!st.dev[event].plugged)
            return false;
        pass(st.dev[event], event, record_at(box.now_ms(), type, code, value), notes);
    }
    record_notes(box, notes);
    box.changed();
    return true;
}

bool keyboard(Box &box, bool plugged)
{
    auto &st = box.part<InputState>();
    int n;
    {
        std::lock_guard<std::mutex> g(st.m);
        n = find_role(st, Role::Keyboard);
        if (n >= 0 && st.dev[n].plugged != plugged)
            set_nodes(box, st, n, plugged);
    }
    json ev = {{"op", "event"}, {"what", plugged ? "keyboard plug" : "keyboard unplug"}};
    if (n < 0)
        ev["result"] = "no keyboard";
    else
        ev["event"] = n;
    box.trace().record(std::move(ev));
    box.changed();
    return n >= 0;
}

bool type_text(Box &box, const std::string &text, int key_ms)
{
    auto &st = box.part<InputState>();
    int n;
    bool plug;
    {
        std::lock_guard<std::mutex> g(st.m);
        n = find_role(st, Role::Keyboard);
        plug = n >= 0 && !st.dev[n].plugged;
        if (n >= 0 && key_ms <= 0)
            key_ms = st.dev[n].typing_ms;
    }
    if (n < 0)
        return false;
    if (plug)
        keyboard(box, true);
    bool ok = std::all_of(text.begin(), text.end(), [](char c) { return key_for(c).has_value(); });
    Job job;
    job.event = n;
    job.steps = typing_steps(text, key_ms);
    {
        std::lock_guard<std::mutex> g(st.m);
        job.instance = st.dev[n].instance;
    }
    box.trace().record({{"op", "event"}, {"what", "type"}, {"text", text}, {"event", n}, {"key_ms", key_ms}});
    if (!job.steps.empty())
        schedule(box, std::move(job));
    box.changed();
    return ok;
}

bool busy(Box &box)
{
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    return !st.jobs.empty();
}

size_t pending(Box &box, int event)
{
    if (event < 0 || event >= kEvents)
        return 0;
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    size_t n = 0;
    for (const auto &c : st.dev[event].clients)
        n += c->buf.size();
    return n;
}

size_t clients(Box &box, int event)
{
    if (event < 0 || event >= kEvents)
        return 0;
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    return st.dev[event].clients.size();
}

uint64_t overflows(Box &box, int event)
{
    if (event < 0 || event >= kEvents)
        return 0;
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    return st.dev[event].overflows;
}

} // namespace input
} // namespace boxsim
