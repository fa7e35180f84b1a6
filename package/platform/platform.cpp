#include "package/platform/platform.h"

#include "package/platform/platformfacts.h"

const Platform& Platform::Instance() {
  static const Platform instance = [] {
    Platform platform;
    platform.initailize();
    platform.name = platform::PlatformTypeName(platform.type);
    return platform;
  }();
  return instance;
}
