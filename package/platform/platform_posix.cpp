#include "package/platform/platform.h"

#include <X11/Xlib.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include "package/platform/linuxsources.h"
#include "package/platform/platformfacts.h"

namespace {

struct ScreenFacts {
  platform::SizeMm size;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The default screen of $DISPLAY; zeros without a display.
ScreenFacts ReadScreen() {
  ScreenFacts screen;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return screen;
  const int number = DefaultScreen(display);
  screen.size = {static_cast<unsigned>(DisplayWidthMM(display, number)),
                 static_cast<unsigned>(DisplayHeightMM(display, number))};
  screen.width = DisplayWidth(display, number);
  screen.height = DisplayHeight(display, number);
  XCloseDisplay(display);
  return screen;
}

}  // namespace

void Platform::initailize() {
  type = platform::kPlatformLinux;
  utsname system{};
  uname(&system);
  const auto kernel = platform::ParseKernelRelease(system.release);
  osMajorVersion = kernel.major;
  osMinorVersion = kernel.minor;
  osBuildNumber = kernel.build;
  userAgent = std::string("Mozilla/5.0 (X11; Linux ") + system.machine + ")";
  macAddress = platform::ReadMacAddress("/sys/class/net");
  machineGuid = platform::ReadMachineId("/etc/machine-id");
  systemDescription = platform::ReadSystemDescription("/sys/firmware/dmi/tables/DMI");

  const ScreenFacts screen = ReadScreen();
  // The monitor's own EDID first; the X server's idea of the screen size otherwise.
  const platform::SizeMm size = platform::ReadEdidSize("/sys/class/drm").value_or(screen.size);
  displayWidthInches = platform::MillimetresToInches(size.width);
  displayHeightInches = platform::MillimetresToInches(size.height);
  virtualScreenWidth = screen.width;
  virtualScreenHeight = screen.height;

  struct sysinfo memory {};
  if (sysinfo(&memory) == 0) {
    physicalMemoryMB = static_cast<std::uint32_t>(
        (static_cast<std::uint64_t>(memory.totalram) * memory.mem_unit) >> 20);
  }
}
