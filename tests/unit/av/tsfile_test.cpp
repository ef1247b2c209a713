// File playback: the set-up sequence, the pump against the simulated DVR
// input (short writes, looping, stop and start) and writeAll.
#include "av_fixture.h"

#include "av/live.h"
#include "av/tsfile.h"
#include "core/faults.h"
#include "core/shell.h"
#include "platform/os.h"

#include <fcntl.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <deque>
#include <thread>

namespace avtest {
namespace {

// Runs the pump on its own thread; ends it with quit.
class Pump {
public:
    Pump()
        : t_(boxsim::clock::spawn("pump", [this] {
              pthread_getcpuclockid(pthread_self(), &cpu);
              started = true;
              task_filepump(nullptr, nullptr);
              done = true;
          }))
    {
    }
    // CPU time the pump's thread used so far.
    double cpu_seconds() const
    {
        timespec ts{};
        clock_gettime(cpu, &ts);
        return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
    }
    std::atomic<bool> started{false};
    clockid_t cpu{};
    ~Pump()
    {
        g_status.quit = 1;
        boxsim::clock::join(t_);
    }
    std::atomic<bool> done{false};

private:
    std::thread t_;
};

// A descriptor whose writes give scripted results, then take everything.
class ScriptedWriter : public boxsim::Device {
public:
    std::deque<ssize_t> script;
    bool stall = false;  // once the script is done: full for ever
    std::string got()
    {
        std::lock_guard<std::mutex> g(m_);
        return got_;
    }
    ssize_t write(boxsim::OpenFile &, const void *buf, size_t len) override
    {
        std::lock_guard<std::mutex> g(m_);
        ssize_t r = static_cast<ssize_t>(len);
        if (script.empty() && stall)
            r = -EAGAIN;
        if (!script.empty()) {
            r = script.front();
            script.pop_front();
        }
        if (r > 0)
            got_.append(static_cast<const char *>(buf), std::min(len, static_cast<size_t>(r)));
        return r;
    }
    short poll(boxsim::OpenFile &, short events) override
    {
        std::lock_guard<std::mutex> g(m_);
        return script.empty() && stall ? 0 : (events & POLLOUT_);
    }

private:
    std::mutex m_;
    std::string got_;
};

std::string looped(const std::string &file, size_t n)
{
    std::string s;
    while (s.size() < n)
        s += file;
    return s.substr(0, n);
}

TEST_F(AvTest, TsfileStartSetsUpDemux4AndTheAudioDecoderAndOpensTheFileFromItsStart)
{
    make();
    Pump pump;
    tsfile_start();
    const std::string d = "/dev/dvb0.demux4 ", a = "/dev/dvb0.audio0 ";
    EXPECT_EQ(requests(), (std::vector<std::string>{d + "DMX_SET_SOURCE", d + "DMX_SET_PES_FILTER", d + "DMX_START",
                                                    a + "AUDIO_SELECT_SOURCE", a + "AUDIO_SET_BYPASS_MODE",
                                                    a + "AUDIO_PAUSE", a + "AUDIO_PLAY", a + "AUDIO_SET_MIXER",
                                                    a + "AUDIO_SET_MUTE", a + "AUDIO_CONTINUE", a + "AUDIO_CLEAR_BUFFER"}));
    json f = last("DMX_SET_PES_FILTER");
    EXPECT_EQ(box->trace().find("ioctl")[0]["source"], 16);
    EXPECT_EQ(f["pid"], 103);
    EXPECT_EQ(f["pes_type"], 0);
    EXPECT_EQ(g_status.tsfile_playing, 1);
    EXPECT_EQ(g_status.volume, 100);
    // The pump opens the DVR input and the file.
    EXPECT_TRUE(boxtest::eventually([] { return fd_dvr4 >= 0 && fd_tsfile >= 0; }, std::chrono::seconds(1)));
    ASSERT_EQ(box->trace().find("open", "/dev/dvb0.dvr4").size(), 1u);
    EXPECT_EQ(box->trace().find("open", "/dev/dvb0.dvr4")[0]["mode"], "w");
    EXPECT_EQ(out(), "");
    tsfile_stop();
    EXPECT_EQ(g_status.tsfile_playing, 0);
    EXPECT_EQ(fd_audio0, -1);
    EXPECT_EQ(fd_demux0_audio, -1);
    EXPECT_GE(fd_dvr4, 0);  // kept until the next start or the pump's end
}

// Ten passes of a 100-packet file through a DVR input that takes short
// writes: what reaches the demultiplexer is the file, looped, aligned.
TEST_F(AvTest, PumpLoopsTheFileThroughShortWritesWithoutLosingAByte)
{
    const std::string file = boxsim::make_audio_ts(32, 100);
    ASSERT_EQ(file.size(), 18800u);
    make({{"dvr_rate", 400000}, {"dvr_buffer", 5000}, {"dvr_capture", 10 * 18800}, {"stills", json::array()}});
    box->file("/root/audio.ts")->set_content(file);
    Pump pump;
    tsfile_start();
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::dvr_passed(*box).size() >= 10 * 18800; },
                                    std::chrono::seconds(10)));
    EXPECT_TRUE(boxsim::dvr_passed(*box) == looped(file, 10 * 18800));
    json check = av()["dvr4"]["check"];
    EXPECT_EQ(check["lost_bytes"], 0);
    EXPECT_EQ(check["sync_losses"], 0);
    EXPECT_EQ(check["cc_errors"], 0);
    EXPECT_EQ(check["bad_frames"], 0);
    EXPECT_GE(check["audio_frames"].get<int>(), 32 * 10 - 1);
    EXPECT_TRUE(av()["audio0"]["feed"]["present"]);
    for (auto &r : box->trace().find("read", "/root/audio.ts"))
        EXPECT_EQ(r["len"], 18800);
    size_t short_writes = 0;
    for (auto &w : box->trace().find("write", "/dev/dvb0.dvr4"))
        short_writes += w["result"] < w["len"];
    EXPECT_GT(short_writes, 10u);
    tsfile_stop();
    EXPECT_EQ(out(), "");
}

