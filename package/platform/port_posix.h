#pragma once

#include <functional>

// A seam of the POSIX port layer for tests.
namespace platform {

// StartProgram reaps each program it starts on a detached thread of its own, created through this
// function (std::thread by default), which throws std::system_error when no thread can be
// created. Returns the previous one. Replace it only while no StartProgram call runs.
using ThreadStarter = void (*)(std::function<void()> body);
ThreadStarter SetThreadStarter(ThreadStarter starter);

}  // namespace platform
