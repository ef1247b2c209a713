// Address acquisition: the DHCP client sets up eth0; this step only watches
// what the client prints and records the address it reports.
#include "monitor/dhcp.h"

#include "app/status.h"
#include "platform/os.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>

namespace {

// One read takes at most 254 characters; a longer line arrives in pieces and
// each piece counts as a line of its own.
constexpr int kLineSize = 255;
// Discovery attempts after which the client counts as having found no server.
constexpr int kMaxDiscover = 4;
// Longest the step reads the client's output in one port cycle. The rest of
// the cycle (ports, HDMI, link, a MAC programming request) waits meanwhile,
// and a client may stay silent or never end (one that writes elsewhere, one
// that stays in the foreground, one waiting for a server): it is ended then,
// and the next cycle starts a new one.
constexpr int kReadBudgetMs = 3000;

int64_t now_ms()
{
    struct timespec ts = {};
    os::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The client's output, read from its pipe's descriptor without waiting past
// a deadline, in the pieces fgets would give: a line with its line end, or
// 254 characters of a longer one, or what is left at the end.
struct LineReader {
    int fd;
    char buf[2 * kLineSize];
    size_t have;
    bool eof;

    // 1: a piece is in `line`; 0: the output has ended; -1: the deadline
    // passed or the pipe failed.
    int next(char (&line)[kLineSize], int64_t deadline)
    {
        for (;;) {
            size_t limit = have < kLineSize - 1 ? have : kLineSize - 1;
            const void *nl = memchr(buf, '\n', limit);
            size_t take = nl ? static_cast<size_t>(static_cast<const char *>(nl) - buf) + 1
                             : (have >= kLineSize - 1 ? kLineSize - 1 : (eof ? have : 0));
            if (take > 0) {
                memcpy(line, buf, take);
                line[take] = '\0';
                memmove(buf, buf + take, have - take);
                have -= take;
                return 1;
            }
            if (eof)
                return 0;
            int64_t left = deadline - now_ms();
            if (left <= 0)
                return -1;
            struct pollfd p = {fd, POLLIN, 0};
            int r = os::poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return -1;
            ssize_t n = os::read(fd, buf + have, sizeof buf - have);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                eof = true;
            have += static_cast<size_t>(n);
        }
    }
};

const char *skip_space(const char *p)
{
    while (*p && isspace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}

// Matches a literal word of the lease form; white space in the form matches
// any amount of white space (none included), as in a scanf format.
const char *match_word(const char *p, const char *word)
{
    size_t n = strlen(word);
    return strncmp(p, word, n) == 0 ? p + n : nullptr;
}

// Reads one decimal number as "%d" does (white space, a sign, digits) and
// keeps its low eight bits. The value is built modulo 256 so that a number of
// any length gives its low byte without overflowing.
const char *read_byte(const char *p, unsigned char *out)
{
    p = skip_space(p);
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!isdigit(static_cast<unsigned char>(*p)))
        return nullptr;
    unsigned int v = 0;
    while (isdigit(static_cast<unsigned char>(*p)))
        v = (v * 10u + static_cast<unsigned int>(*p++ - '0')) & 0xffu;
    if (negative)
        v = (0x100u - v) & 0xffu;
    *out = static_cast<unsigned char>(v);
    return p;
}

bool is_line(const char *line, const char *text) { return strcmp(line, text) == 0; }

} // namespace

int dhcp_parse_lease(const char *lease_of, unsigned char ip[4])
{
    const char *p = match_word(lease_of, "Lease");
    if (p)
        p = match_word(skip_space(p), "of");
    if (!p)
        return 0;
    int count = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.')
                break;
            ++p;
        }
        unsigned char b;
        p = read_byte(p, &b);
        if (!p)
            break;
        ip[i] = b;
        ++count;
    }
    return count;
}

void dhcp_step()
{
    FILE *fp = os::popen("udhcpc", "r");
    if (!fp)
        return;

    LineReader reader = {fileno(fp), {}, 0, false};
    const int64_t deadline = now_ms() + kReadBudgetMs;
    int discover = 0;
    int got = reader.fd >= 0 ? 1 : -1;
    char line[kLineSize];
    while (got == 1 && (got = reader.next(line, deadline)) == 1) {
        puts(line);

        // The line without its line end, for the exact comparisons.
        size_t len = strlen(line);
        if (len > 0 && line[len - 1] == '\n')
            line[len - 1] = '\0';

        if (is_line(line, "Sending discover...")) {
            if (++discover == kMaxDiscover) {
                g_status.dhcp_done = 0;
                break;
            }
            continue;
        }
        const char *lease_of = strstr(line, "Lease of");
        if (lease_of && strstr(line, "obtained")) {
            // A client that puts a prefix before its message still gives the
            // address: the numbers are read from "Lease of" on.
            unsigned char ip[4];
            for (int i = 0; i < 4; ++i)
                ip[i] = status_load_byte(&g_status.ip[i]);
            dhcp_parse_lease(lease_of, ip);
            for (int i = 0; i < 4; ++i)
                status_store_byte(&g_status.ip[i], ip[i]);
            g_status.dhcp_done = 1;
            continue;
        }
        if (is_line(line, "eth0 cable unplugged, powering down")) {
            g_status.eth_link = 0;
            g_status.dhcp_done = 0;
            break;
        }
    }

    if (got == 0) {
        // The output ended: the client has ended or gone to the background.
        os::pclose(fp);
        os::system("killall -9 udhcpc");
        return;
    }
    // Reading stopped while the client may still run. pclose waits for it,
    // which a client ends only at its next write or when it exits: it is
    // ended first, so that the port monitor is not held.
    os::system("killall -9 udhcpc");
    os::pclose(fp);
}
