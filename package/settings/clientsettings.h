#pragma once

#include <cstdint>
#include <string>

// The client's window, display, logging, audio and debug options of section `Client` in
// "Settings.ini" (working directory), read once per process. Keys of other records are skipped.
class ClientSettings {
 public:
  // Blue, green, red, alpha: one little-endian 32-bit word with alpha in the highest byte.
  struct Color {
    std::uint8_t blue = 0;
    std::uint8_t green = 0;
    std::uint8_t red = 255;
    std::uint8_t alpha = 255;
  };

  // The process's record, created on first use. Creation merges "SettingsUpdate.ini" first (see
  // UpdateSettings), then reads "Settings.ini"; a failure leaves the record uncreated and is
  // raised to the caller (a later call tries again).
  static const ClientSettings& Instance();

  // Builds a record from "Settings.ini" as Instance() does. Errors are logged as
  // "Settings.ini error: %s" on channel "ENGINE" and raised again unchanged.
  ClientSettings();

  // Merges INI text (or, when `updateText` is empty, the file "SettingsUpdate.ini") into
  // "Settings.ini", key by key within sections; a '.' in a section or key name is part of the
  // name. Rewrites the file only when a value changed, by writing "Settings.ini.new" and renaming
  // it into place: a failed write leaves "Settings.ini" as it was. When a changed or added key is
  // named `host` or `port`, or `forceRestart` is set, starts "launcher.exe" and ends the process
  // with exit code 0. Errors are logged as "Settings.ini update error: %s" and raised again.
  static void UpdateSettings(const std::string& updateText, bool forceRestart);

  bool IsMultipleInstancesEnabled() const { return enable_multiple_instances; }
  int GetLogLevel() const { return log_level; }
  int GetLogStreamMask() const { return log_stream_mask; }

  // One field per option, named after its key; final once constructed. The defaults live in
  // the option table, so a field read before construction ends holds zero.
  bool fullscreen{};
  bool two_displays{};
  bool forced_fullscreen{};
  bool developer_mode{};
  int volume{};
  bool mobile_mode{};
  std::string log_file_path{};
  int log_level{};
  int log_stream_mask{};
  int window_width{};
  int window_height{};
  int design_width{};
  int design_height{};
  bool visible_close_button{};
  bool show_access_code{};
  double image_scale{};
  int primary_display_index{};
  bool enable_multiple_instances{};
  bool double_click_feature{};
  bool edit_xml{};
  bool enable_particles{};
  bool enable_mouse_cursor{};
  std::string render_driver_hint{};
  bool allow_menu_in_direct_play_mode{};
  int resolution_policy{};
  int audio_channels{};
  int audio_frequency{};
  bool use_angle{};
  bool silent_closing{};
  std::string res_extention{};
  std::string slot_input_keyboard{};
  bool debug_print_fps{};

  // Derived from `Client.debug_rect_color` ("R G B"): set when the value is non-empty.
  bool debugRectEnabled = false;
  Color debugRectColor;

 private:
  void Read();
};