TEST_F(AvTest, PartlyTakenChunkIsFinishedWithEveryByteInOrder)
{
    const std::string file = boxsim::make_audio_ts(200);
    ASSERT_GT(file.size(), 48128u);
    make();
    box->file("/root/audio.ts")->set_content(file);
    auto dvr = std::make_shared<ScriptedWriter>();
    dvr->script = {1000, -EAGAIN, -EINTR, 4700};
    box->add_node("/dev/dvb0.dvr4", dvr);
    Pump pump;
    tsfile_start();
    ASSERT_TRUE(boxtest::eventually([&] { return dvr->got().size() >= 2 * 48128; }, std::chrono::seconds(5)));
    tsfile_stop();
    EXPECT_TRUE(dvr->got().substr(0, 2 * 48128) == file.substr(0, 2 * 48128));
}

TEST_F(AvTest, PumpHeldByADvrInputThatNeverDrainsEndsOnStopAndQuit)
{
    make();
    auto dvr = std::make_shared<ScriptedWriter>();
    dvr->script = {1000};
    dvr->stall = true;
    box->add_node("/dev/dvb0.dvr4", dvr);
    auto pump = std::make_unique<Pump>();
    tsfile_start();
    ASSERT_TRUE(boxtest::eventually([&] { return dvr->got().size() == 1000; }, std::chrono::seconds(5)));
    tsfile_stop();
    g_status.quit = 1;
    EXPECT_TRUE(boxtest::eventually([&] { return pump->done.load(); }, std::chrono::seconds(3)));
    pump.reset();
    EXPECT_EQ(fd_dvr4, -1);
    EXPECT_EQ(fd_tsfile, -1);
}

// A file of nothing, and one whose reads fail: the pump sends nothing, says
// nothing and pauses between passes instead of spinning; once the file
// holds a stream again, it plays from its start.
TEST_F(AvTest, EmptyOrUnreadableFileSendsNothingAndIsNotSpunOn)
{
    struct Watched : boxsim::File {
        explicit Watched(boxsim::Box &b) : box(b) {}
        boxsim::Box &box;
        std::atomic<bool> fail{false};
        std::mutex m;
        std::vector<int64_t> reads;  // box time of each read
        ssize_t read(boxsim::OpenFile &of, void *b, size_t n) override
        {
            {
                std::lock_guard<std::mutex> g(m);
                reads.push_back(box.now_ms());
            }
            return fail ? -EIO : File::read(of, b, n);
        }
        size_t count()
        {
            std::lock_guard<std::mutex> g(m);
            return reads.size();
        }
    };
    const std::string stream = boxsim::make_audio_ts(32);
    for (bool unreadable : {false, true}) {
        SCOPED_TRACE(unreadable ? "reads fail" : "empty");
        g_status.quit = 0;
        cap.reset();  // one output capture at a time
        make({{"dvr_rate", 400000}});
        auto f = std::make_shared<Watched>(*box);
        f->fail = unreadable;
        if (unreadable)
            f->set_content(stream);
        box->add_node("/root/audio.ts", f);
        {
            Pump pump;
            tsfile_start();
            ASSERT_TRUE(boxtest::eventually([&] { return f->count() >= 4; }, std::chrono::seconds(10)));
            EXPECT_EQ(box->trace().count("write", "/dev/dvb0.dvr4"), 0u);
            EXPECT_EQ(av()["dvr4"]["check"]["bytes"], 0);
            {
                std::lock_guard<std::mutex> g(f->m);
                for (size_t i = 1; i < f->reads.size(); ++i)
                    EXPECT_GE(f->reads[i] - f->reads[i - 1], 450) << "read " << i << " came without a pause";
            }
            // The stream is there again: it plays from its start, whole.
            f->set_content(stream);
            f->fail = false;
            ASSERT_TRUE(boxtest::eventually([&] { return av()["dvr4"]["check"]["audio_frames"] >= 32; },
                                            std::chrono::seconds(5)));
            json check = av()["dvr4"]["check"];
            EXPECT_EQ(check["lost_bytes"], 0);
            EXPECT_EQ(check["bad_pes"], 0);
            tsfile_stop();
        }
        EXPECT_EQ(out(), "");
    }
}

