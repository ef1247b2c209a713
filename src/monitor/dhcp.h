// Address acquisition for eth0: runs the DHCP client and records the address
// it reports in the status record.
#pragma once

// Runs "udhcpc" and reads its output until the output ends, four discovery
// attempts have been seen, the cable is reported unplugged, or three seconds
// have passed; then closes the pipe and kills any client still running (a
// client still in the foreground is killed before the pipe is closed, since
// closing waits for it). Sets `ip` and `dhcp_done` on a lease line; clears
// `dhcp_done` (and `eth_link` on an unplugged report) when the client gives
// up.
void dhcp_step();

// Reads the address of a lease line, from its "Lease of" onwards, with the
// form "Lease of %d.%d.%d.%d obtained". Each number's low eight bits go to
// `ip` in order; reading stops at the first number that does not parse, so
// the bytes from there on keep their values. Returns how many were read.
int dhcp_parse_lease(const char *lease_of, unsigned char ip[4]);
