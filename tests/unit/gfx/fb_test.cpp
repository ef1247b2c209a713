// The framebuffer layer against the simulated driver: finding the device,
// the driver's ways of refusing, clipped fills and presentation.
#include "gfx_test_util.h"

#include "devices/fb.h"
#include "gfx/fb.h"
#include "platform/os.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <sys/mman.h>

namespace {

using boxsim::json;
using namespace gfxtest;

// --- finding and opening the device

TEST(FbInit, WaitsForADriverThatLoadsLate)
{
    auto box = fb_box({{"appear_after_s", 1.5}});
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    ASSERT_EQ(fb_init(), 0);

    // Tested once a second: missing at the first two tests, there at the third.
    auto stats = box->trace().find("stat", "/dev/fb0");
    ASSERT_EQ(stats.size(), 3u);
    EXPECT_EQ(stats[0]["result"], -1);
    EXPECT_EQ(stats[1]["result"], -1);
    EXPECT_EQ(stats[2]["result"], 0);
    EXPECT_GE(stats[1]["t"].get<int64_t>() - stats[0]["t"].get<int64_t>(), 900);
    EXPECT_GE(fbFd, 0);
    EXPECT_NE(lfb, nullptr);
    EXPECT_EQ(stdout_of(*box, cap), "");
    EXPECT_EQ(stderr_of(*box, cap), "");
}

TEST(FbInit, GivesUpAfterTenTestsWhenTheDeviceNeverComes)
{
    auto box = fb_box({{"present", false}});
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    EXPECT_EQ(fb_init(), -1);
    auto stats = box->trace().find("stat", "/dev/fb0");
    ASSERT_EQ(stats.size(), 10u);
    // A test a second, and a last wait after the tenth.
    EXPECT_GE(box->now_ms() - stats[0]["t"].get<int64_t>(), 9500);
    EXPECT_EQ(box->trace().count("open", "/dev/fb0"), 0u);
    EXPECT_EQ(fbFd, -1);
    EXPECT_EQ(stdout_of(*box, cap), "stat: /dev/fb0: No such file or directory");
}

// A static /dev has the node from the start; until the driver is loaded
// opening it fails with ENODEV. The wait covers that as it covers a node
// that appears, and a node whose driver never comes ends as a failed open.
TEST(FbInit, WaitsForTheDriverBehindANodeOfAStaticDev)
{
    struct Case {
        const char *what;
        json fb;
        int result;
        size_t stats, opens;
        const char *out, *err;
    } cases[] = {
        {"driver loads after 2.5 s", {{"static_node", true}, {"appear_after_s", 2.5}}, 0, 4, 4, "", ""},
        {"driver loaded at start", {{"static_node", true}}, 0, 1, 1, "", ""},
        {"driver never loads", {{"static_node", true}, {"present", false}}, -1, 10, 10,
         "framebuffer not available.", "FBIOGET_VSCREENINFO: Bad file descriptor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto box = fb_box(c.fb);
        boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
        EXPECT_EQ(fb_init(), c.result);
        EXPECT_EQ(box->trace().find("stat", "/dev/fb0").size(), c.stats);
        auto opens = box->trace().find("open", "/dev/fb0");
        ASSERT_EQ(opens.size(), c.opens);
        for (size_t i = 0; i + 1 < opens.size(); ++i)
            EXPECT_EQ(opens[i].value("errno", ""), "ENODEV") << i;
        EXPECT_EQ(opens.back()["result"].get<int>() >= 0, c.result == 0);
        EXPECT_EQ(c.result == 0, lfb != nullptr && fbFd >= 0);
        EXPECT_EQ(stdout_of(*box, cap), c.out);
        EXPECT_EQ(stderr_of(*box, cap), c.err);
    }
}

// Each step of the initialisation that can fail names itself on standard
// error, closes the device and says the framebuffer is not available.
TEST(FbInit, EveryFailedStepIsReportedAndClosesTheDevice)
{
    struct Case {
        const char *request;
        const char *perror_line;
    } cases[] = {
        {"FBIOGET_VSCREENINFO", "FBIOGET_VSCREENINFO: Input/output error"},
        {"FBIOGET_FSCREENINFO", "FBIOGET_FSCREENINFO: Input/output error"},
        {"mmap", "mmap: Cannot allocate memory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        auto box = fb_box({{"fail", {c.request}}});
        boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
        EXPECT_EQ(fb_init(), -1);
        EXPECT_EQ(fbFd, -1);
        EXPECT_EQ(box->trace().count("close", "/dev/fb0"), 1u);
        EXPECT_EQ(stderr_of(*box, cap), c.perror_line);
        EXPECT_EQ(stdout_of(*box, cap), "framebuffer not available.");
        // After a failed map nothing can be drawn, and drawing does no harm.
        if (std::string(c.request) == "mmap") {
            EXPECT_EQ(lfb, nullptr);
            EXPECT_EQ(available, 0);
            fb_fill(0, 0, 1280, 720, 0xFF000000);
        }
    }
}

TEST(FbInit, RefusedManualPresentationIsReportedButNotFatal)
{
    auto box = fb_box({{"fail", {"FBIO_SET_MANUAL_BLIT"}}});
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    EXPECT_EQ(fb_init(), 0);
    EXPECT_GE(fbFd, 0);
    EXPECT_EQ(stderr_of(*box, cap), "FBIO_SET_MANUAL_BLIT: Input/output error");
    EXPECT_EQ(stdout_of(*box, cap), "");
}

// --- the mode

TEST(FbSetMode, AfterInitSetsTwoPagesClearsTheFirstAndPresentsIt)
{
    auto box = fb_box();
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    ASSERT_EQ(fb_init(), 0);
    EXPECT_EQ(available, 1280 * 1440 * 4);
    auto manual = fb_requests(*box, "FBIO_SET_MANUAL_BLIT");
    ASSERT_EQ(manual.size(), 1u);
    EXPECT_EQ(manual[0]["value"], 1);
    EXPECT_FALSE(boxsim::picture(*box, "tv").has_value());  // nothing presented yet
    paint_memory(0x12345678);
    ASSERT_EQ(fb_setmode(1280, 720, 32), 0);

    EXPECT_EQ(var.xres, 1280u);
    EXPECT_EQ(var.yres, 720u);
    EXPECT_EQ(var.yres_virtual, 1440u);
    EXPECT_EQ(var.bits_per_pixel, 32u);
    EXPECT_EQ(var.transp.offset, 24u);
    EXPECT_EQ(var.red.offset, 16u);
    EXPECT_EQ(stride, 1280 * 4);
    // First page transparent black, second page untouched.
    EXPECT_EQ(words_not(0x12345678), 1280u * 720u);
    for (int i = 0; i < 1280 * 720; ++i)
        ASSERT_EQ(lfb[i], 0u) << i;

    auto put = fb_requests(*box, "FBIOPUT_VSCREENINFO");
    ASSERT_EQ(put.size(), 1u);
    EXPECT_EQ(put[0]["yres_virtual"], 1440);
    EXPECT_EQ(box->describe()["tv"]["blits"], 1);
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_EQ(tv->width, 1280);
    EXPECT_EQ(tv->height, 720);
    EXPECT_EQ(tv->at(640, 360), 0u);
    EXPECT_EQ(stdout_of(*box, cap), "");
    EXPECT_EQ(stderr_of(*box, cap), "");
}

TEST(FbSetMode, DriverWithoutRoomForTwoPagesGetsOneSilently)
{
    for (json fb : {json{{"single_page_only", true}}, json{{"memory", 1280 * 720 * 4}}}) {
        SCOPED_TRACE(fb.dump());
        auto box = fb_box(fb);
        boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
        ASSERT_EQ(fb_init(), 0);
        EXPECT_EQ(fb_setmode(1280, 720, 32), 0);
        EXPECT_EQ(var.xres, 1280u);
        EXPECT_EQ(var.yres, 720u);
        EXPECT_EQ(var.yres_virtual, 720u);
        auto put = fb_requests(*box, "FBIOPUT_VSCREENINFO");
        ASSERT_EQ(put.size(), 2u);
        EXPECT_EQ(put[0]["result"], -1);
        EXPECT_EQ(put[1]["yres_virtual"], 720);
        EXPECT_EQ(put[1]["result"], 0);
        EXPECT_EQ(stdout_of(*box, cap), "");
        EXPECT_EQ(stderr_of(*box, cap), "");
    }
}

TEST(FbSetMode, DriverThatSetsAnotherDepthIsReportedAndKept)
{
    auto box = fb_box({{"force_bpp", 16}});
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    ASSERT_EQ(fb_init(), 0);
    EXPECT_EQ(fb_setmode(1280, 720, 32), 0);
    EXPECT_EQ(var.bits_per_pixel, 16u);
    EXPECT_EQ(stride, 1280 * 2);
    EXPECT_EQ(stdout_of(*box, cap), "SetMode failed: wanted: 1280x720x32, got 1280x720x16");
    // The TV shows the memory as 16-bit pixels (1 alpha, 5 red, 5 green, 5
    // blue): one 32-bit word is two of them.
    fb_fill(0, 0, 1, 1, 0xFFFF8000);
    fb_blit();
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    EXPECT_EQ(tv->at(0, 0), 0xFF000000u);
    EXPECT_EQ(tv->at(1, 0), 0xFFFFFFFFu);
    EXPECT_EQ(tv->at(2, 0), 0u);
}

TEST(FbSetMode, RefusedModeLeavesTheDriversModeInPlace)
{
    auto box = fb_box({{"refuse_modes", true}, {"mode", {{"xres", 720}, {"yres", 576}, {"bpp", 32}}}});
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    ASSERT_EQ(fb_init(), 0);
    paint_memory(0x0badf00d);
    EXPECT_EQ(fb_setmode(1280, 720, 32), -1);
    EXPECT_EQ(stderr_of(*box, cap), "FBIOPUT_VSCREENINFO: Invalid argument");
    EXPECT_EQ(stdout_of(*box, cap), "fb failed");
    EXPECT_EQ(fb_requests(*box, "FBIOPUT_VSCREENINFO").size(), 2u);
    // Drawing goes on in the mode the driver really has.
    EXPECT_EQ(var.xres, 720u);
    EXPECT_EQ(var.yres, 576u);
    EXPECT_EQ(words_not(0x0badf00d), 0u);  // nothing cleared, nothing presented
    EXPECT_EQ(box->describe()["tv"]["blits"], 0);
    fb_fill(0, 0, 1280, 720, 0xFF000000);
    EXPECT_EQ(words_not(0x0badf00d), 720u * 576u);

    // A driver whose lines are padded: its own mode is drawn by the line
    // length it reported at start.
    auto padded = fb_box({{"refuse_modes", true}, {"line_align", 4096}, {"mode", {{"xres", 720}, {"yres", 576}}}});
    ASSERT_EQ(fb_init(), 0);
    EXPECT_EQ(fb_setmode(1280, 720, 32), -1);
    EXPECT_EQ(fb_line_words(), 1024);
    paint_memory(0x0badf00d);
    fb_fill(0, 0, 1280, 720, 0xFF000000);
    EXPECT_EQ(words_not(0x0badf00d), 720u * 576u);
    EXPECT_EQ(lfb[1024 * 575 + 719], 0xFF000000u);
    EXPECT_EQ(lfb[1024 * 575 + 720], 0x0badf00du);
}

// Drivers that pad each line beyond its pixels, or that size their memory
// by the mode only once it is set: drawing goes by the driver's line length
// and reaches the memory the mode has, and never past either.
TEST(FbSetMode, DrawsByTheDriversLineLengthIntoTheMemoryOfTheModeSet)
{
    struct Case {
        const char *what;
        json fb;
        int line_bytes;
        int mapped_at_start, mapped_after;
        bool map_fails_after_start;
        const char *perror_line;
    } cases[] = {
        {"unpadded", json::object(), 5120, 1280 * 1440 * 4, 1280 * 1440 * 4, false, ""},
        {"lines padded to 8192 bytes, one page", {{"line_align", 8192}}, 8192, 1280 * 1440 * 4, 1280 * 1440 * 4,
         false, ""},
        {"memory sized by the mode", {{"smem_per_mode", true}}, 5120, 720 * 576 * 4, 1280 * 1440 * 4, false, ""},
        {"both", {{"line_align", 8192}, {"smem_per_mode", true}, {"memory", 8192 * 1440}}, 8192, 8192 * 576,
         8192 * 1440, false, ""},
        {"memory sized by the mode, second map refused", {{"smem_per_mode", true}}, 5120, 720 * 576 * 4,
         720 * 576 * 4, true, "mmap: Cannot allocate memory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto box = fb_box(c.fb);
        boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
        ASSERT_EQ(fb_init(), 0);
        EXPECT_EQ(available, c.mapped_at_start);
        if (c.map_fails_after_start)
            boxsim::fb_set_failure(*box, "mmap", ENOMEM);
        ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
        EXPECT_EQ(stride, c.line_bytes);
        EXPECT_EQ(fb_line_bytes(), c.line_bytes);
        EXPECT_EQ(available, c.mapped_after);
        EXPECT_EQ(stderr_of(*box, cap), c.perror_line);
        const int words = c.line_bytes / 4;
        const int rows = std::min(720, c.mapped_after / c.line_bytes);
        EXPECT_EQ(fb_drawable_rows(), rows);

        // A whole-screen fill covers each line's pixels and leaves its
        // padding; a box lands where the TV shows it.
        paint_memory(0x01020304);
        fb_fill(0, 0, 1280, 720, 0xFF000000);
        fb_fill(1270, 100, 50, 2, 0xFFFF0000);
        size_t ink = 0, black = 0;
        for (int i = 0; i < available / 4; ++i) {
            const int row = i / words, col = i % words;
            const uint32_t want = row >= rows || col >= 1280 ? 0x01020304u
                                  : (row == 100 || row == 101) && col >= 1270 ? 0xFFFF0000u
                                                                               : 0xFF000000u;
            ASSERT_EQ(lfb[i], want) << "row " << row << " column " << col;
            ink += want == 0xFFFF0000u;
            black += want == 0xFF000000u;
        }
        EXPECT_EQ(ink, 20u);
        fb_blit();
        auto tv = boxsim::picture(*box, "tv");
        ASSERT_TRUE(tv);
        EXPECT_EQ(tv->at(1270, 100), 0xFFFF0000u);
        EXPECT_EQ(tv->at(1279, 101), 0xFFFF0000u);
        EXPECT_EQ(tv->at(1269, 100), 0xFF000000u);
        EXPECT_EQ(tv->at(0, rows - 1), 0xFF000000u);
        EXPECT_EQ(tv->at(1279, 102), 0xFF000000u);
    }
}

TEST(FbSetMode, UnreadableFixedInfoKeepsThePreviousLineLength)
{
    auto box = fb_box({{"mode", {{"xres", 720}, {"yres", 576}, {"bpp", 32}}}});
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    ASSERT_EQ(fb_init(), 0);
    boxsim::fb_set_failure(*box, "FBIOGET_FSCREENINFO", EIO);
    EXPECT_EQ(fb_setmode(1280, 720, 32), 0);
    EXPECT_EQ(stderr_of(*box, cap), "FBIOGET_FSCREENINFO: Input/output error");
    EXPECT_EQ(stdout_of(*box, cap), "fb failed");
    EXPECT_EQ(stride, 720 * 4);
    EXPECT_EQ(var.xres, 1280u);
}

TEST(FbBlit, RefusedBlitIsReported)
{
    auto box = fb_box();
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    open_tv();
    boxsim::fb_set_failure(*box, "FBIO_BLIT", EIO);
    fb_blit();
    EXPECT_EQ(stderr_of(*box, cap), "FBIO_BLIT: Input/output error");
    EXPECT_EQ(box->describe()["tv"]["blits"], 1);  // only the one of the mode change
}

// --- fills

TEST(FbFill, IsClippedAtEveryEdgeAndNeverWritesOutsideThePage)
{
    auto box = fb_box();
    open_tv();
    constexpr uint32_t kBack = 0x01020304;
    constexpr uint32_t kInk = 0xFFFF0000;
    struct Rect {
        int x, y, w, h;
    };
    struct Case {
        const char *what;
        Rect asked;
        Rect drawn;  // w or h 0: nothing
    } cases[] = {
        {"inside", {10, 20, 30, 40}, {10, 20, 30, 40}},
        {"over the right edge", {1270, 5, 20, 3}, {1270, 5, 10, 3}},
        {"over the bottom edge", {5, 710, 3, 20}, {5, 710, 3, 10}},
        {"over both", {1275, 715, 100, 100}, {1275, 715, 5, 5}},
        {"starting at the right edge", {1280, 5, 10, 10}, {0, 0, 0, 0}},
        {"starting at the bottom edge", {5, 720, 10, 10}, {0, 0, 0, 0}},
        {"starting far right", {5000, 5, 10, 10}, {0, 0, 0, 0}},
        {"left of the screen", {-5, 3, 10, 2}, {0, 3, 5, 2}},
        {"above the screen", {3, -5, 2, 10}, {3, 0, 2, 5}},
        {"wholly left", {-50, 3, 10, 2}, {0, 0, 0, 0}},
        {"negative width", {100, 100, -10, 5}, {0, 0, 0, 0}},
        {"negative height", {100, 100, 5, -10}, {0, 0, 0, 0}},
        {"sizes that overflow", {10, 10, INT_MAX, INT_MAX}, {10, 10, 1270, 710}},
        {"far left, huge width", {INT_MIN, 0, INT_MAX, 1}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        paint_memory(kBack);
        fb_fill(c.asked.x, c.asked.y, c.asked.w, c.asked.h, kInk);
        const Rect &d = c.drawn;
        EXPECT_EQ(words_not(kBack), static_cast<size_t>(d.w) * d.h);
        for (int y = d.y; y < d.y + d.h; ++y)
            for (int x = d.x; x < d.x + d.w; ++x)
                ASSERT_EQ(pixel(x, y), kInk) << x << "," << y;
    }
}

TEST(FbFill, StaysInsideMemorySmallerThanTheMode)
{
    // A 16-bit single page: the 32-bit fill of the whole screen would need
    // twice the memory the driver has. Its lines are 2560 bytes, 640 words:
    // every line is drawn, each only as far as its own end.
    auto box = fb_box({{"force_bpp", 16}, {"memory", 1280 * 720 * 2}});
    ASSERT_EQ(fb_init(), 0);
    ASSERT_EQ(fb_setmode(1280, 720, 32), 0);
    EXPECT_EQ(var.yres_virtual, 720u);
    EXPECT_EQ(fb_line_words(), 640);
    EXPECT_EQ(fb_drawable_rows(), 720);
    fb_fill(0, 0, 1280, 720, 0xFF00FF00);
    EXPECT_EQ(words_not(0xFF00FF00), 0u);
}

TEST(FbFill, WholeScreenBlackIsOpaqueBlackOnTheTv)
{
    auto box = fb_box();
    open_tv();
    fb_fill(0, 0, 1280, 720, 0xFF000000);
    fb_blit();
    auto tv = boxsim::picture(*box, "tv");
    ASSERT_TRUE(tv);
    for (uint32_t px : tv->argb)
        ASSERT_EQ(px, 0xFF000000u);
}

TEST(FbBlit, TheTvChangesOnlyWhenTheFrameIsPresented)
{
    auto box = fb_box();
    open_tv();
    auto before = boxsim::picture(*box, "tv");
    ASSERT_TRUE(before);
    std::string hash = box->describe()["tv"]["hash"];

    fb_fill(100, 100, 50, 50, 0xFFFF0000);
    auto still = boxsim::picture(*box, "tv");
    EXPECT_EQ(still->argb, before->argb);
    EXPECT_EQ(box->describe()["tv"]["hash"], hash);

    fb_blit();
    auto after = boxsim::picture(*box, "tv");
    EXPECT_EQ(after->at(100, 100), 0xFFFF0000u);
    EXPECT_EQ(after->at(149, 149), 0xFFFF0000u);
    EXPECT_EQ(after->at(150, 150), 0u);
    EXPECT_EQ(after->at(99, 100), 0u);
    auto blits = fb_requests(*box, "FBIO_BLIT");
    ASSERT_EQ(blits.size(), 2u);
    EXPECT_NE(blits[1]["hash"], blits[0]["hash"]);
    EXPECT_EQ(blits[1]["hash"], box->describe()["tv"]["hash"]);

    // The same frame again gives the same hash.
    fb_blit();
    EXPECT_EQ(fb_requests(*box, "FBIO_BLIT")[2]["hash"], blits[1]["hash"]);
}

// The driver keeps the presented frame row by row and hashes again only
// what changed; what it shows and the hash it reports must still follow from
// the presented bytes alone. Each frame of a sequence of small changes is
// presented again on a fresh box in one blit: same hash, same picture.
TEST(FbBlit, HashAndPictureFollowFromThePresentedBytesAlone)
{
    struct Step {
        const char *what;
        int x, y, w, h;
        uint32_t colour;
        bool changes;
    } steps[] = {
        {"page cleared", 0, 0, 1280, 720, 0xFF000000, true},
        {"one pixel of the first row", 7, 0, 1, 1, 0xFFFFFFFF, true},
        {"one pixel of the last row", 1279, 719, 1, 1, 0xFF00FF00, true},
        {"the same pixel again", 1279, 719, 1, 1, 0xFF00FF00, false},
        {"a box across two bands of rows", 100, 10, 150, 40, 0xFF0080FF, true},
        {"the first pixel back", 7, 0, 1, 1, 0xFF000000, true},
        {"the page cleared again", 0, 0, 1280, 720, 0xFF000000, true},
    };
    std::vector<std::vector<uint32_t>> pages;
    std::vector<std::string> hashes;
    std::vector<std::vector<uint32_t>> pictures;
    {
        auto box = fb_box();
        open_tv();
        for (const auto &s : steps) {
            fb_fill(s.x, s.y, s.w, s.h, s.colour);
            fb_blit();
            pages.emplace_back(lfb, lfb + 1280 * 720);
            hashes.push_back(box->describe()["tv"]["hash"]);
            auto tv = boxsim::picture(*box, "tv");
            ASSERT_TRUE(tv);
            pictures.push_back(tv->argb);
            EXPECT_EQ(tv->at(s.x < 0 ? 0 : s.x, s.y < 0 ? 0 : s.y), s.colour) << s.what;
            // The step's rectangle read alone is that part of the frame.
            auto area = boxsim::fb_presented_area(*box, s.x, s.y, s.w, s.h);
            ASSERT_TRUE(area) << s.what;
            EXPECT_EQ(area->mode_width, 1280);
            EXPECT_EQ(area->mode_height, 720);
            bool same = area->pixels.width == s.w && area->pixels.height == s.h;
            for (int y = 0; same && y < s.h; ++y)
                for (int x = 0; same && x < s.w; ++x)
                    same = area->pixels.at(x, y) == tv->at(s.x + x, s.y + y);
            EXPECT_TRUE(same) << s.what;
        }
    }
    for (size_t i = 0; i < pages.size(); ++i) {
        SCOPED_TRACE(steps[i].what);
        if (i > 0) {
            EXPECT_EQ(hashes[i] != hashes[i - 1], steps[i].changes);
        }
        auto fresh = fb_box();
        open_tv();
        std::copy(pages[i].begin(), pages[i].end(), lfb);
        fb_blit();
        EXPECT_EQ(fresh->describe()["tv"]["hash"], hashes[i]);
        auto tv = boxsim::picture(*fresh, "tv");
        ASSERT_TRUE(tv);
        EXPECT_TRUE(tv->argb == pictures[i]);
    }
    EXPECT_EQ(hashes.front(), hashes.back());

    // No area before the first frame, nor one reaching out of the mode.
    auto box = fb_box();
    EXPECT_FALSE(boxsim::fb_presented_area(*box, 0, 0, 1, 1));
    open_tv();
    for (auto [x, y, w, h] : {std::array{-1, 0, 10, 10}, {0, -1, 10, 10}, {1271, 0, 10, 10}, {0, 711, 10, 10},
                              {0, 0, 0, 10}, {0, 0, 10, -1}, {0, 0, 1281, 1}})
        EXPECT_FALSE(boxsim::fb_presented_area(*box, x, y, w, h)) << x << "," << y << " " << w << "x" << h;
    EXPECT_TRUE(boxsim::fb_presented_area(*box, 1270, 710, 10, 10));
}

TEST(FbDriver, AnswersUnknownRequestsLikeLinux)
{
    auto box = fb_box();
    ASSERT_EQ(fb_init(), 0);
    EXPECT_EQ(os::ioctl(fbFd, 0x4699), -1);
    EXPECT_EQ(errno, ENOTTY);
    // A map past the device memory is refused.
    EXPECT_EQ(os::mmap(nullptr, static_cast<size_t>(available) + 4096, PROT_READ, MAP_SHARED, fbFd, 0),
              MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
