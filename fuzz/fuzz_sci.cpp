// Answers to reset of random bytes through the smart-card monitor: a card
// with that answer in reader 0, one monitor pass, the card out, one more
// pass. The answer counts only when its first byte is an initial character
// of ISO/IEC 7816-3 (3B or 3F); a pulled card clears it.
#include "fuzz_box.h"

#include "app/status.h"
#include "console/cards.h"
#include "devices/cards.h"
#include "platform/os.h"

#include <fcntl.h>
#include <string>

namespace {

int g_fds[2] = {-1, -1};

// An answer to reset is at most 33 bytes (ISO/IEC 7816-3).
constexpr size_t kMaxAnswer = 33;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box();
    g_fds[0] = os::open("/dev/sci0", O_RDWR);
    g_fds[1] = os::open("/dev/sci1", O_RDWR);
    if (g_fds[0] < 0 || g_fds[1] < 0)
        abort();
    // Reader 1 stays empty: a pass must not touch its record.
    if (!boxsim::cards::remove(fuzzbox::box(), 1))
        abort();
    g_status.sci_present[0] = 1;
    g_status.sci_present[1] = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    // An empty answer is a card that never answers: the reader's timer,
    // not the monitor, decides that case.
    if (size == 0)
        return 0;
    boxsim::Box &box = fuzzbox::box();
    if (size > kMaxAnswer)
        size = kMaxAnswer;
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kHex[data[i] >> 4];
        hex += kHex[data[i] & 15];
    }
    FUZZ_CHECK(boxsim::cards::insert(box, 0, hex));
    g_status.sci_atr[0] = 0;
    sci_pass(g_fds);
    FUZZ_CHECK(g_status.sci_card[0] != 0);
    FUZZ_CHECK(g_status.sci_atr[0] == ((data[0] == 0x3B || data[0] == 0x3F) ? 1 : 0));
    FUZZ_CHECK(g_status.sci_card[1] == 0 && g_status.sci_atr[1] == 0);

    FUZZ_CHECK(boxsim::cards::remove(box, 0));
    sci_pass(g_fds);
    FUZZ_CHECK(g_status.sci_card[0] == 0 && g_status.sci_atr[0] == 0);
    return 0;
}
