#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "package/logging/logger.h"
#include "package/platform/durablefile.h"
#include "package/platform/port.h"
#include "package/settings/clientsettings.h"

namespace pt = boost::property_tree;

namespace {

constexpr const char* kSettingsFile = "Settings.ini";
constexpr const char* kUpdateFile = "SettingsUpdate.ini";
// The merged file is written here and renamed onto "Settings.ini", which therefore always holds
// either the old or the new settings. Not a ".$$$" name: the engine's start-up sweep would take a
// leftover for a backup and put it back in place of a missing "Settings.ini".
constexpr const char* kUnfinishedFile = "Settings.ini.new";

struct MergeResult {
  bool changed = false;
  bool restartNeeded = false;
};

bool IsServerAddress(const std::string& key) { return key == "host" || key == "port"; }

// No INI section or key name holds a line feed, so it separates the two; a '.' inside a name
// ("audio.backend") stays part of it instead of opening a level the INI writer cannot write.
pt::ptree::path_type KeyPath(const std::string& section, const std::string& key) {
  return pt::ptree::path_type(section + '\n' + key, '\n');
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

void WriteUnfinished(const pt::ptree& settings) {
  std::ofstream out(kUnfinishedFile, std::ios::out | std::ios::trunc);
  if (!out) BOOST_PROPERTY_TREE_THROW(pt::ini_parser_error("cannot open file", kUnfinishedFile, 0));
  pt::write_ini(out, settings);
  out.close();  // a full disk may only show when the last block is written
  // On disk before the rename names it: after a power cut the settings are old or new, not empty.
  if (!out || platform::SyncFile(kUnfinishedFile)) {
    BOOST_PROPERTY_TREE_THROW(pt::ini_parser_error("cannot write file", kUnfinishedFile, 0));
  }
}

// Replaces "Settings.ini" by the merged tree, or leaves it untouched and throws.
void ReplaceSettings(const pt::ptree& settings) {
  namespace fs = boost::filesystem;
  try {
    WriteUnfinished(settings);
    // A rewrite in place kept the file's permissions; the replacement keeps them too.
    boost::system::error_code error;
    const fs::file_status old = fs::status(kSettingsFile, error);
    if (!error) fs::permissions(kUnfinishedFile, old.permissions(), error);
    fs::rename(kUnfinishedFile, kSettingsFile);
    // The rename itself is the change; a folder that cannot be synced keeps it for a later flush.
    platform::SyncDirectory(".");
  } catch (...) {
    boost::system::error_code ignored;
    fs::remove(kUnfinishedFile, ignored);
    throw;
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
    ReplaceSettings(settings);
    if (forceRestart || result.restartNeeded) RestartLauncher();
  } catch (const std::exception& error) {
    Logger::Instance().Print("ENGINE", 4, "Settings.ini update error: %s", error.what());
    throw;
  }
}
