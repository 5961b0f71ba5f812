#pragma once

#include <tins/arp.h>
#include <tins/ethernetII.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

#include <cstdint>
#include <vector>

namespace wire_test {

// A 54-byte RoCE v2 frame (UDP port 4791, a 12-byte BTH) whose UDP checksum is zero, as RoCE
// senders leave it; libtins would fill one in if it re-serialised the frame.
inline std::vector<uint8_t> RoceFrameWithZeroChecksum(uint8_t psnLow = 0x2b) {
    const std::vector<uint8_t> bth = {4, 0, 0xff, 0xff, 0, 0, 0, 0xd1, 0x80, 0, 2, psnLow};
    Tins::EthernetII frame = Tins::EthernetII("02:00:00:00:00:02", "02:00:00:00:00:01") /
                             Tins::IP("10.0.0.2", "10.0.0.1") / Tins::UDP(4791, 49152) /
                             Tins::RawPDU(bth);
    std::vector<uint8_t> bytes = frame.serialize();
    bytes.resize(14 + 20 + 8 + bth.size());  // libtins pads to 60 bytes; the wire need not
    const size_t udpChecksumOffset = 14 + 20 + 6;
    bytes[udpChecksumOffset] = 0;
    bytes[udpChecksumOffset + 1] = 0;
    return bytes;
}

// A 42-byte ARP request, shorter than Ethernet's 60-byte minimum.
inline std::vector<uint8_t> ShortArpFrame() {
    Tins::EthernetII frame =
        Tins::ARP::make_arp_request("10.0.0.2", "10.0.0.1", "02:00:00:00:00:01");
    frame.src_addr("02:00:00:00:00:01");
    std::vector<uint8_t> bytes = frame.serialize();
    bytes.resize(42);
    return bytes;
}

// A 46-byte frame of an unknown ether type.
inline std::vector<uint8_t> Odd46ByteFrame() {
    std::vector<uint8_t> bytes = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x88, 0xb5};
    for (uint8_t i = 0; bytes.size() < 46; ++i) {
        bytes.push_back(i);
    }
    return bytes;
}

}  // namespace wire_test
