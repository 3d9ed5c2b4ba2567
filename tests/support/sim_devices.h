#pragma once
// Simulated devices for tests, with time-outs short enough for a test.
#include <memory>
#include <string>
#include <vector>

#include "tools/devsim/device_simulator.h"

namespace testsupport {

// For devices in the namespace at `netnsPath` that ask `serverIp`, or by broadcast when it is empty.
devsim::SimConfig QuickDevices(const std::string& serverIp, const std::string& netnsPath);
// Starts devices of the "--device" texts `groups`; null, with the failure recorded, when refused.
std::unique_ptr<devsim::DeviceSimulator> StartDevices(devsim::SimConfig config, const std::vector<std::string>& groups);
// The CRC-32 of `bytes`, as a device gives it of its download.
uint32_t Crc32(const std::string& bytes);

}  // namespace testsupport
