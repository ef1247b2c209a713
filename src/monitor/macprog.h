// MAC address programming: the address into the flash record that holds the
// box's network identity, then onto the running interface.
#pragma once

// Size of the MAC record at offset 0 of the flash partition.
constexpr int kMacRecordSize = 142;

// Programs the first six bytes of `addr`. `len` counts as an unsigned 8-bit
// value; below 6 the call does nothing and returns -1. Otherwise the record
// is written to /dev/mtdblock3 and eth0 is reconfigured with the address;
// the result is 0 when the whole record reached the flash, -1 (after a
// message) when it did not. The interface is reconfigured in either case.
int macprog2(const unsigned char *addr, int len);

// Fills `record` for the address: bytes 0 to 11 are taken as they stand,
// eight slots of the address and two zero bytes, 0xFF filler, and the 8-bit
// sum of bytes 0 to 139 in bytes 140 and 141.
void macprog_build_record(unsigned char record[kMacRecordSize], const unsigned char addr[6]);
