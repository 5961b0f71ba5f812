#pragma once

#include <optional>
#include <string>
#include <vector>

namespace wire {

// Reads a CPU list as the kernel writes one ("0", "0-3,6", "1,3"): the CPUs in the order given,
// each once; nothing for a malformed text, a range given backwards or a CPU beyond 1023.
std::optional<std::vector<int>> ParseCpuList(const std::string& text);

// The CPUs of `cpus` this process may not run on; none when all may be used.
std::vector<int> UnusableCpus(const std::vector<int>& cpus);

// Restricts the calling thread to `cpus`; false when the kernel refuses.
bool PinCurrentThread(const std::vector<int>& cpus);

// The CPU that handles the port's interrupts when their affinity is narrower than every CPU
// (the first of them); nothing for a port without interrupts of its own, such as a veth.
std::optional<int> InterruptCpu(const std::string& interfaceName);

}  // namespace wire
