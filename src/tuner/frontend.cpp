#include "tuner/frontend.h"

#include "kni/bkni.h"
#include "platform/box_abi.h"
#include "platform/os.h"

#include <cstdio>

std::atomic<int32_t> fd_tuner[4] = {-1, -1, -1, -1};
std::atomic<int32_t> vlt[4], tone[4], freq[4], sr[4], sys[4], mod[4], bw[4];

namespace {

constexpr const char *kFrontendName = "/dev/dvb0.frontend";

// Longest list any delivery system needs: clear, ten settings, tune.
constexpr unsigned kMaxProperties = 12;

struct PropertyList {
    struct dtv_property props[kMaxProperties] = {};
    unsigned count = 0;

    void add(uint32_t cmd, uint32_t data = 0)
    {
        if (count >= kMaxProperties)
            return;
        props[count].cmd = cmd;
        props[count].u.data = data;
        ++count;
    }
};

// Fills the settings of one delivery system, in the order its driver
// applies them.
void add_system_properties(PropertyList &l, int f, int s, int system, int m, int b)
{
    switch (system) {
    case SYS_DVBS:
    case SYS_DVBS2:
        l.add(DTV_INVERSION, INVERSION_AUTO);
        l.add(DTV_FREQUENCY, static_cast<uint32_t>(f));
        l.add(DTV_DELIVERY_SYSTEM, static_cast<uint32_t>(system));
        l.add(DTV_MODULATION, static_cast<uint32_t>(m));
        l.add(DTV_SYMBOL_RATE, static_cast<uint32_t>(s));
        l.add(DTV_INNER_FEC, FEC_AUTO);
        if (system == SYS_DVBS2) {
            l.add(DTV_ROLLOFF, ROLLOFF_20);
            l.add(DTV_PILOT, PILOT_OFF);
        }
        break;
    case SYS_DVBC_ANNEX_A:
        // Cable frequencies are kept in kHz; the driver takes Hz.
        l.add(DTV_FREQUENCY, static_cast<uint32_t>(f) * 1000u);
        l.add(DTV_INVERSION, INVERSION_AUTO);
        l.add(DTV_DELIVERY_SYSTEM, SYS_DVBC_ANNEX_A);
        l.add(DTV_SYMBOL_RATE, static_cast<uint32_t>(s));
        l.add(DTV_INNER_FEC, FEC_AUTO);
        l.add(DTV_MODULATION, static_cast<uint32_t>(m));
        break;
    case SYS_DVBT:
    case SYS_DVBT2:
        l.add(DTV_DELIVERY_SYSTEM, static_cast<uint32_t>(system));
        l.add(DTV_FREQUENCY, static_cast<uint32_t>(f));
        l.add(DTV_INVERSION, INVERSION_AUTO);
        l.add(DTV_CODE_RATE_LP, FEC_AUTO);
        l.add(DTV_CODE_RATE_HP, FEC_AUTO);
        l.add(DTV_MODULATION, QAM_AUTO);
        l.add(DTV_TRANSMISSION_MODE, TRANSMISSION_MODE_AUTO);
        l.add(DTV_GUARD_INTERVAL, GUARD_INTERVAL_AUTO);
        l.add(DTV_HIERARCHY, HIERARCHY_AUTO);
        l.add(DTV_BANDWIDTH_HZ, static_cast<uint32_t>(b));
        break;
    case SYS_ATSC:
    case SYS_DVBC_ANNEX_B:
        l.add(DTV_DELIVERY_SYSTEM, static_cast<uint32_t>(system));
        l.add(DTV_FREQUENCY, static_cast<uint32_t>(f));
        l.add(DTV_INVERSION, INVERSION_AUTO);
        l.add(DTV_MODULATION, static_cast<uint32_t>(m));
        break;
    default:
        break;
    }
}

void send_diseqc(int fd, const uint8_t *bytes, uint8_t len)
{
    struct dvb_diseqc_master_cmd cmd = {};
    for (uint8_t i = 0; i < len && i < sizeof cmd.msg; ++i)
        cmd.msg[i] = bytes[i];
    cmd.msg_len = len;
    os::ioctl(fd, box_abi::FE_DISEQC_SEND_MASTER_CMD, &cmd);
}

// DiSEqC 1.0: reset, power on, then the committed switch (option A,
// position A), each with the settling time the switch needs.
void switch_sequence(int fd, int voltage, int tone_mode)
{
    static const uint8_t reset[] = {0xE0, 0x00, 0x00};
    static const uint8_t power_on[] = {0xE0, 0x00, 0x03};
    static const uint8_t committed[] = {0xE0, 0x10, 0x38, 0xF2};

    os::ioctl(fd, box_abi::FE_SET_TONE, static_cast<unsigned long>(SEC_TONE_OFF));
    BKNI_Sleep(200);
    send_diseqc(fd, reset, sizeof reset);
    BKNI_Sleep(50);
    send_diseqc(fd, power_on, sizeof power_on);
    BKNI_Sleep(150);
    send_diseqc(fd, committed, sizeof committed);
    BKNI_Sleep(50);
    os::ioctl(fd, box_abi::FE_SET_VOLTAGE, static_cast<unsigned long>(voltage));
    os::ioctl(fd, box_abi::FE_SET_TONE, static_cast<unsigned long>(tone_mode));
}

} // namespace

