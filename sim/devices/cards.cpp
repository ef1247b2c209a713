// The simulated smart-card readers and CI slots.
#include "devices/cards.h"

#include "core/box.h"
#include "platform/box_abi.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace boxsim {

namespace {

constexpr short kPollPri = 0x002;

struct Reader {
    bool present = false;
    bool card = false;
    std::vector<uint8_t> atr;           // the card's answer to reset
    std::vector<uint8_t> answer;        // what a read returns next
    int64_t answer_at_ms = -1;          // when the answer of the last reset is there
    int resets = 0;
};

struct Slot {
    bool present = false;
    bool module = false;
};

struct CardState {
    std::mutex m;
    Reader reader[2];
    Slot slot[2];
};

std::optional<std::vector<uint8_t>> parse_hex(const std::string &s)
{
    std::vector<uint8_t> out;
    if (s.size() % 2 || s.size() > 66)
        return std::nullopt;
    for (size_t i = 0; i < s.size(); i += 2) {
        char pair[3] = {s[i], s[i + 1], 0};
        char *end = nullptr;
        long v = strtol(pair, &end, 16);
        if (*end || !isxdigit(static_cast<unsigned char>(pair[0])))
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

std::string to_hex(const std::vector<uint8_t> &v)
{
    std::string s;
    char b[4];
    for (uint8_t x : v) {
        snprintf(b, sizeof b, "%02X", x);
        s += b;
    }
    return s;
}

class SciNode : public Device {
public:
    SciNode(Box &box, int n) : box_(box), n_(n) {}

    int ioctl(OpenFile &, unsigned long request, unsigned long arg, json &ev) override
    {
        auto &st = box_.part<CardState>();
        std::lock_guard<std::mutex> g(st.m);
        Reader &r = st.reader[n_];
        if (request == box_abi::SCI_IOCTL_CARD_DETECT) {
            ev["name"] = "SCI_IOCTL_CARD_DETECT";
            if (arg == 0)
                return -EFAULT;
            int32_t word = r.card ? 1 : 0;
            memcpy(reinterpret_cast<void *>(arg), &word, sizeof word);
            ev["card"] = word;
            return 0;
        }
        if (request == box_abi::SCI_IOCTL_RESET) {
            // Encoded as a write of a 32-bit word: the driver copies the
            // word in first, and a null pointer ends the request there.
            ev["name"] = "SCI_IOCTL_RESET";
            if (arg == 0)
                return -EFAULT;
            int32_t word;
            memcpy(&word, reinterpret_cast<const void *>(arg), sizeof word);
            ev["value"] = word;
            ++r.resets;
            r.answer.clear();
            r.answer_at_ms = -1;
            if (!r.card)
                return -ENODEV;
            if (!r.atr.empty()) {
                r.answer = r.atr;
                r.answer_at_ms = box_.now_ms() + cards::kAtrDelayMs;
            }
            return 0;
        }
        return -ENOTTY;
    }

    // Blocks until the answer of the last reset is there, or the reader's
    // answer timer runs out.
    ssize_t read(OpenFile &, void *buf, size_t len) override
    {
        auto &st = box_.part<CardState>();
        auto deadline = BoxSteadyClock::now() + std::chrono::milliseconds(cards::kAtrTimeoutMs);
        for (;;) {
            int64_t wait_ms;
            {
                std::lock_guard<std::mutex> g(st.m);
                Reader &r = st.reader[n_];
                if (r.card && r.answer_at_ms >= 0 && box_.now_ms() >= r.answer_at_ms) {
                    size_t n = std::min(len, r.answer.size());
                    memcpy(buf, r.answer.data(), n);
                    r.answer.clear();
                    r.answer_at_ms = -1;
                    return static_cast<ssize_t>(n);
                }
                wait_ms = r.card && r.answer_at_ms >= 0 ? r.answer_at_ms - box_.now_ms() : 50;
            }
            auto now = BoxSteadyClock::now();
            if (now >= deadline || box_.stopping())
                return -ETIMEDOUT;
            auto until = std::min(deadline, now + std::chrono::milliseconds(std::max<int64_t>(wait_ms, 1)));
            box_.wait_change([] { return false; }, BoxSteadyClock::ns(until), "smart-card answer");
        }
    }

private:
    Box &box_;
    int n_;
};

class CiNode : public Device {
public:
    CiNode(Box &box, int n) : box_(box), n_(n) {}

    int ioctl(OpenFile &, unsigned long request, unsigned long, json &ev) override
    {
        if (request != box_abi::CI_IOCTL_RESET)
            return -ENOTTY;
        ev["name"] = "CI_IOCTL_RESET";
        return 0;
    }

    short poll(OpenFile &, short events) override
    {
        auto &st = box_.part<CardState>();
        std::lock_guard<std::mutex> g(st.m);
        return st.slot[n_].module ? 0 : static_cast<short>(events & kPollPri);
    }

private:
    Box &box_;
    int n_;
};

std::vector<int> numbers(const json &j)
{
    std::vector<int> out;
    if (j.is_array())
        for (const auto &v : j)
            if (v.is_number_integer() && v.get<int>() >= 0 && v.get<int>() < 2)
                out.push_back(v.get<int>());
    return out;
}

void install_cards(Box &box, const json &profile)
{
    auto section = [&](const char *key) -> json {
        return profile.is_object() && profile.contains(key) && profile[key].is_object() ? profile[key] : json();
    };
    json cards_cfg = section("cards");
    json ci_cfg = section("ci");
    auto &st = box.part<CardState>();
    std::lock_guard<std::mutex> g(st.m);
    std::vector<int> readers = cards_cfg.is_object() ? numbers(cards_cfg.value("readers", json::array()))
                                                     : std::vector<int>{0, 1};
    for (int n : readers) {
        st.reader[n].present = true;
        box.add_node("/dev/sci" + std::to_string(n), std::make_shared<SciNode>(box, n));
    }
    if (cards_cfg.is_object() && cards_cfg.contains("inserted") && cards_cfg["inserted"].is_object())
        for (auto it = cards_cfg["inserted"].begin(); it != cards_cfg["inserted"].end(); ++it) {
            int n = atoi(it.key().c_str());
            auto atr = it.value().is_string() ? parse_hex(it.value().get<std::string>()) : std::nullopt;
            if (n >= 0 && n < 2 && st.reader[n].present && atr) {
                st.reader[n].card = true;
                st.reader[n].atr = *atr;
            }
        }
    if (ci_cfg.is_object()) {
        for (int n : numbers(ci_cfg.value("slots", json::array()))) {
            st.slot[n].present = true;
            box.add_node("/dev/ci" + std::to_string(n), std::make_shared<CiNode>(box, n));
        }
        for (int n : numbers(ci_cfg.value("modules", json::array())))
            st.slot[n].module = st.slot[n].present;
    }
}

void describe_cards(Box &box, json &state)
{
    auto &st = box.part<CardState>();
    std::lock_guard<std::mutex> g(st.m);
    json readers = json::object();
    for (int n = 0; n < 2; ++n)
        if (st.reader[n].present)
            readers[std::to_string(n)] = {{"card", st.reader[n].card},
                                          {"atr", st.reader[n].card ? json(to_hex(st.reader[n].atr)) : json()},
                                          {"resets", st.reader[n].resets}};
    json slots = json::object();
    for (int n = 0; n < 2; ++n)
        if (st.slot[n].present)
            slots[std::to_string(n)] = {{"module", st.slot[n].module}};
    state["cards"] = {{"readers", readers}, {"ci", slots}};
}

std::optional<ActionRun> parse_card(const std::vector<std::string> &a, std::string &err)
{
    bool ok = a.size() >= 2 && (a[0] == "0" || a[0] == "1") &&
              ((a[1] == "insert" && a.size() <= 3) || (a[1] == "remove" && a.size() == 2));
    std::optional<std::vector<uint8_t>> atr = std::vector<uint8_t>{0x3B, 0x02, 0x14, 0x50};
    if (ok && a.size() == 3) {
        atr = a[2] == "none" ? std::vector<uint8_t>{} : parse_hex(a[2]);
        ok = atr.has_value();
    }
    if (!ok) {
        err = "expected a reader 0 or 1, then insert [ATR-HEX|none] or remove";
        return std::nullopt;
    }
    int n = a[0][0] - '0';
    if (a[1] == "remove")
        return ActionRun([n](Box &box) { cards::remove(box, n); });
    std::string hex = to_hex(*atr);
    return ActionRun([n, hex](Box &box) { cards::insert(box, n, hex); });
}

std::optional<ActionRun> parse_ci(const std::vector<std::string> &a, std::string &err)
{
    if (a.size() != 2 || (a[0] != "0" && a[0] != "1") || (a[1] != "insert" && a[1] != "remove")) {
        err = "expected a slot 0 or 1, then insert or remove";
        return std::nullopt;
    }
    int n = a[0][0] - '0';
    bool in = a[1] == "insert";
    return ActionRun([n, in](Box &box) { cards::ci_module(box, n, in); });
}

BOXSIM_REGISTER({
    register_module({"cards", 80, install_cards, describe_cards});
    register_action({"card", "card SLOT insert [ATR-HEX|none] | card SLOT remove   (smart card; default answer 3B021450)",
                     parse_card});
    register_action({"ci", "ci SLOT insert|remove   (CI module)", parse_ci});
});

} // namespace

namespace cards {

bool insert(Box &box, int reader, const std::string &atr_hex)
{
    auto atr = parse_hex(atr_hex);
    auto &st = box.part<CardState>();
    bool ok;
    {
        std::lock_guard<std::mutex> g(st.m);
        ok = reader >= 0 && reader < 2 && st.reader[reader].present && atr;
        if (ok) {
            Reader &r = st.reader[reader];
            r.card = true;
            r.atr = *atr;
            r.answer.clear();
            r.answer_at_ms = -1;
        }
    }
    json ev = {{"op", "event"}, {"what", "card insert"}, {"reader", reader}, {"atr", atr_hex}};
    if (!ok)
        ev["result"] = "no such reader";
    box.trace().record(std::move(ev));
    box.changed();
    return ok;
}

bool remove(Box &box, int reader)
{
    auto &st = box.part<CardState>();
    bool ok;
    {
        std::lock_guard<std::mutex> g(st.m);
        ok = reader >= 0 && reader < 2 && st.reader[reader].present;
        if (ok) {
            st.reader[reader].card = false;
            st.reader[reader].answer.clear();
            st.reader[reader].answer_at_ms = -1;
        }
    }
    json ev = {{"op", "event"}, {"what", "card remove"}, {"reader", reader}};
    if (!ok)
        ev["result"] = "no such reader";
    box.trace().record(std::move(ev));
    box.changed();
    return ok;
}

bool ci_module(Box &box, int slot, bool inserted)
{
    auto &st = box.part<CardState>();
    bool ok;
    {
        std::lock_guard<std::mutex> g(st.m);
        ok = slot >= 0 && slot < 2 && st.slot[slot].present;
        if (ok)
            st.slot[slot].module = inserted;
    }
    json ev = {{"op", "event"}, {"what", inserted ? "ci insert" : "ci remove"}, {"slot", slot}};
    if (!ok)
        ev["result"] = "no such slot";
    box.trace().record(std::move(ev));
    box.changed();
    return ok;
}

int resets(Box &box, int reader)
{
    if (reader < 0 || reader >= 2)
        return 0;
    auto &st = box.part<CardState>();
    std::lock_guard<std::mutex> g(st.m);
    return st.reader[reader].resets;
}

} // namespace cards
} // namespace boxsim
