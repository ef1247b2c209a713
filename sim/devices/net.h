// The simulated box's network and ports: the Ethernet interface eth0 and its
// cable, a DHCP server on the wire and the DHCP client `udhcpc`, `ifconfig`,
// the USB and SATA ports as sysfs shows them, the HDMI-CEC driver, and the
// flash partition /dev/mtdblock3 that holds the MAC record.
//
// Profile keys (every key optional):
//
//   "network": {
//     "cable": true,            cable plugged at start
//     "speed": 1000,            link speed in Mbit/s while the cable is in
//     "up": true,               eth0 configured up at start
//     "autoneg_ms": 1500,       from plug or "ifconfig eth0 up" to carrier
//     "mac": "00:1e:a0:..",     address when the flash holds no valid record
//     "operstate": "carrier",   what the driver reports: "carrier" (operstate
//                               up or down), "unknown" (no carrier reported:
//                               operstate "unknown" and carrier 1 while up,
//                               whatever the cable), "dormant" (802.1X never
//                               done: "dormant" while the carrier is on, and
//                               no frames pass)
//     "dhcp": {
//       "lease": "192.168.1.20" address the server hands out; null: no server
//       "lease_time": 86400,
//       "answer_ms": 300,        from a discover to the server's offer
//       "discover_timeout_ms": 3000, the client's wait for an offer
//       "retries": 3,            discovers per round before the client pauses
//       "retry_pause_ms": 20000  the pause between rounds
//       "client": {              the DHCP client of the box
//         "words": "box",        "box" (the box's client: "Sending discover...",
//                                "Lease of A.B.C.D obtained, lease time N", "eth0
//                                cable unplugged, powering down"), "busybox"
//                                (busybox 1.35: "udhcpc: broadcasting discover",
//                                "udhcpc: lease of A.B.C.D obtained from S, lease
//                                time N"), "none" (silent)
//         "output": "stdout",    or "stderr"
//         "background": true     false: stays in the foreground after its lease
//       }
//     }
//   }
//   "usb":  { "ports": {"1": "1-1", ...}, "attached": [1, ...] }
//           port number -> sysfs device name of that connector; attached at start
//   "sata": { "hosts": 2, "attached": [0, ...] }    SCSI hosts and disks at start
//   "hdmi": { "present": true, "state": 1 }         state word, or "fail"
//   "flash": {
//     "present": true,
//     "size": 131072,           partition size in bytes
//     "header": "hex",          bytes 0 to 11 of the MAC record at start
//     "mac": "00:1e:a0:..",     address of the MAC record at start
//     "file": "path",           image kept across runs: read at start when it
//                               exists, rewritten after every write to the
//                               partition (a relative path is taken from the
//                               current directory)
//     "fail": "read" | "write"  every read or write of the partition fails (EIO)
//     "erase_block": 131072,    erase block size (default: the partition, up to
//                               128 KiB); writes are cached a block at a time
//                               and reach the flash on a flush (O_SYNC, a
//                               write to another block) or the last close
//     "cut_erase": 0            the N-th erase of the run loses power half-way:
//                               the block reads back erased, the flush fails EIO
//   }
//
// Scenario actions: `cable plug [SPEED]`, `cable unplug`, `dhcp lease A.B.C.D`,
// `dhcp none`, `dhcp client box|busybox|none [stdout|stderr] [background|foreground]`, `usb N on|off`, `sata N on|off`, `hdmi WORD` (WORD: a number,
// "fail" for a failing request, "none" for no driver), `flash cut [N]` (the
// N-th erase of the flash from now loses power half-way). Each external event is
// recorded in the trace as {"op":"event","what":...}.
#pragma once

#include "core/box.h"

#include <cstdint>
#include <string>
#include <vector>

namespace boxsim::net {

// --- Ethernet cable and the DHCP server on the other end.
void cable_plug(Box &box, int speed_mbps = 1000);
void cable_unplug(Box &box);
// The server answers discovers with this address (A.B.C.D); false if the
// text is no address.
bool dhcp_lease(Box &box, const std::string &address);
// No server answers.
void dhcp_none(Box &box);
// The words the DHCP client writes: the box's own client (the lines the
// system reads), busybox's udhcpc of today (1.35), or none at all.
enum class ClientWords { Box, Busybox, None };
// The client the box has from now on: its words, on standard error instead
// of standard output, and whether it goes to the background once it holds a
// lease (false: it stays in the foreground, its output open, as `-f`).
void dhcp_client(Box &box, ClientWords words, bool to_stderr, bool background);
// For tests: the next runs of udhcpc print exactly these pieces (each written
// as it stands, line ends included), `interval_ms` apart, and then end.
void dhcp_script(Box &box, std::vector<std::string> pieces, int interval_ms = 0);

// What the Ethernet driver tells the kernel about the link, which makes
// operstate: the carrier (up or down), nothing (a driver that never reports
// a carrier: "unknown" while the interface is up), or the carrier with the
// port held for 802.1X that never completes ("dormant" while it is on).
enum class LinkReport { Carrier, None, Dormant };

// --- Ports. False when the box has no such port or host.
bool usb(Box &box, int port, bool on);
bool sata(Box &box, int host, bool on);
// The HDMI-CEC driver: a state word, a failing request, or no driver node.
void hdmi_word(Box &box, int32_t word);
void hdmi_fail(Box &box);
void hdmi_absent(Box &box);

// --- State as the box's kernel sees it.
struct Interface {
    bool cable = false;
    int speed = 0;          // of the cable's link, Mbit/s
    bool up = false;        // configured up
    bool carrier = false;   // as the driver reports it (cable in, up, negotiated)
    std::string operstate;  // "up", "down", "unknown" or "dormant"
    std::string mac;        // lower case, colon separated
    std::string ip;         // from the last lease, "" when none
};
Interface interface_state(Box &box);
// Foreground and background DHCP clients running now.
int dhcp_clients(Box &box);

// The flash partition's bytes (empty when there is no partition).
std::vector<unsigned char> flash_read(Box &box, size_t offset, size_t len);
// The MAC record: the first 142 bytes of the partition.
std::vector<unsigned char> flash_record(Box &box);
// The address of a valid MAC record (checksums agree), else "".
std::string flash_record_mac(Box &box);

// Text forms shared with the profile and the actions.
bool parse_mac(const std::string &text, unsigned char out[6]);
bool parse_ipv4(const std::string &text, unsigned char out[4]);
std::string mac_text(const unsigned char mac[6]);
std::string hex(const std::vector<unsigned char> &bytes);

} // namespace boxsim::net
