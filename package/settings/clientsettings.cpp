#include "package/settings/clientsettings.h"

#include <exception>
#include <sstream>

#include <boost/program_options.hpp>

#include "package/logging/logger.h"
#include "package/settings/settingsfile.h"

namespace po = boost::program_options;

namespace {

int DefaultVolume() { return 100; }

// "R G B" into the colour; a component that cannot be read keeps its value.
void ParseColor(const std::string& text, ClientSettings::Color& color) {
  std::istringstream in(text);
  for (std::uint8_t* component : {&color.red, &color.green, &color.blue}) {
    int value = 0;
    if (!(in >> value)) return;
    *component = static_cast<std::uint8_t>(value);
  }
}

}  // namespace

const ClientSettings& ClientSettings::Instance() {
  static const ClientSettings settings;
  return settings;
}

ClientSettings::ClientSettings() {
  UpdateSettings("", false);
  try {
    Read();
  } catch (const std::exception& error) {
    Logger::Instance().Print("ENGINE", 4, "Settings.ini error: %s", error.what());
    throw;
  }
}

void ClientSettings::Read() {
  std::string debugRectText;
  po::options_description description("Settings.ini");
  description.add_options()("Client.fullscreen", po::value(&fullscreen)->default_value(true),
                            "Fullscreen mode.")("Client.two_displays",
                                                po::value(&two_displays)->default_value(false),
                                                "Enable two displays mode.")(
      "Client.forced_fullscreen", po::value(&forced_fullscreen)->default_value(false),
      "Visible mode for fullscreen button.")("Client.developer_mode",
                                             po::value(&developer_mode)->default_value(false),
                                             "Debug: to mark a client as developer's.")(
      "Client.volume", po::value(&volume)->default_value(DefaultVolume()), "Silent mode.")(
      "Client.mobile_mode", po::value(&mobile_mode)->default_value(false),
      "Mobile mode for resources and appearance.")(
      "Client.log_file_path", po::value(&log_file_path)->default_value("Log.txt"),
      "A path to a log file.")(
      "Client.log_level", po::value(&log_level)->default_value(2),
      "Log level. 0 - Trace, 1 - Debug, 2 - Info, 3 - Warning, 4 - Error, 5 - Critical.")(
      "Client.log_stream_mask", po::value(&log_stream_mask)->default_value(3),
      "Log stream mask: 0x01 stream to display, 0x02 stream to file")(
      "Client.window_width", po::value(&window_width)->default_value(-1),
      "Window width for a client.")("Client.window_height",
                                    po::value(&window_height)->default_value(-1),
                                    "Window height for a client.")(
      "Client.design_width", po::value(&design_width)->default_value(1920),
      "Design (logical) width for a client content.")(
      "Client.design_height", po::value(&design_height)->default_value(1080),
      "Design (logical) height for a client content.")(
      "Client.visible_close_button", po::value(&visible_close_button)->default_value(true),
      "Visible mode for close button.")("Client.show_access_code",
                                        po::value(&show_access_code)->default_value(false),
                                        "Visible mode for an access code on the screen.")(
      "Client.image_scale", po::value(&image_scale)->default_value(1.0),
      "Coefficient for run-time image scaling during loading into memory.")(
      "Client.primary_display_index", po::value(&primary_display_index),
      "Set primary display index at startup.")("Client.enable_multiple_instances",
                                               po::value(&enable_multiple_instances),
                                               "Enable start multiple instances of client.")(
      "Client.double_click_feature", po::value(&double_click_feature),
      "Enable double click feature.")("Client.edit_xml", po::value(&edit_xml)->default_value(false),
                                      "Enable reload XML in runtime")(
      "Client.enable_particles", po::value(&enable_particles)->default_value(true),
      "Enable particles")("Client.enable_mouse_cursor",
                          po::value(&enable_mouse_cursor)->default_value(true),
                          "Enabling mouse cursor")(
      "Client.render_driver_hint", po::value(&render_driver_hint)->default_value(""),
      "Render driver hint")("Client.allow_menu_in_direct_play_mode",
                            po::value(&allow_menu_in_direct_play_mode)->default_value(false),
                            "Allow menu in direct play mode")(
      "Client.resolution_policy", po::value(&resolution_policy)->default_value(0),
      "Resolution policy type one of {FIXED_RATIO=0, STRETCH_TO_SCREEN=1, FILL_SCREEN=2, "
      "FIXED_HEIGHT=3, FIXED_WIDTH=4}.")("Client.audio_channels",
                                         po::value(&audio_channels)->default_value(2),
                                         "Output audio channels for sound mixer")(
      "Client.audio_frequency", po::value(&audio_frequency)->default_value(22050),
      "Output audio frequency for sound mixer")(
      "Client.use_angle", po::value(&use_angle)->default_value(true), "Use ANGLE on Windows")(
      "Client.silent_closing", po::value(&silent_closing)->default_value(false),
      "Silently close the app on pressing Cross Button")(
      "Client.res_extention", po::value(&res_extention)->default_value(""),
      "Res file extention {'.res' or '.hd.res'}")(
      "Client.slot_input_keyboard", po::value(&slot_input_keyboard)->default_value(""),
      "Slot input keyboard mapping. For more details contact support.")(
      "Client.debug_rect_color", po::value(&debugRectText)->default_value(""),
      "Debug: to draw limits with a color (e.g. debug_rect_color=255 0 0).")(
      "Client.debug_print_fps", po::value(&debug_print_fps)->default_value(false),
      "Debug: to draw fps on a screen.");
  settings::ParseSettingsFile(description);

  if (!debugRectText.empty()) {
    debugRectEnabled = true;
    ParseColor(debugRectText, debugRectColor);
  }
  if (use_angle) render_driver_hint = "opengles2";
  if (mobile_mode) silent_closing = true;
}
