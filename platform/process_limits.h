#pragma once
// Limits the kernel puts on this process that a busy LAN can run into.

namespace platform {

// Raises the soft limit on open descriptors to the hard limit. Every TFTP transfer, request thread
// probe and log line holds a descriptor for a while, and the usual soft limit of 1024 is reached
// long before the hard one; running out would turn into wrong answers to devices. Returns the soft
// limit now in force, or -1 when it cannot be read.
long RaiseDescriptorLimit();

// Descriptors this process holds right now (entries of /proc/self/fd), -1 when unknown.
int CountOpenDescriptors();

}  // namespace platform
