/*
 * dvb_probe fe FRONTEND
 *     What the frontend reports: "status S snr N strength N" (the raw
 *     values of FE_READ_STATUS, FE_READ_SNR, FE_READ_SIGNAL_STRENGTH).
 *     Opened read-only, as a second reader beside the program under test.
 * dvb_probe dvr DVR
 *     Whether the DVR input takes a writer: "dvr open ok" or the error.
 * dvb_probe tap DEMUX PID MS
 *     Counts the bytes of PID's packets that reach the demultiplexer within
 *     MS milliseconds, through a filter of its own that passes them to this
 *     reader: "tap N bytes" (or the refused request).
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "fe") == 0) {
        int fd = open(argv[2], O_RDONLY | O_NONBLOCK);
        if (fd < 0) {
            printf("fe open: %s\n", strerror(errno));
            return 1;
        }
        fe_status_t st = 0;
        unsigned short snr = 0, strength = 0;
        int a = ioctl(fd, FE_READ_STATUS, &st), ea = errno;
        int b = ioctl(fd, FE_READ_SNR, &snr), eb = errno;
        int c = ioctl(fd, FE_READ_SIGNAL_STRENGTH, &strength), ec = errno;
        printf("status %d snr %u strength %u", a == 0 ? (int)st : -ea, b == 0 ? snr : 0, c == 0 ? strength : 0);
        if (b != 0)
            printf(" snr-error %s", strerror(eb));
        if (c != 0)
            printf(" strength-error %s", strerror(ec));
        printf("\n");
        close(fd);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "dvr") == 0) {
        int fd = open(argv[2], O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            printf("dvr open: %s\n", strerror(errno));
            return 1;
        }
        printf("dvr open ok\n");
        close(fd);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "tap") == 0) {
        int fd = open(argv[2], O_RDONLY | O_NONBLOCK);
        if (fd < 0) {
            printf("tap open: %s\n", strerror(errno));
            return 1;
        }
        struct dmx_pes_filter_params p;
        memset(&p, 0, sizeof p);
        p.pid = (unsigned short)atoi(argv[3]);
        p.input = DMX_IN_FRONTEND;
        p.output = DMX_OUT_TAP;
        p.pes_type = DMX_PES_OTHER;
        p.flags = DMX_IMMEDIATE_START;
        if (ioctl(fd, DMX_SET_PES_FILTER, &p) != 0) {
            printf("tap DMX_SET_PES_FILTER: %s\n", strerror(errno));
            return 1;
        }
        long end = now_ms() + atol(argv[4]), total = 0;
        char buf[4096];
        while (now_ms() < end) {
            struct pollfd pf = {fd, POLLIN, 0};
            if (poll(&pf, 1, 100) > 0) {
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0)
                    total += n;
            }
        }
        printf("tap %ld bytes\n", total);
        close(fd);
        return 0;
    }
    fprintf(stderr, "usage: dvb_probe fe FRONTEND | tap DEMUX PID MS\n");
    return 2;
}
