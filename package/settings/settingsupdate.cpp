#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "package/logging/logger.h"
#include "package/platform/port.h"
#include "package/settings/clientsettings.h"

namespace pt = boost::property_tree;

namespace {

constexpr const char* kSettingsFile = "Settings.ini";
constexpr const char* kUpdateFile = "SettingsUpdate.ini";

struct MergeResult {
  bool changed = false;
  bool restartNeeded = false;
};

bool IsServerAddress(const std::string& key) { return key == "host" || key == "port"; }

pt::ptree::path_type KeyPath(const std::string& section, const std::string& key) {
  return pt::ptree::path_type(section + "." + key);
}

pt::ptree ReadUpdate(const std::string& updateText) {
  pt::ptree update;
  if (updateText.empty()) {
    pt::read_ini(kUpdateFile, update);
  } else {
    std::istringstream in(updateText);
    pt::read_ini(in, update);
  }
  return update;
}

// Values the update holds for keys the settings already have. Only keys inside sections count.
void MergeCommonKeys(pt::ptree& settings, const pt::ptree& update, MergeResult& result) {
  for (const auto& [section, keys] : settings) {
    for (const auto& [key, node] : keys) {
      const auto path = KeyPath(section, key);
      const auto updated = update.get_child_optional(path);
      if (!updated || updated->data() == node.data()) continue;
      settings.put(path, updated->data());
      result.changed = true;
      if (IsServerAddress(key)) result.restartNeeded = true;
    }
  }
}

// Keys only the update holds, appended to their section (or a new section at the end).
void AddMissingKeys(pt::ptree& settings, const pt::ptree& update, MergeResult& result) {
  for (const auto& [section, keys] : update) {
    for (const auto& [key, node] : keys) {
      const auto path = KeyPath(section, key);
      if (settings.get_child_optional(path)) continue;
      settings.put(path, node.data());
      result.changed = true;
      if (IsServerAddress(key)) result.restartNeeded = true;
    }
  }
}

[[noreturn]] void RestartLauncher() {
  auto& logger = Logger::Instance();
  if (platform::StartProgram("launcher.exe", "") > 32) {
    logger.Print("ENGINE", 2, "Settings.ini update: client will be closed for restart");
  } else {
    logger.Print("ENGINE", 3, "Settings.ini update: cannot run launcher.exe");
  }
  std::exit(0);
}

}  // namespace

void ClientSettings::UpdateSettings(const std::string& updateText, bool forceRestart) {
  try {
    if (updateText.empty() && !boost::filesystem::exists(kUpdateFile)) return;
    pt::ptree settings;
    pt::read_ini(kSettingsFile, settings);
    const pt::ptree update = ReadUpdate(updateText);
    MergeResult result;
    MergeCommonKeys(settings, update, result);
    AddMissingKeys(settings, update, result);
    if (!result.changed) return;
    pt::write_ini(kSettingsFile, settings);
    if (forceRestart || result.restartNeeded) RestartLauncher();
  } catch (const std::exception& error) {
    Logger::Instance().Print("ENGINE", 4, "Settings.ini update error: %s", error.what());
    throw;
  }
}
