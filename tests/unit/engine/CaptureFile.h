// Frames as a capture file of them gives them back: written with libpcap, read again.
#pragma once

#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

inline std::vector<Bytes> ThroughCaptureFile(const std::vector<Bytes>& frames) {
    char path[] = "/tmp/engine_testXXXXXX";
    close(mkstemp(path));
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* file = pcap_dump_open(dead, path);
    for (const Bytes& frame : frames) {
        const auto size = static_cast<bpf_u_int32>(frame.size());
        const pcap_pkthdr header{{0, 0}, size, size};
        pcap_dump(reinterpret_cast<u_char*>(file), &header, frame.data());
    }
    pcap_dump_close(file);
    pcap_close(dead);
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* replay = pcap_open_offline(path, error);
    std::vector<Bytes> read;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (replay != nullptr && pcap_next_ex(replay, &header, &data) == 1) {
        read.emplace_back(data, data + header->caplen);
    }
    if (replay != nullptr) {
        pcap_close(replay);
    }
    unlink(path);
    return read;
}

}  // namespace testing_support
