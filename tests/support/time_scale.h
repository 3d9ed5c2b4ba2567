#pragma once
// Sanitizer builds run several times slower than the plain one. Every patience a test gives a peer
// (devices' time-outs, the service's time unit, waits for progress) is stretched by the build's
// factor, set by CMake, so a slow build waits longer but never checks less.
#ifndef KELVANE_TEST_TIME_SCALE
#define KELVANE_TEST_TIME_SCALE 1
#endif

namespace testsupport {

inline constexpr int kTimeScale = KELVANE_TEST_TIME_SCALE;

// `ms` of the plain build, in this build.
constexpr int Scaled(int ms) { return ms * kTimeScale; }

}  // namespace testsupport
