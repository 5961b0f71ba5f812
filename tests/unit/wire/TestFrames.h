#pragma once

#include <tins/arp.h>
#include <tins/ethernetII.h>
#include <tins/ip.h>
#include <tins/rawpdu.h>
#include <tins/udp.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace wire_test {

// 54 bytes with a zero UDP checksum, as RoCE senders leave it; libtins would fill one in.
inline std::vector<uint8_t> RoceFrameWithZeroChecksum(uint8_t psnLow = 0x2b) {
    const std::vector<uint8_t> bth = {4, 0, 0xff, 0xff, 0, 0, 0, 0xd1, 0x80, 0, 2, psnLow};
    Tins::EthernetII frame = Tins::EthernetII("02:00:00:00:00:02", "02:00:00:00:00:01") /
                             Tins::IP("10.0.0.2", "10.0.0.1") / Tins::UDP(4791, 49152) /
                             Tins::RawPDU(bth);
    std::vector<uint8_t> bytes = frame.serialize();
    bytes.resize(14 + 20 + 8 + bth.size());  // without libtins' padding to 60
    bytes[14 + 20 + 6] = bytes[14 + 20 + 7] = 0;
    return bytes;
}

// 42 bytes, shorter than Ethernet's minimum.
inline std::vector<uint8_t> ShortArpFrame() {
    Tins::EthernetII frame =
        Tins::ARP::make_arp_request("10.0.0.2", "10.0.0.1", "02:00:00:00:00:01");
    frame.src_addr("02:00:00:00:00:01");
    std::vector<uint8_t> bytes = frame.serialize();
    bytes.resize(42);
    return bytes;
}

// An unknown ether type, padded with a counter to the given size.
inline std::vector<uint8_t> OddFrame(size_t size = 46) {
    std::vector<uint8_t> bytes = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01, 0x88, 0xb5};
    for (uint8_t i = 0; bytes.size() < size; ++i) {
        bytes.push_back(i);
    }
    return bytes;
}

// Polls `condition` until it holds or a generous deadline passes; returns its last value.
inline bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

}  // namespace wire_test
