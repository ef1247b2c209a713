// The simulated input devices: front-panel keys, the remote control and a
// USB keyboard that comes and goes, as evdev nodes with their sysfs names.
#include "devices/input.h"

#include "core/box.h"
#include "platform/box_abi.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>

namespace boxsim {

namespace {

constexpr int kEvents = 5;
constexpr short kPollErr = 0x008;
constexpr short kPollHup = 0x010;

struct EventDev {
    bool configured = false;
    bool plugged = false;
    input::Role role = input::Role::Other;
    std::string name;
    uint64_t instance = 0;  // grows with every plug; open handles keep theirs
    std::deque<box_abi::InputEvent> queue;
};

struct InputState {
    std::mutex m;
    EventDev dev[kEvents];
    uint64_t next_instance = 1;
};

std::string node_path(int n) { return "/dev/event" + std::to_string(n); }
std::string sys_dir(int n) { return "/sys/class/input/event" + std::to_string(n); }

class EventNode : public Device {
public:
    EventNode(Box &box, int n) : box_(box), n_(n) {}

    int open(OpenFile &of) override
    {
        auto &st = box_.part<InputState>();
        std::lock_guard<std::mutex> g(st.m);
        if (!st.dev[n_].plugged)
            return -ENODEV;
        of.state = std::make_shared<uint64_t>(st.dev[n_].instance);
        return 0;
    }

    ssize_t read(OpenFile &of, void *buf, size_t len) override
    {
        if (len < sizeof(box_abi::InputEvent))
            return -EINVAL;
        auto &st = box_.part<InputState>();
        for (;;) {
            {
                std::lock_guard<std::mutex> g(st.m);
                if (gone(st, of))
                    return -ENODEV;
                auto &q = st.dev[n_].queue;
                if (!q.empty()) {
                    // Whole records only, as many as fit.
                    size_t n = 0;
                    auto *out = static_cast<unsigned char *>(buf);
                    while (!q.empty() && (n + 1) * sizeof(box_abi::InputEvent) <= len) {
                        memcpy(out + n * sizeof(box_abi::InputEvent), &q.front(), sizeof(box_abi::InputEvent));
                        q.pop_front();
                        ++n;
                    }
                    return static_cast<ssize_t>(n * sizeof(box_abi::InputEvent));
                }
                if (of.flags & O_NONBLOCK)
                    return -EAGAIN;
            }
            if (box_.stopping())
                return -EINTR;
            box_.wait_for([&] { return ready(st, of); }, std::chrono::milliseconds(500));
        }
    }

    short poll(OpenFile &of, short events) override
    {
        auto &st = box_.part<InputState>();
        std::lock_guard<std::mutex> g(st.m);
        if (gone(st, of))
            return kPollErr | kPollHup;
        return st.dev[n_].queue.empty() ? 0 : static_cast<short>(events & POLLIN_);
    }

    // Key records go into the trace as their fields, not as bytes.
    void describe_write(const void *buf, size_t len, json &ev) const override
    {
        json recs = json::array();
        for (size_t off = 0; off + sizeof(box_abi::InputEvent) <= len; off += sizeof(box_abi::InputEvent)) {
            box_abi::InputEvent e;
            memcpy(&e, static_cast<const unsigned char *>(buf) + off, sizeof e);
            recs.push_back({e.type, e.code, e.value});
        }
        ev["events"] = recs;
    }

private:
    bool gone(InputState &st, OpenFile &of) const
    {
        auto inst = std::static_pointer_cast<uint64_t>(of.state);
        return !st.dev[n_].plugged || !inst || *inst != st.dev[n_].instance;
    }
    bool ready(InputState &st, OpenFile &of) const
    {
        std::lock_guard<std::mutex> g(st.m);
        return gone(st, of) || !st.dev[n_].queue.empty();
    }

