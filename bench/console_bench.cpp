// The console's screen pass: every area drawn and presented on the simulated
// framebuffer, beside what any pass that clears and presents a page pays at
// the least.
#include "bench_box.h"
#include "figures.h"

#include "app/console.h"
#include "app/status.h"
#include "tuner/frontend.h"
#include "tuner/tuner_monitor.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <vector>

// This file's figures in a namespace of its own: the benchmarks compile as
// one unit, and their file-local names stay apart.
namespace console_bench {
namespace {

// The state the monitors of the default box report after a few seconds: two
// tuners, the first running and locked on satellite, the link up at 1 Gbit/s
// with a lease, a card in reader 1 that answered, a CI slot without module.
// Every area then draws all its rows.
void console_state()
{
    boxbench::drawing_box();
    g_status.buttons_seen = 0x45;
    g_status.hdmi = 1;
    g_status.eth_link = 1;
    g_status.eth_speed = 1000;
    g_status.usb[1] = 1;
    const unsigned char ip[4] = {192, 168, 1, 20};
    for (int i = 0; i < 4; ++i)
        status_store_byte(&g_status.ip[i], ip[i]);
    status_store_text(g_status.mac_text, sizeof g_status.mac_text, "02:47:58:10:00:01");
    g_status.sci_present[0] = 1;
    g_status.sci_present[1] = 1;
    g_status.sci_card[1] = 1;
    g_status.sci_atr[1] = 1;
    g_status.ci_present[0] = 1;
    tuner_stat[0] = 1;
    tuner_stat[1] = 1;
    tuner_run[0] = 1;
    tuner_locked[0] = 1;
    tuner_system[0] = 6;
    sys[0] = 6;
    vlt[0] = 0;
    tone[0] = 0;
}

// FBIO_BLIT requests one console pass makes on this box.
long blits_per_pass()
{
    console_state();
    std::atomic<long> n{0};
    auto &trace = boxbench::drawing_box().trace();
    int id = trace.add_listener([&n](const boxsim::json &e) {
        n += e.value("op", "") == "ioctl" && e.value("name", "") == "FBIO_BLIT";
    });
    draw_console();
    trace.remove_listener(id);
    return n.load();
}

void console_pass() { draw_console(); }


// One memset of the page and one memcpy of it per blit of the pass.
boxbench::Buffer g_page, g_shown;
long g_blits = 0;

void page_set_and_copies()
{
    memset(g_page.data(), 0, g_page.size());
    for (long i = 0; i < g_blits; ++i) {
        memcpy(g_shown.data(), g_page.data(), g_page.size());
        benchmark::ClobberMemory();
    }
}

void prepare_reference()
{
    if (g_blits == 0)
        g_blits = blits_per_pass();
    g_page.assign(1280u * 720 * 4, 1);
    g_shown.assign(1280u * 720 * 4, 2);
}

// The pass and its reference: one memset and one memcpy per blit the pass
// makes on this box; the reference's pages set again each round.
void pair_setup()
{
    prepare_reference();
    console_state();
}

const int registered = [] {
    boxbench::add_figure({"console screen pass (all areas, each presented), sim fb", "BM_ConsolePass",
                          "BM_ConsolePageSetAndCopies", 1.5, true, "x"});
    boxbench::add_pair("BM_ConsolePass", "BM_ConsolePageSetAndCopies", pair_setup, console_pass,
                       page_set_and_copies);
    boxbench::add_pass("console", [] {
        console_state();
        console_pass();
    });
    boxbench::add_pass("console-reference", [] {
        if (g_page.empty())
            prepare_reference();
        page_set_and_copies();
    });
    return 0;
}();

} // namespace
} // namespace console_bench
