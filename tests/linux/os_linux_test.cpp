// The box's backend of the platform facade on real files: the value files
// and model detection work the same on the box as in the simulator.
#include "app/model.h"
#include "app/values.h"
#include "platform/os.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class LinuxBackend : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/box-linux-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    void put(const char *name, const std::string &content) const
    {
        std::ofstream(path(name), std::ios::binary) << content;
    }
    std::string get(const char *name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir_;
};

TEST_F(LinuxBackend, ValueFilesReadAndWriteRealFiles)
{
    put("hex", "1f\n");
    int v = -1;
    EXPECT_EQ(parseIntHex(&v, path("hex").c_str()), 0);
    EXPECT_EQ(v, 31);
    EXPECT_EQ(parseInt(&v, path("hex").c_str()), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(parseInt(&v, path("missing").c_str()), -1);
    EXPECT_EQ(v, 0);

    EXPECT_EQ(writeIntHex(path("out").c_str(), 255), 2);
    EXPECT_EQ(get("out"), "ff");
    EXPECT_EQ(writeInt(path("out").c_str(), -12), 3);
    EXPECT_EQ(get("out"), "-12");
    EXPECT_EQ(writeInt(path("no/such/dir").c_str(), 1), -1);

    // A directory where a file is expected holds no value.
    char word[16] = "x";
    EXPECT_EQ(parseString(word, sizeof word, dir_.c_str()), -2);
    EXPECT_STREQ(word, "");
}

TEST_F(LinuxBackend, DescriptorCallsForwardToTheKernel)
{
    int fd = os::open(path("f").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os::write(fd, "abcdef", 6), 6);
    EXPECT_EQ(os::lseek(fd, 2, SEEK_SET), 2);
    char buf[8] = {};
    EXPECT_EQ(os::read(fd, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "cdef");
    // A plain file has no driver requests (the kernel says ENOTTY; an
    // emulator that does not know the request may say ENOSYS).
    int word = 0;
    EXPECT_EQ(os::ioctl(fd, 240, &word), -1);
    EXPECT_TRUE(errno == ENOTTY || errno == ENOSYS) << errno;
    EXPECT_EQ(os::close(fd), 0);

    struct stat st;
    EXPECT_EQ(os::stat(path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 6);
    EXPECT_EQ(os::stat(path("none").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(os::access(path("f").c_str(), R_OK), 0);
}

TEST_F(LinuxBackend, ShellCommandsRunInTheRealShell)
{
    std::string cmd = "echo 127 > " + path("brightness");
    EXPECT_EQ(os::system(cmd.c_str()), 0);
    EXPECT_EQ(get("brightness"), "127\n");
    FILE *p = os::popen(("cat " + path("brightness")).c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[32] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    EXPECT_STREQ(line, "127\n");
    EXPECT_EQ(os::pclose(p), 0);
}

} // namespace
