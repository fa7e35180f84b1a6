#include "package/settings/clientsettings.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

using test_support::WriteFile;

class ClientSettingsTest : public test_support::InScratchDir {};

TEST_F(ClientSettingsTest, EmptyFileGivesDefaults) {
  WriteFile("Settings.ini", "");
  const ClientSettings settings;
  EXPECT_EQ(settings.GetLogLevel(), 2);
  EXPECT_EQ(settings.GetLogStreamMask(), 3);
  EXPECT_FALSE(settings.IsMultipleInstancesEnabled());
  EXPECT_TRUE(settings.fullscreen);
  EXPECT_EQ(settings.volume, 100);
  EXPECT_EQ(settings.log_file_path, "Log.txt");
  EXPECT_EQ(settings.window_width, -1);
  EXPECT_EQ(settings.design_height, 1080);
  EXPECT_DOUBLE_EQ(settings.image_scale, 1.0);
  EXPECT_EQ(settings.primary_display_index, 0);
  EXPECT_EQ(settings.audio_frequency, 22050);
  EXPECT_FALSE(settings.debugRectEnabled);
  EXPECT_EQ(settings.debugRectColor.red, 255);
  EXPECT_EQ(settings.debugRectColor.green, 0);
  EXPECT_EQ(settings.debugRectColor.blue, 0);
  EXPECT_EQ(settings.debugRectColor.alpha, 255);
}

TEST_F(ClientSettingsTest, ReadsClientSectionAndSkipsOthers) {
  WriteFile("Settings.ini",
            "# comment\n[AUS]\nhost=aus.test\nport=1\n[Server]\nhost=game.test\n"
            "[Client]\nlog_level = 0\nlog_stream_mask=2\nenable_multiple_instances=yes\n"
            "volume=50\nclient_version=1.2.3\n[client]\nvolume=7\n");
  const ClientSettings settings;
  EXPECT_EQ(settings.GetLogLevel(), 0);
  EXPECT_EQ(settings.GetLogStreamMask(), 2);
  EXPECT_TRUE(settings.IsMultipleInstancesEnabled());
  EXPECT_EQ(settings.volume, 50);
}

TEST_F(ClientSettingsTest, DerivedRules) {
  struct Case {
    const char* name;
    const char* client;
    std::string hint;
    bool silentClosing;
  } cases[] = {
      {"angle by default", "render_driver_hint=direct3d\n", "opengles2", false},
      {"angle off keeps hint", "use_angle=false\nrender_driver_hint=direct3d\n", "direct3d", false},
      {"mobile closes silently", "mobile_mode=true\nsilent_closing=false\n", "opengles2", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("Settings.ini", std::string("[Client]\n") + c.client);
    const ClientSettings settings;
    EXPECT_EQ(settings.render_driver_hint, c.hint);
    EXPECT_EQ(settings.silent_closing, c.silentClosing);
  }
}

TEST_F(ClientSettingsTest, DebugRectColor) {
  WriteFile("Settings.ini", "[Client]\ndebug_rect_color=0 255 0\n");
  const ClientSettings settings;
  EXPECT_TRUE(settings.debugRectEnabled);
  EXPECT_EQ(settings.debugRectColor.red, 0);
  EXPECT_EQ(settings.debugRectColor.green, 255);
  EXPECT_EQ(settings.debugRectColor.blue, 0);
  EXPECT_EQ(settings.debugRectColor.alpha, 255);
}

TEST_F(ClientSettingsTest, ErrorsAreLoggedAndRaised) {
  struct Case {
    const char* name;
    const char* contents;  // nullptr: no file
    std::string message;
  } cases[] = {
      {"missing file", nullptr, "Settings.ini"},
      {"bad value", "[Client]\nvolume=loud\n", "Client.volume"},
      {"duplicate key", "[Client]\nlog_level=1\nlog_level=2\n",
       "option 'Client.log_level' cannot be specified more than once"},
      {"bad line", "[Client]\nvolume\n", "volume"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("Settings.ini");
    if (c.contents) WriteFile("Settings.ini", c.contents);
    testing::internal::CaptureStdout();
    std::string error;
    try {
      const ClientSettings settings;
    } catch (const std::exception& e) {
      error = e.what();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_NE(out.find("; ENGINE; ERROR; Settings.ini error: " + error + "\n"), std::string::npos)
        << out;
  }
}

}  // namespace
