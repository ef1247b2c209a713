// The port monitor: what is plugged into the box and how the network stands,
// recorded in the status record once a second.
#include "monitor/port.h"

#include "app/status.h"
#include "app/values.h"
#include "kni/bkni.h"
#include "monitor/dhcp.h"
#include "monitor/macprog.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr size_t kTextSize = sizeof g_status.mac_text;

bool path_exists(const char *path)
{
    struct stat st;
    return os::stat(path, &st) == 0;
}

// Whether a sysfs entry named by `format` with `n` filled in exists.
bool entry_exists(const char *format, int n)
{
    char path[64];
    snprintf(path, sizeof path, format, n);
    return path_exists(path);
}

// Which ports the board has depends on its kind: the combo and network boxes
// hang their ports off root hubs 1 and 2, the four-tuner box has one port per
// bus (its USB 1.1 companion buses are numbered from 5); kinds 4 and 6 to 8
// have the internal SATA and the eSATA host.
void check_ports(ModelKind kind)
{
    bool hub_ports = kind == 3 || kind == 5 || kind == 6 || kind == 7 || kind == 8;
    bool bus_ports = kind == 4;
    bool sata = kind == 4 || kind == 6 || kind == 7 || kind == 8;

    for (int i = 0; i < 4; ++i) {
        if (hub_ports)
            g_status.usb[i] = entry_exists("/sys/bus/usb/devices/1-%d", i) ||
                              entry_exists("/sys/bus/usb/devices/2-%d", i);
        else if (bus_ports)
            g_status.usb[i] = entry_exists("/sys/bus/usb/devices/%d-1", i + 1) ||
                              entry_exists("/sys/bus/usb/devices/%d-1", i + 5);
    }
    if (sata)
        for (int i = 0; i < 2; ++i)
            g_status.sata[i] = entry_exists("/sys/bus/scsi/devices/%d:0:0:0", i);
}

// The HDMI driver's state word; a missing driver leaves the last value.
void check_hdmi()
{
    int fd = os::open("/dev/hdmi_cec", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    int32_t word = 0;
    if (os::ioctl(fd, box_abi::HDMI_CEC_GET_STATE, &word) < 0)
        g_status.hdmi = 0;
    else
        g_status.hdmi = word;
    os::close(fd);
}

// Reads one word of a sysfs file into a status text field (other tasks read
// those fields at any time, so the text is put together locally first).
void read_text(char *field, const char *path, bool upper)
{
    char text[kTextSize];
    parseString(text, sizeof text, path);
    if (upper)
        for (char *p = text; *p; ++p)
            *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    status_store_text(field, kTextSize, text);
}

// Programs an address the MAC entry task has delivered, once it is whole:
// both copies alike and not starting with three zero bytes. Until then the
// request stays pending and is looked at again next cycle.
void check_mac_request()
{
    if (!g_status.mac_request)
        return;
    unsigned char entry[6];
    unsigned char confirm[6];
    for (int i = 0; i < 6; ++i) {
        entry[i] = status_load_byte(&g_status.mac_entry[i]);
        confirm[i] = status_load_byte(&g_status.mac_confirm[i]);
    }
    if (entry[0] == 0 && entry[1] == 0 && entry[2] == 0)
        return;
    if (memcmp(entry, confirm, sizeof entry) != 0)
        return;
    macprog2(entry, 6);
    g_status.mac_request = 0;
}

// Whether the link is up by its operational state. A driver that never
// reports its link leaves the state "unknown", which Linux asks to be taken
// as usable; its carrier then tells whether a cable is in. Any other state
// but "up" (down, dormant, ...) is no link.
int link_of(const char *operstate)
{
    if (strstr(operstate, "up"))
        return 1;
    if (strcmp(operstate, "unknown") != 0)
        return 0;
    int carrier = 0;
    return parseInt(&carrier, "/sys/class/net/eth0/carrier") == 0 && carrier == 1;
}

int speed_of(const char *text)
{
    if (strstr(text, "1000"))
        return 1000;
    if (strstr(text, "100"))
        return 100;
    if (strstr(text, "10"))
        return 10;
    return 0;
}

} // namespace

void port_cycle()
{
    check_ports(g_status.model_kind);
    check_hdmi();
    read_text(g_status.mac_text, "/sys/class/net/eth0/address", true);
    check_mac_request();

    char text[kTextSize];
    read_text(g_status.operstate_text, "/sys/class/net/eth0/operstate", false);
    status_copy_text(text, sizeof text, g_status.operstate_text, kTextSize);
    g_status.eth_link = link_of(text);

    read_text(g_status.speed_text, "/sys/class/net/eth0/speed", false);
    status_copy_text(text, sizeof text, g_status.speed_text, kTextSize);
    g_status.eth_speed = speed_of(text);

    if (g_status.eth_link == 1 && g_status.dhcp_done == 0)
        dhcp_step();
}

void task_port(BKNI_TaskHandle, void *)
{
    g_status.dhcp_done = 0;
    g_status.eth_link = 0;
    while (!g_status.quit) {
        port_cycle();
        BKNI_Sleep(1000);
    }
}
