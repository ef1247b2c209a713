// MAC programming: the record that reaches the flash, the interface commands,
// and what happens when the flash does not take the record.
#include "monitor_fixture.h"

#include "monitor/macprog.h"

#include <algorithm>
#include <fstream>

namespace monitortest {
namespace {

const unsigned char kAddr[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
const std::vector<std::string> kIfconfig = {"ifconfig eth0 down", "ifconfig eth0 hw ether 00:11:22:aa:bb:cc",
                                            "ifconfig eth0 up"};

class MacProg : public MonitorTest {
protected:
    void start_with_flash(const json &flash)
    {
        json p = fast_profile();
        p["flash"] = flash;
        start(p);
    }
    // What the system printed; a message without a line end is recorded
    // once the output has been quiet for a moment.
    bool printed_is(const std::string &text)
    {
        capture->drain();
        return boxtest::eventually([&] { return boxtest::printed(*box) == text; }, 2s);
    }
};

TEST_F(MacProg, RecordSlotsFillerChecksumAndKeptHeader)
{
    start();
    auto header = boxsim::net::flash_read(*box, 0, 12);
    auto after_record = boxsim::net::flash_read(*box, 142, 64);
    EXPECT_EQ(macprog2(kAddr, 6), 0);

    auto rec = boxsim::net::flash_record(*box);
    ASSERT_EQ(rec.size(), 142u);
    EXPECT_EQ(std::vector<unsigned char>(rec.begin(), rec.begin() + 12), header);
    EXPECT_EQ(boxsim::net::hex(header), "48574944000100080000a55a");
    for (int off = 12; off <= 68; off += 8) {
        std::vector<unsigned char> slot(rec.begin() + off, rec.begin() + off + 8);
        EXPECT_EQ(boxsim::net::hex(slot), "001122aabbcc0000") << "slot at " << off;
    }
    for (int i = 76; i < 140; ++i)
        EXPECT_EQ(rec[i], 0xFF) << i;
    unsigned sum = 0;
    for (int i = 0; i < 140; ++i)
        sum += rec[i];
    EXPECT_EQ(rec[140], sum & 0xFF);
    EXPECT_EQ(rec[141], rec[140]);
    EXPECT_EQ(boxsim::net::flash_read(*box, 142, 64), after_record) << "nothing beyond the record is touched";

    // Written in one synchronous write at offset 0, then the interface.
    auto writes = box->trace().find("write", "/dev/mtdblock3");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]["len"], 142);
    EXPECT_EQ(box->trace().count("sync"), 1u);
    EXPECT_EQ(commands(), kIfconfig);
    for (const auto &e : box->trace().find("system"))
        EXPECT_EQ(e["status"], 0) << e.dump();
    auto iface = boxsim::net::interface_state(*box);
    EXPECT_EQ(iface.mac, "00:11:22:aa:bb:cc");
    EXPECT_TRUE(iface.up);
    EXPECT_TRUE(printed_is(""));
}

TEST_F(MacProg, LengthIsAnEightBitCount)
{
    start();
    auto before = boxsim::net::flash_record(*box);
    EXPECT_EQ(macprog2(kAddr, 5), -1);
    EXPECT_EQ(macprog2(kAddr, 256), -1);
    EXPECT_EQ(macprog2(nullptr, 6), -1);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(box->trace().count("open", "/dev/mtdblock3"), 0u);
    EXPECT_EQ(boxsim::net::flash_record(*box), before);

    EXPECT_EQ(macprog2(kAddr, 262), 0);
    EXPECT_EQ(boxsim::net::flash_record_mac(*box), "00:11:22:aa:bb:cc");
    EXPECT_EQ(commands(), kIfconfig);
}

TEST_F(MacProg, FlashFailuresAreReportedAndTheInterfaceStillChanges)
{
    struct Case {
        json flash;
        const char *message;
    };
    const Case cases[] = {
        {json::parse(R"({"present": false})"), "ERROR!!! Cannot open /dev/mtdblock3"},
        {json::parse(R"({"fail": "read", "mac": "02:00:00:00:00:01"})"), "ERROR!!! Cannot read /dev/mtdblock3"},
        {json::parse(R"({"fail": "write", "mac": "02:00:00:00:00:01"})"), "ERROR!!! Cannot write /dev/mtdblock3"},
        // A partition too small for the record takes only part of it.
        {json::parse(R"({"size": 100})"), "ERROR!!! Cannot write /dev/mtdblock3"},
    };
    for (const auto &c : cases) {
        start_with_flash(c.flash);
        auto before = boxsim::net::flash_read(*box, 0, 200);
        EXPECT_EQ(macprog2(kAddr, 6), -1) << c.flash.dump();
        EXPECT_TRUE(printed_is(c.message)) << boxtest::printed(*box);
        EXPECT_EQ(commands(), kIfconfig) << c.flash.dump();
        EXPECT_EQ(boxsim::net::interface_state(*box).mac, "00:11:22:aa:bb:cc");
        if (c.flash.value("fail", "") != "") {
            EXPECT_EQ(boxsim::net::flash_read(*box, 0, 200), before);
        }
    }
}

// A power loss half-way through the erase that programming begins with
// (the partition is written with O_SYNC, so the erase comes inside the
// write): the record is lost with the whole block and the failure is
// reported, but what reads back is never part of a record. The next
// programming writes a whole one.
TEST_F(MacProg, APowerCutInTheEraseLosesTheRecordWholeAndIsReported)
{
    const unsigned char second[6] = {0x02, 0x47, 0x58, 0x01, 0x02, 0x03};
    // What the flash holds at offset 0: "erased", or the address of a whole
    // record (eight equal slots, filler, doubled checksum), or "half".
    auto record_state = [&]() -> std::string {
        auto rec = boxsim::net::flash_record(*box);
        if (std::all_of(rec.begin(), rec.end(), [](unsigned char b) { return b == 0xFF; }))
            return "erased";
        for (int s = 1; s < 8; ++s)
            if (!std::equal(rec.begin() + 12, rec.begin() + 20, rec.begin() + 12 + s * 8))
                return "half";
        if (!std::all_of(rec.begin() + 76, rec.begin() + 140, [](unsigned char b) { return b == 0xFF; }))
            return "half";
        std::string mac = boxsim::net::flash_record_mac(*box);
        return mac.empty() ? "half" : mac;
    };
    struct Case {
        const char *cut;  // "flash cut" argument: which erase from now
        int first_result;
        std::string after_first, after_second;
        const char *message;
    } cases[] = {
        {"1", -1, "erased", "02:47:58:01:02:03", "ERROR!!! Cannot write /dev/mtdblock3"},
        {"2", 0, "00:11:22:aa:bb:cc", "erased", "ERROR!!! Cannot write /dev/mtdblock3"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cut);
        start();
        EXPECT_EQ(record_state(), "02:1c:b4:10:00:01");
        std::string err;
        auto cut = boxsim::actions().at("flash").parse({"cut", c.cut}, err);
        ASSERT_TRUE(cut) << err;
        (*cut)(*box);
        EXPECT_EQ(macprog2(kAddr, 6), c.first_result);
        EXPECT_EQ(record_state(), c.after_first);
        EXPECT_EQ(macprog2(second, 6), c.first_result == 0 ? -1 : 0);
        EXPECT_EQ(record_state(), c.after_second);
        EXPECT_TRUE(printed_is(c.message)) << boxtest::printed(*box);
        EXPECT_EQ(box->describe()["flash"]["cuts"], 1);
        // The interface took each address all the same.
        EXPECT_EQ(boxsim::net::interface_state(*box).mac, "02:47:58:01:02:03");
    }
}

TEST_F(MacProg, FailedProgrammingStillClearsTheRequest)
{
    start_with_flash(json::parse(R"({"fail": "write"})"));
    for (int i = 0; i < 6; ++i) {
        status_store_byte(&g_status.mac_entry[i], kAddr[i]);
        status_store_byte(&g_status.mac_confirm[i], kAddr[i]);
    }
    g_status.mac_request = 1;
    g_status.dhcp_done = 1;
    port_cycle();
    EXPECT_EQ(g_status.mac_request, 0);
    EXPECT_TRUE(printed_is("ERROR!!! Cannot write /dev/mtdblock3"));
}

TEST_F(MacProg, ProgrammedAddressSurvivesTheBox)
{
    boxtest::TempDir dir;
    std::string image = dir.file("mtdblock3.img");
    json flash = json::parse(R"({"size": 131072, "header": "48574944000100080000a55a", "mac": "02:1c:b4:10:00:01"})");
    flash["file"] = image;
    start_with_flash(flash);
    EXPECT_EQ(boxsim::net::interface_state(*box).mac, "02:1c:b4:10:00:01");
    EXPECT_EQ(macprog2(kAddr, 6), 0);

    std::ifstream in(image, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.size(), 131072u);

    // The next start of the box reads the record: the interface comes up with it.
    start_with_flash(flash);
    EXPECT_EQ(boxsim::net::flash_record_mac(*box), "00:11:22:aa:bb:cc");
    EXPECT_EQ(boxsim::net::interface_state(*box).mac, "00:11:22:aa:bb:cc");
    EXPECT_EQ(boxsim::net::hex(boxsim::net::flash_read(*box, 0, 12)), "48574944000100080000a55a");
}

} // namespace
} // namespace monitortest
