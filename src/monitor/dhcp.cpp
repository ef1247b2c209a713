// Address acquisition: the DHCP client sets up eth0; this step only watches
// what the client prints and records the address it reports.
#include "monitor/dhcp.h"

#include "app/status.h"
#include "platform/os.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// One read takes at most 254 characters; a longer line arrives in pieces and
// each piece counts as a line of its own.
constexpr int kLineSize = 255;
// Discovery attempts after which the client counts as having found no server.
constexpr int kMaxDiscover = 4;

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

    int discover = 0;
    char line[kLineSize];
    while (fgets(line, sizeof line, fp)) {
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

    os::pclose(fp);
    os::system("killall -9 udhcpc");
}
