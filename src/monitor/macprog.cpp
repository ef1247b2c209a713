// MAC address programming. The flash record keeps the box's network identity
// across starts: eight copies of the address and a doubled checksum, which
// the boot software checks before it takes the address.
#include "monitor/macprog.h"

#include "kni/bkni.h"
#include "platform/os.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *kFlash = "/dev/mtdblock3";
constexpr int kHeaderSize = 12;
constexpr int kSlotOffset = 12;
constexpr int kSlotCount = 8;
constexpr int kSlotSize = 8;
constexpr int kSumOffset = 140;

// Reads the whole of `len` bytes at offset 0; false on any shortfall.
bool read_at_start(int fd, unsigned char *buf, size_t len)
{
    if (os::lseek(fd, 0, SEEK_SET) != 0)
        return false;
    size_t got = 0;
    while (got < len) {
        ssize_t n = os::read(fd, buf + got, len - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Writes the record to the flash. The partition is opened for synchronous
// writes, so the write's result tells whether the bytes reached the flash.
// Bytes 0 to 11 belong to whatever else the box keeps there: they are read
// first and written back as they were.
int write_record(const unsigned char addr[6])
{
    int fd = os::open(kFlash, O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        printf("ERROR!!! Cannot open %s", kFlash);
        return -1;
    }
    unsigned char record[kMacRecordSize];
    if (!read_at_start(fd, record, kHeaderSize)) {
        printf("ERROR!!! Cannot read %s", kFlash);
        os::close(fd);
        return -1;
    }
    macprog_build_record(record, addr);

    bool written = os::lseek(fd, 0, SEEK_SET) == 0 &&
                   os::write(fd, record, sizeof record) == static_cast<ssize_t>(sizeof record);
    os::sync();
    if (os::close(fd) != 0)
        written = false;
    if (!written) {
        printf("ERROR!!! Cannot write %s", kFlash);
        return -1;
    }
    return 0;
}

} // namespace

void macprog_build_record(unsigned char record[kMacRecordSize], const unsigned char addr[6])
{
    memset(record + kHeaderSize, 0xFF, kMacRecordSize - kHeaderSize);
    for (int s = 0; s < kSlotCount; ++s) {
        unsigned char *slot = record + kSlotOffset + s * kSlotSize;
        memcpy(slot, addr, 6);
        slot[6] = 0x00;
        slot[7] = 0x00;
    }
    unsigned int sum = 0;
    for (int i = 0; i < kSumOffset; ++i)
        sum += record[i];
    record[kSumOffset] = static_cast<unsigned char>(sum);
    record[kSumOffset + 1] = static_cast<unsigned char>(sum);
}

namespace {

// A shell command that must happen: one whose shell could not be started
// (fork fails with EAGAIN or ENOMEM while memory is short) or that failed is
// run again, a few times a moment apart. Left undone, "ifconfig eth0 up"
// would keep the box off the network until it is restarted.
constexpr int kCommandTries = 3;
constexpr int kCommandRetryMs = 100;

void run_command(const char *cmd)
{
    for (int tries = 1; os::system(cmd) != 0 && tries < kCommandTries; ++tries)
        BKNI_Sleep(kCommandRetryMs);
}

} // namespace

int macprog2(const unsigned char *addr, int len)
{
    if (!addr || static_cast<uint8_t>(len) < 6)
        return -1;

    int result = write_record(addr);

    // The running interface takes the address at once, whatever became of
    // the flash; it can change its address only while it is down.
    char cmd[80];
    run_command("ifconfig eth0 down");
    snprintf(cmd, sizeof cmd, "ifconfig eth0 hw ether %02x:%02x:%02x:%02x:%02x:%02x", addr[0], addr[1], addr[2],
             addr[3], addr[4], addr[5]);
    run_command(cmd);
    run_command("ifconfig eth0 up");
    return result;
}
