// What a failing run leaves behind for a person to look at, when asked:
// with BOXSIM_TEST_OUT=DIR every box a test makes writes its trace
// (DIR/trace.jsonl) and its timeline (DIR/timeline.json) as it runs, and the
// first failed check of the test writes what the box showed then
// (DIR/failed-tv.png, failed-osd.png, failed-lcd.png, failed-state.json).
// The soak replays a failing seed this way. Meant for the tests that run one
// box at a time whose box outlives the test's checks (the scenario runs).
#include "sim_test.h"

#include "boxsim/timeline.h"
#include "core/image.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace boxtest {

namespace {

struct Kept {
    Box *box = nullptr;
    FILE *trace = nullptr;
    boxsim::TimelineFile *timeline = nullptr;  // lives as long as the process
    bool snapped = false;
};
Kept g_kept;

const char *out_dir()
{
    const char *d = getenv("BOXSIM_TEST_OUT");
    return d && *d ? d : nullptr;
}

void snapshot_failure()
{
    const char *dir = out_dir();
    if (!dir || !g_kept.box || g_kept.snapped)
        return;
    g_kept.snapped = true;
    Box &box = *g_kept.box;
    std::string base = std::string(dir) + "/failed-";
    for (const char *which : {"tv", "osd", "lcd"})
        if (auto img = boxsim::picture(box, which))
            boxsim::write_png(*img, base + which + ".png");
    json state = {{"t", box.now_ms()}};
    try {
        state["devices"] = box.describe();
    } catch (const std::exception &e) {
        state["devices"] = {{"error", e.what()}};
    }
    std::ofstream(base + "state.json") << state.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    box.trace().record({{"op", "note"}, {"value", "a check of the test failed here"}});
}

class OutputsListener : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult &r) override
    {
        if (r.failed())
            snapshot_failure();
    }
    void OnTestEnd(const testing::TestInfo &) override
    {
        // Ends the files without touching the box, which may be gone.
        if (g_kept.trace)
            fflush(g_kept.trace);
        if (g_kept.timeline) {
            std::string err;
            g_kept.timeline->end_file(err);
        }
    }
};

const bool g_listening = [] {
    if (out_dir())
        testing::UnitTest::GetInstance()->listeners().Append(new OutputsListener);
    return true;
}();

} // namespace

void keep_outputs(Box &box)
{
    const char *dir = out_dir();
    if (!dir)
        return;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    g_kept = Kept{};
    g_kept.box = &box;
    g_kept.trace = fopen((std::string(dir) + "/trace.jsonl").c_str(), "w");
    if (g_kept.trace)
        box.trace().set_sink(g_kept.trace, true);
    g_kept.timeline = new boxsim::TimelineFile(box, std::string(dir) + "/timeline.json");
}

} // namespace boxtest
