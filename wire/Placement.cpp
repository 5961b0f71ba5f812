#include "wire/Placement.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace wire {

namespace {

constexpr int kMaxCpu = CPU_SETSIZE - 1;

std::optional<int> ReadCpu(const std::string& text) {
    if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    const int cpu = std::stoi(text);
    return cpu <= kMaxCpu ? std::optional<int>(cpu) : std::nullopt;
}

bool AddRange(const std::string& item, std::vector<int>& cpus) {
    const std::size_t dash = item.find('-');
    const auto first = ReadCpu(item.substr(0, dash));
    const auto last = dash == std::string::npos ? first : ReadCpu(item.substr(dash + 1));
    if (!first || !last || *first > *last) {
        return false;
    }
    for (int cpu = *first; cpu <= *last; ++cpu) {
        if (std::find(cpus.begin(), cpus.end(), cpu) == cpus.end()) {
            cpus.push_back(cpu);
        }
    }
    return true;
}

std::string Trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\n");
    const auto end = text.find_last_not_of(" \t\n");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

// The interrupt numbers whose line in /proc/interrupts names the port.
std::vector<int> InterruptsOf(const std::string& interfaceName) {
    std::vector<int> interrupts;
    std::ifstream table("/proc/interrupts");
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        std::string number;
        words >> number;
        if (number.empty() || number.back() != ':') {
            continue;
        }
        for (std::string word; words >> word;) {
            // Queues are named after their port: "enp1s0f0-TxRx-0", "enp1s0f0".
            if (word == interfaceName || word.rfind(interfaceName + "-", 0) == 0) {
                if (const auto irq = ReadCpu(number.substr(0, number.size() - 1))) {
                    interrupts.push_back(*irq);
                }
                break;
            }
        }
    }
    return interrupts;
}

}  // namespace

std::optional<std::vector<int>> ParseCpuList(const std::string& text) {
    std::vector<int> cpus;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        if (!AddRange(item, cpus)) {
            return std::nullopt;
        }
    }
    if (cpus.empty() || text.back() == ',') {
        return std::nullopt;
    }
    return cpus;
}

std::vector<int> UnusableCpus(const std::vector<int>& cpus) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return {};
    }
    std::vector<int> unusable;
    for (int cpu : cpus) {
        if (!CPU_ISSET(cpu, &allowed)) {
            unusable.push_back(cpu);
        }
    }
    return unusable;
}

bool PinCurrentThread(const std::vector<int>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) {
        CPU_SET(cpu, &set);
    }
    return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
}

std::optional<int> InterruptCpu(const std::string& interfaceName) {
    const std::vector<int> interrupts = InterruptsOf(interfaceName);
    if (interrupts.empty()) {
        return std::nullopt;
    }
    std::ifstream file("/proc/irq/" + std::to_string(interrupts.front()) + "/smp_affinity_list");
    std::string text;
    std::getline(file, text);
    const auto affinity = ParseCpuList(Trimmed(text));
    const auto online = static_cast<std::size_t>(sysconf(_SC_NPROCESSORS_ONLN));
    if (!affinity || affinity->size() >= online) {
        return std::nullopt;
    }
    return affinity->front();
}

}  // namespace wire
