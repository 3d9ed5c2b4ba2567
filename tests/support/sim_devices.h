#pragma once
// Simulated devices for tests, with time-outs short enough for a test.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>
#include <vector>

#include "support/time_scale.h"
#include "tools/devsim/device_simulator.h"

namespace testsupport {

// For devices in the namespace at `netnsPath` that ask `serverIp`, or by broadcast when it is empty.
inline devsim::SimConfig QuickDevices(const std::string& serverIp, const std::string& netnsPath) {
    devsim::SimConfig config;
    config.serverIp = serverIp;
    config.broadcast = serverIp.empty();
    config.netnsPath = netnsPath;
    config.stepMs = 20;
    config.requestIntervalMs = 400;
    config.timeUnitMs = Scaled(50);
    config.timeLimitMs = Scaled(90000);
    return config;
}

// Starts devices of the "--device" texts `groups`; null, with the failure recorded, when refused.
inline std::unique_ptr<devsim::DeviceSimulator> StartDevices(devsim::SimConfig config,
                                                             const std::vector<std::string>& groups) {
    std::string error;
    for (const std::string& text : groups) {
        if (!devsim::ParseDeviceGroup(text, &config.groups.emplace_back(), &error)) {
            ADD_FAILURE() << text << ": " << error;
            return nullptr;
        }
    }
    auto sim = std::make_unique<devsim::DeviceSimulator>(config);
    if (sim->Start(&error)) return sim;
    ADD_FAILURE() << error;
    return nullptr;
}

// The CRC-32 of `bytes`, as a device gives it of its download.
inline uint32_t Crc32(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace testsupport