    Box &box_;
    int n_;
};

// Adds or removes the nodes of device n; the caller holds the state lock.
void set_nodes(Box &box, InputState &st, int n, bool plugged)
{
    EventDev &d = st.dev[n];
    d.plugged = plugged;
    d.queue.clear();
    if (plugged) {
        d.instance = st.next_instance++;
        box.add_file(sys_dir(n) + "/device/name", d.name + "\n")->read_only = true;
        box.add_node(node_path(n), std::make_shared<EventNode>(box, n));
    } else {
        box.remove(node_path(n));
        box.remove(sys_dir(n));
    }
}

void queue_record(Box &box, EventDev &d, uint16_t type, uint16_t code, int32_t value)
{
    int64_t ms = box.now_ms();
    box_abi::InputEvent e{};
    e.tv_sec = static_cast<uint32_t>(ms / 1000);
    e.tv_usec = static_cast<uint32_t>((ms % 1000) * 1000);
    e.type = type;
    e.code = code;
    e.value = value;
    d.queue.push_back(e);
}

// A key as the input core reports it: each record followed by its marker.
void queue_key(Box &box, EventDev &d, int code, int value)
{
    queue_record(box, d, box_abi::EV_KEY_, static_cast<uint16_t>(code), value);
    queue_record(box, d, 0, 0, 0);
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

void describe_input(Box &box, json &state)
{
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    json list = json::array();
    for (int n = 0; n < kEvents; ++n) {
        const EventDev &d = st.dev[n];
        if (!d.configured)
            continue;
        list.push_back({{"event", n}, {"name", d.name}, {"role", role_name(d.role)}, {"plugged", d.plugged},
                        {"pending", d.queue.size()}});
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

// The key (and whether shift is held) that types a character.
std::optional<std::pair<int, bool>> key_for(char c)
{
    if (c >= '1' && c <= '9')
        return std::pair{c - '1' + 2, false};
    if (c == '0')
        return std::pair{11, false};
    if (c == ':')
        return std::pair{39, true};
    if (c == ';')
        return std::pair{39, false};
    if (c == ' ')
        return std::pair{57, false};
    if (c == '\n')
        return std::pair{28, false};
    bool upper = c >= 'A' && c <= 'Z';
    char lower = upper ? static_cast<char>(c - 'A' + 'a') : c;
    for (const auto &l : kLetters)
        if (l.c == lower)
            return std::pair{l.code, upper};
    return std::nullopt;
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

BOXSIM_REGISTER({
    register_module({"input", 70, install_input, describe_input});
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
    register_action({"type", "type TEXT   (USB keyboard, plugged first when needed; 0-9 A-Z a-z : ; space)",
                     [](const std::vector<std::string> &a, std::string &e) -> std::optional<ActionRun> {
                         std::string text;
                         for (size_t i = 0; i < a.size(); ++i)
                             text += (i ? " " : "") + a[i];
                         for (char c : text)
                             if (!key_for(c)) {
                                 e = std::string("no key types '") + c + "'";
                                 return std::nullopt;
                             }
                         if (text.empty()) {
                             e = "expected a text to type";
                             return std::nullopt;
                         }
                         return ActionRun([text](Box &box) { input::type_text(box, text + "\n"); });
                     }});
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
    {
        std::lock_guard<std::mutex> g(st.m);
        n = find_role(st, role);
        if (n < 0 || !st.dev[n].plugged)
            n = -1;
        else {
            EventDev &d = st.dev[n];
            queue_key(box, d, code, 1);
            for (int i = 0; i < repeats; ++i)
                queue_key(box, d, code, 2);
            queue_key(box, d, code, 0);
        }
    }
    json ev = {{"op", "event"}, {"what", "key"}, {"device", role_name(role)}, {"code", code}};
    if (repeats)
        ev["repeats"] = repeats;
    if (n < 0)
        ev["result"] = "no such device";
    else
        ev["event"] = n;
    box.trace().record(std::move(ev));
    box.changed();
    return n >= 0;
}

bool inject(Box &box, int event, uint16_t type, uint16_t code, int32_t value)
{
    if (event < 0 || event >= kEvents)
        return false;
    auto &st = box.part<InputState>();
    {
        std::lock_guard<std::mutex> g(st.m);
        if (!st.dev[event].plugged)
            return false;
        queue_record(box, st.dev[event], type, code, value);
    }
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

bool type_text(Box &box, const std::string &text)
{
    auto &st = box.part<InputState>();
    int n;
    bool plug;
    {
        std::lock_guard<std::mutex> g(st.m);
        n = find_role(st, Role::Keyboard);
        plug = n >= 0 && !st.dev[n].plugged;
    }
    if (n < 0)
        return false;
    if (plug)
        keyboard(box, true);
    bool ok = true;
    {
        std::lock_guard<std::mutex> g(st.m);
        EventDev &d = st.dev[n];
        for (char c : text) {
            auto k = key_for(c);
            if (!k) {
                ok = false;
                continue;
            }
            if (k->second)
                queue_key(box, d, 42, 1);
            queue_key(box, d, k->first, 1);
            queue_key(box, d, k->first, 0);
            if (k->second)
                queue_key(box, d, 42, 0);
        }
    }
    box.trace().record({{"op", "event"}, {"what", "type"}, {"text", text}, {"event", n}});
    box.changed();
    return ok;
}

size_t pending(Box &box, int event)
{
    if (event < 0 || event >= kEvents)
        return 0;
    auto &st = box.part<InputState>();
    std::lock_guard<std::mutex> g(st.m);
    return st.dev[event].queue.size();
}

} // namespace input
} // namespace boxsim
