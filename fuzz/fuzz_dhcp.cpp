// Output of the DHCP client of random bytes through the DHCP step. The input
// is cut at each NUL byte into pieces that the client writes one at a time,
// so lines arrive split, joined and longer than the step's line buffer.
#include "fuzz_box.h"

#include "app/status.h"
#include "devices/net.h"
#include "monitor/dhcp.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzbox::box();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzbox::next_input();
    boxsim::Box &box = fuzzbox::box();
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    boxsim::net::dhcp_script(box, pieces, 0);

    g_status.dhcp_done = 0;
    g_status.eth_link = 1;
    dhcp_step();
    int done = g_status.dhcp_done;
    int link = g_status.eth_link;
    FUZZ_CHECK(done == 0 || done == 1);
    FUZZ_CHECK(link == 0 || link == 1);
    // No client is left running after a step, whatever it printed.
    FUZZ_CHECK(boxsim::net::dhcp_clients(box) == 0);
    return 0;
}