TEST_F(AvTest, StopThenStartPlaysTheFileFromItsBeginningAgain)
{
    const std::string file = boxsim::make_audio_ts(400);
    make({{"dvr_rate", 300000}, {"dvr_capture", 1 << 20}});
    box->file("/root/audio.ts")->set_content(file);
    Pump pump;
    tsfile_start();
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::dvr_passed(*box).size() >= 20000; }, std::chrono::seconds(5)));
    tsfile_stop();
    ASSERT_TRUE(boxtest::eventually([&] { return av()["dvr4"]["held"] == 0; }, std::chrono::seconds(5)));
    size_t before = boxsim::dvr_passed(*box).size();
    tsfile_start();
    ASSERT_TRUE(boxtest::eventually([&] { return boxsim::dvr_passed(*box).size() >= before + 20000; },
                                    std::chrono::seconds(5)));
    std::string got = boxsim::dvr_passed(*box);
    EXPECT_TRUE(got.substr(0, before) == file.substr(0, before));
    EXPECT_TRUE(got.substr(before, 20000) == file.substr(0, 20000));
    tsfile_stop();
}

// The key task starts the file again while the pump waits to finish a chunk
// for a DVR input that takes nothing; neither the DVR input (another holds
// it) nor the file can be opened again, and the MAC programming opens the
// flash meanwhile. The flash, which may now have the DVR input's old number,
// gets nothing: only the pump closes what it writes to.
TEST_F(AvTest, RestartUnderThePumpSendsNoChunkIntoAnotherFile)
{
    make();
    box->file("/root/audio.ts")->set_content(boxsim::make_audio_ts(400));
    auto dvr = std::make_shared<ScriptedWriter>();
    dvr->script = {1000};
    dvr->stall = true;
    box->add_node("/dev/dvb0.dvr4", dvr);
    auto flash = box->add_file("/dev/mtdblock3", std::string(4096, '\xff'));
    Pump pump;
    tsfile_start();
    ASSERT_TRUE(boxtest::eventually([&] { return dvr->got().size() == 1000; }, std::chrono::seconds(5)));
    for (const char *line : {"open /dev/dvb0.dvr4 EBUSY once", "open /root/audio.ts ENOENT once"}) {
        std::string err;
        auto rule = boxsim::parse_fault(boxsim::split_words(line), err);
        ASSERT_TRUE(rule) << err;
        boxsim::add_fault(*box, *rule);
    }
    tsfile_start();
    int fd = os::open("/dev/mtdblock3", O_RDWR | O_SYNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    boxsim::clock::sleep_for_ms(1500);
    EXPECT_EQ(box->trace().count("write", "/dev/mtdblock3"), 0u);
    EXPECT_TRUE(flash->content() == std::string(4096, '\xff')) << "a chunk of the stream landed in the flash";
    os::close(fd);
    tsfile_stop();
}

TEST_F(AvTest, WriteAllRetriesInterruptedWritesAndGivesUpOnNothingWritten)
{
    make();
    struct Case {
        std::deque<ssize_t> script;
        int result;
        size_t got;
    };
    const Case cases[] = {
        {{0}, -1, 0},
        {{-EINTR, 4, -EINTR, 6}, 10, 10},
        {{3, 0}, -1, 3},
        {{-EIO}, -1, 0},
    };
    for (const auto &c : cases) {
        auto w = std::make_shared<ScriptedWriter>();
        w->script = c.script;
        box->add_node("/dev/out", w);
        int fd = os::open("/dev/out", O_WRONLY);
        errno = 0;
        EXPECT_EQ(writeAll(fd, "0123456789", 10), c.result);
        if (c.script.back() == -EIO) {
            EXPECT_EQ(errno, EIO);
        }
        EXPECT_EQ(w->got(), std::string("0123456789").substr(0, c.got));
        os::close(fd);
    }
}

// A measured run, not a test of time: ten seconds of playback at the
// profile's default rate, with the pump's CPU time printed. Run with
// --gtest_also_run_disabled_tests --gtest_filter='*PumpCpu*'.
TEST_F(AvTest, DISABLED_PumpCpuOverTenSecondsOfPlayback)
{
    make();
    Pump pump;
    ASSERT_TRUE(boxtest::eventually([&] { return pump.started.load(); }, std::chrono::seconds(2)));
    tsfile_start();
    boxsim::clock::sleep_for(std::chrono::seconds(10));
    double cpu = pump.cpu_seconds();
    json check = av()["dvr4"]["check"];
    cap.reset();  // the line below goes to the terminal
    printf("pump CPU %.3f s over 10 s; %lld bytes passed, %lld writes\n", cpu, check["bytes"].get<long long>(),
           static_cast<long long>(box->trace().count("write", "/dev/dvb0.dvr4")));
    EXPECT_GT(check["bytes"].get<long long>(), 150000);
    EXPECT_EQ(check["lost_bytes"], 0);
    tsfile_stop();
}

} // namespace
} // namespace avtest
