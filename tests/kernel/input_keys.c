/*
 * input_keys FIFO NAME...
 *
 * The box's own key devices (the front panel's keys, the remote control) as
 * uinput devices with the box's names, made in the order given, so that
 * they get the first event numbers as on the box. Then presses keys as told
 * by lines read from FIFO:
 *
 *   DEVICE CODE [HOLD_MS]   index of the device (0 = first NAME), key code,
 *                           and how long the key is held (default 80 ms;
 *                           held past the kernel's repeat delay, the kernel
 *                           repeats it with value 2)
 *
 * Each press is MSC_SCAN, the key down, SYN_REPORT, and after the hold the
 * key up and SYN_REPORT, as a keyboard driver reports it. Writes "ready" to
 * standard output once the devices exist.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define MAX_DEVICES 4

static int emit(int fd, int type, int code, int value)
{
    struct input_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = (unsigned short)type;
    ev.code = (unsigned short)code;
    ev.value = value;
    return write(fd, &ev, sizeof ev) == (ssize_t)sizeof ev ? 0 : -1;
}

static int make_device(const char *name)
{
    int fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
        perror("input_keys: /dev/uinput");
        return -1;
    }
    ioctl(fd, UI_SET_EVBIT, EV_KEY);
    ioctl(fd, UI_SET_EVBIT, EV_MSC);
    ioctl(fd, UI_SET_EVBIT, EV_REP);
    ioctl(fd, UI_SET_MSCBIT, MSC_SCAN);
    for (int code = 1; code < KEY_MAX; ++code)
        ioctl(fd, UI_SET_KEYBIT, code);
    struct uinput_setup setup;
    memset(&setup, 0, sizeof setup);
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x1;
    setup.id.product = 0x1;
    snprintf(setup.name, sizeof setup.name, "%s", name);
    if (ioctl(fd, UI_DEV_SETUP, &setup) != 0 || ioctl(fd, UI_DEV_CREATE) != 0) {
        perror("input_keys: UI_DEV_CREATE");
        close(fd);
        return -1;
    }
    return fd;
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc - 2 > MAX_DEVICES) {
        fprintf(stderr, "usage: input_keys FIFO NAME... (at most %d)\n", MAX_DEVICES);
        return 2;
    }
    int fds[MAX_DEVICES];
    int n = argc - 2;
    for (int i = 0; i < n; ++i) {
        fds[i] = make_device(argv[i + 2]);
        if (fds[i] < 0)
            return 1;
        /* One at a time: the next one's number follows. */
        usleep(50000);
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        FILE *f = fopen(argv[1], "r");
        if (!f) {
            perror("input_keys: fifo");
            return 1;
        }
        char line[128];
        while (fgets(line, sizeof line, f)) {
            int dev = -1, code = 0, hold = 80;
            if (sscanf(line, "%d %d %d", &dev, &code, &hold) < 2 || dev < 0 || dev >= n || code <= 0 ||
                code >= KEY_MAX || hold < 0 || hold > 10000) {
                fprintf(stderr, "input_keys: bad line: %s", line);
                continue;
            }
            emit(fds[dev], EV_MSC, MSC_SCAN, code);
            emit(fds[dev], EV_KEY, code, 1);
            emit(fds[dev], EV_SYN, SYN_REPORT, 0);
            usleep((useconds_t)hold * 1000);
            emit(fds[dev], EV_MSC, MSC_SCAN, code);
            emit(fds[dev], EV_KEY, code, 0);
            emit(fds[dev], EV_SYN, SYN_REPORT, 0);
        }
        fclose(f);
    }
}
