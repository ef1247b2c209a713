// The smart-card and CI slot monitors.
#include "console/cards.h"

#include "app/status.h"
#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

namespace {

constexpr int kAtrSize = 33;

// The two initial characters ISO/IEC 7816-3 allows: direct and inverse
// convention.
bool valid_atr(unsigned char first) { return first == 0x3B || first == 0x3F; }

bool node_exists(const char *path)
{
    struct stat st;
    return os::stat(path, &st) == 0;
}

} // namespace

void sci_pass(const int (&fds)[2])
{
    for (int n = 0; n < 2; ++n) {
        if (fds[n] < 0 || g_status.sci_present[n] != 1)
            continue;
        // A card-detect request that fails counts as no card.
        int32_t word = 0;
        if (os::ioctl(fds[n], box_abi::SCI_IOCTL_CARD_DETECT, &word) < 0)
            word = 0;
        g_status.sci_card[n] = word;
        if (word != 0 && g_status.sci_atr[n] == 0) {
            // The request carries a 32-bit word, which the driver reads.
            int32_t reset = 0;
            os::ioctl(fds[n], box_abi::SCI_IOCTL_RESET, &reset);
            unsigned char atr[kAtrSize];
            memset(atr, 0, sizeof atr);
            (void)!os::read(fds[n], atr, sizeof atr);
            if (valid_atr(atr[0]))
                g_status.sci_atr[n] = 1;
        } else if (word == 0) {
            g_status.sci_atr[n] = 0;
        }
    }
}

void task_sci(BKNI_TaskHandle, void *)
{
    int fds[2];
    for (int n = 0; n < 2; ++n) {
        char path[32];
        snprintf(path, sizeof path, "/dev/sci%d", n);
        g_status.sci_present[n] = node_exists(path) ? 1 : 0;
        g_status.sci_atr[n] = 0;
        g_status.sci_card[n] = 0;
        fds[n] = os::open(path, O_RDWR | O_CLOEXEC);
    }
    while (!g_status.quit) {
        sci_pass(fds);
        BKNI_Sleep(1000);
    }
    for (int &fd : fds)
        if (fd >= 0) {
            os::close(fd);
            fd = -1;
        }
}

void ci_pass(const int (&fds)[2])
{
    for (int n = 0; n < 2; ++n) {
        if (fds[n] < 0 || g_status.ci_present[n] != 1)
            continue;
        // The driver reports POLLPRI while the slot is empty; anything else,
        // a time-out included, counts as a module.
        struct pollfd p = {fds[n], POLLIN | POLLPRI | POLLOUT, 0};
        os::poll(&p, 1, 100);
        g_status.ci_module[n] = (p.revents & POLLPRI) ? 0 : 1;
    }
}

void task_ci(BKNI_TaskHandle, void *)
{
    int fds[2];
    for (int n = 0; n < 2; ++n) {
        char path[32];
        snprintf(path, sizeof path, "/dev/ci%d", n);
        g_status.ci_present[n] = node_exists(path) ? 1 : 0;
        g_status.ci_module[n] = 0;
        fds[n] = os::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fds[n] >= 0 && g_status.ci_present[n] == 1)
            os::ioctl(fds[n], box_abi::CI_IOCTL_RESET, 0UL);
    }
    while (!g_status.quit) {
        ci_pass(fds);
        BKNI_Sleep(500);
    }
    for (int &fd : fds)
        if (fd >= 0) {
            os::close(fd);
            fd = -1;
        }
}
