// Value files and model detection on the simulated box, with hostile content.
#include "app/model.h"
#include "app/status.h"
#include "app/values.h"
#include "sim_test.h"

#include <cstring>
#include <string>

namespace {

using boxtest::make_box;

TEST(ValueFiles, ScanStopsAtTheFirstCharacterThatDoesNotFit)
{
    auto box = make_box();
    box->add_file("/proc/stb/x", "1f\n");
    int v = -1;
    EXPECT_EQ(parseIntHex(&v, "/proc/stb/x"), 0);
    EXPECT_EQ(v, 31);
    EXPECT_EQ(parseInt(&v, "/proc/stb/x"), 0);
    EXPECT_EQ(v, 1);
    box->add_file("/proc/stb/x", "0x1F");
    EXPECT_EQ(parseIntHex(&v, "/proc/stb/x"), 0);
    EXPECT_EQ(v, 31);
    box->add_file("/proc/uptime", "  1234.56 789.00\n");
    float f = 0;
    EXPECT_EQ(parseFloat(&f, "/proc/uptime"), 0);
    EXPECT_FLOAT_EQ(f, 1234.56f);
}

TEST(ValueFiles, MissingEmptyAndWhiteSpaceFilesZeroTheOutput)
{
    auto box = make_box();
    int v = 77;
    EXPECT_EQ(parseInt(&v, "/proc/stb/none"), -1);
    EXPECT_EQ(v, 0);
    box->add_file("/proc/stb/blank", " \n\t \n");
    v = 77;
    EXPECT_EQ(parseInt(&v, "/proc/stb/blank"), -2);
    EXPECT_EQ(v, 0);
    box->add_file("/proc/stb/word", "up\n");
    v = 77;
    EXPECT_EQ(parseIntHex(&v, "/proc/stb/word"), -2);
    EXPECT_EQ(v, 0);
    char s[8] = "junk";
    EXPECT_EQ(parseString(s, sizeof s, "/proc/stb/blank"), -2);
    EXPECT_STREQ(s, "");
    strcpy(s, "junk");
    EXPECT_EQ(parseString(s, sizeof s, "/proc/stb/none"), -1);
    EXPECT_STREQ(s, "");
    EXPECT_EQ(parseString(s, sizeof s, "/proc/stb/word"), 0);
    EXPECT_STREQ(s, "up");
}

TEST(ValueFiles, HostileContentNeverOverrunsTheBuffer)
{
    auto box = make_box();
    // A 1 MB number and a 1 MB word.
    box->add_file("/sys/digits", std::string(1 << 20, '7'));
    int v = 0;
    EXPECT_EQ(parseInt(&v, "/sys/digits"), 0);
    struct Guarded {
        char buf[16];
        char guard[16];
    } g;
    memset(g.guard, 'G', sizeof g.guard);
    EXPECT_EQ(parseString(g.buf, sizeof g.buf, "/sys/digits"), 0);
    EXPECT_EQ(strlen(g.buf), sizeof g.buf - 1);
    EXPECT_EQ(std::string(g.guard, sizeof g.guard), std::string(16, 'G'));

    // A directory where a file is expected: opened, but holds no value.
    box->add_dir("/sys/class/test0/speed");
    EXPECT_EQ(parseInt(&v, "/sys/class/test0/speed"), -2);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(writeInt("/sys/class/test0/speed", 5), -1);
}

TEST(ValueFiles, WritersPutTheValueWithoutNewline)
{
    auto box = make_box();
    box->add_dir("/proc/stb/frontend/0");
    EXPECT_EQ(writeIntHex("/proc/stb/frontend/0/mode", 255), 2);
    EXPECT_EQ(box->read_file("/proc/stb/frontend/0/mode"), "ff");
    EXPECT_EQ(writeInt("/proc/stb/frontend/0/mode", 1006), 4);
    EXPECT_EQ(box->read_file("/proc/stb/frontend/0/mode"), "1006");
    // No such directory: the open fails.
    EXPECT_EQ(writeInt("/proc/stb/nothere/value", 1), -1);
}

TEST(ModelTable, RowOrderAndSubstringMatching)
{
    EXPECT_EQ(model_kind_of("tetraplus"), 4);
    EXPECT_EQ(model_kind_of("tetra"), 2);
    EXPECT_EQ(model_kind_of("rcplus"), 3);
    EXPECT_EQ(model_kind_of("scplus"), 3);
    EXPECT_EQ(model_kind_of("xnetboxy"), 5);
    EXPECT_EQ(model_kind_of("maxrc"), 6);
    EXPECT_EQ(model_kind_of("maxsc"), 6);
    EXPECT_EQ(model_kind_of("cvz1"), 7);
    EXPECT_EQ(model_kind_of("cvz3"), 8);
    EXPECT_EQ(model_kind_of("Tetra"), 0);  // case matters
    EXPECT_EQ(model_kind_of(""), 0);
    EXPECT_EQ(model_kind_of("ufs922"), 0);
}

TEST(ModelDetection, SetsTheKindFromTheModelFile)
{
    auto box = make_box();
    status_clear();
    box->add_file("/proc/stb/info/cvmodel", "atetrapluss\n");
    EXPECT_EQ(read_proc_stb_info(), 0);
    EXPECT_EQ(g_status.model_kind, 4);
}

TEST(ModelDetection, UnknownMissingAndHugeWordsAreUnknownModels)
{
    auto box = make_box();
    boxsim::StdioCapture cap(*box, nullptr, nullptr, false);
    status_clear();
    EXPECT_EQ(read_proc_stb_info(), -1);  // no model file
    box->add_file("/proc/stb/info/cvmodel", "");
    EXPECT_EQ(read_proc_stb_info(), -1);
    // A 10 KB word: cut to the 127-character buffer; the name beyond the cut
    // is not seen.
    box->add_file("/proc/stb/info/cvmodel", std::string(10 * 1024, 'x') + "rcplus\n");
    EXPECT_EQ(read_proc_stb_info(), -1);
    EXPECT_EQ(g_status.model_kind, 0);
    // Within the first 127 characters it still counts.
    box->add_file("/proc/stb/info/cvmodel", std::string(121, 'x') + "rcplus" + std::string(5000, 'y'));
    EXPECT_EQ(read_proc_stb_info(), 0);
    EXPECT_EQ(g_status.model_kind, 3);
    cap.drain();
    EXPECT_TRUE(box->trace().wait_for(
        [](const boxsim::json &e) { return e.value("text", "") == "unknown model..unknown model..unknown model.."; },
        std::chrono::seconds(2)));
}

} // namespace