int tuner_read_status(int t)
{
    int fd = fd_tuner[t];
    if (fd < 0)
        return 0;
    uint32_t status = 0;
    if (os::ioctl(fd, box_abi::FE_READ_STATUS, &status) < 0) {
        printf("%s(), LINE=%d, device=%s%d, ioctl(FE_READ_STATUS) ERROR!!! \n", __func__, __LINE__, kFrontendName,
               t);
        return 0;
    }
    return static_cast<int>(status & FE_HAS_LOCK);
}

int tuner_read_snr(int t)
{
    int fd = fd_tuner[t];
    if (fd < 0)
        return 0;
    uint16_t snr = 0;
    if (os::ioctl(fd, box_abi::FE_READ_SNR, &snr) < 0) {
        printf("%s(), LINE=%d, device=%s%d, ioctl(FE_READ_SNR) ERROR!!! \n", __func__, __LINE__, kFrontendName, t);
        return 0;
    }
    return snr;
}

int tuner_read_agc(int t)
{
    int fd = fd_tuner[t];
    if (fd < 0)
        return 0;
    uint16_t strength = 0;
    if (os::ioctl(fd, box_abi::FE_READ_SIGNAL_STRENGTH, &strength) < 0) {
        printf("%s(), LINE=%d, device=%s%d, ioctl(FE_READ_SIGNAL_STRENGTH) ERROR!!! \n", __func__, __LINE__,
               kFrontendName, t);
        return 0;
    }
    return strength;
}

int tuner_set_voltage(int t, int voltage)
{
    int fd = fd_tuner[t];
    if (fd >= 0)
        os::ioctl(fd, box_abi::FE_SET_VOLTAGE, static_cast<unsigned long>(voltage));
    return 0;
}

int tuner_set_tone(int t, int tone_mode)
{
    int fd = fd_tuner[t];
    if (fd >= 0)
        os::ioctl(fd, box_abi::FE_SET_TONE, static_cast<unsigned long>(tone_mode));
    return 0;
}

int tuner_tune(int t, int frequency, int symbol_rate, int system, int modulation, int voltage, int tone_mode,
               int bandwidth)
{
    int fd = fd_tuner[t];
    if (fd < 0)
        return 0;

    if (system == SYS_DVBS || system == SYS_DVBS2)
        switch_sequence(fd, voltage, tone_mode);
    else if (system == SYS_DVBT || system == SYS_DVBT2)
        os::ioctl(fd, box_abi::FE_SET_VOLTAGE, static_cast<unsigned long>(voltage));

    PropertyList list;
    list.add(DTV_CLEAR);
    add_system_properties(list, frequency, symbol_rate, system, modulation, bandwidth);
    list.add(DTV_TUNE);

    struct dtv_properties props = {};
    props.num = list.count;
    props.props = list.props;
    if (os::ioctl(fd, box_abi::FE_SET_PROPERTY, &props) < 0)
        perror("FE_SET_PROPERTY failed");
    return 0;
}
