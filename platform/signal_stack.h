#pragma once
// A fault from an exhausted stack can only be reported from a stack of its own, and the kernel
// gives a new thread none. Threads that run our code call PrepareThreadSignalStack first; it
// does nothing until the crash handler has been installed.
namespace platform {

// From now on PrepareThreadSignalStack gives threads an alternate signal stack.
void EnableThreadSignalStacks();
// Gives the calling thread an alternate signal stack for as long as it runs (once per thread).
void PrepareThreadSignalStack();

}  // namespace platform
