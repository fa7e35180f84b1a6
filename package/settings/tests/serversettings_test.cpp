#include "package/settings/serversettings.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/scratchdir.h"

namespace {

using test_support::WriteFile;

class ServerSettingsTest : public test_support::InScratchDir {};

TEST_F(ServerSettingsTest, DefaultsWithoutServerSections) {
  WriteFile("Settings.ini", "[Client]\nlog_level=1\nvolume=3\n");
  const ServerSettings settings;
  EXPECT_EQ(settings.GetAusHost(), "aus.example.net");
  EXPECT_EQ(settings.GetAusPort(), "3003");
  EXPECT_EQ(settings.server_host, "game.example.net");
  EXPECT_EQ(settings.server_port, "3004");
  EXPECT_EQ(settings.GetClientVersion(), "");
  EXPECT_EQ(settings.buy_time_caption, "BUY TIME");
  EXPECT_EQ(settings.brand, -1);
  EXPECT_EQ(settings.access_code, -1);
  EXPECT_TRUE(settings.skill_hint);
}

TEST_F(ServerSettingsTest, ReadsAddressesAndWideCodes) {
  WriteFile("Settings.ini",
            "[AUS]\nhost=127.0.0.1\nport=4000\n[Client]\nclient_version=4.34.1905201200\n"
            "access_code=123456789012\nsession_code=-9000000000\n");
  const ServerSettings settings;
  EXPECT_EQ(settings.GetAusHost(), "127.0.0.1");
  EXPECT_EQ(settings.GetAusPort(), "4000");
  EXPECT_EQ(settings.GetClientVersion(), "4.34.1905201200");
  EXPECT_EQ(settings.access_code, 123456789012LL);
  EXPECT_EQ(settings.session_code, -9000000000LL);
}

// The download keys tune speed only: a value that is not a whole number counts as the default,
// a large one as the largest, so that no typo keeps the launcher from starting.
TEST_F(ServerSettingsTest, DownloadKeys) {
  struct Case {
    const char* aus;
    unsigned requestsInFlight;
    unsigned connections;
  } cases[] = {
      {"", 1, 0},
      {"requests_in_flight=8\nconnections=3\n", 8, 3},
      {"requests_in_flight=0\nconnections=0\n", 1, 0},
      {"requests_in_flight=1000\nconnections=1000\n", 64, 32},
      {"requests_in_flight=99999999999999999999\nconnections=99999999999\n", 1, 0},
      {"requests_in_flight=-2\nconnections=-1\n", 1, 0},
      {"requests_in_flight=eight\nconnections=2x\n", 1, 0},
      {"requests_in_flight=\nconnections=\n", 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.aus);
    WriteFile("Settings.ini", std::string("[AUS]\nhost=h\n") + c.aus);
    const ServerSettings settings;
    EXPECT_EQ(settings.GetRequestsInFlight(), c.requestsInFlight);
    EXPECT_EQ(settings.GetConnections(), c.connections);
    EXPECT_EQ(settings.GetAusHost(), "h");
  }
}

TEST_F(ServerSettingsTest, SkillstopAndPrereveal) {
  constexpr int kOff = ServerSettings::kModeOff;
  constexpr int kOn = ServerSettings::kModeOn;
  constexpr int kNone = ServerSettings::kModeNotGiven;
  struct Case {
    const char* client;
    int skillstop;
    int prereveal;
  } cases[] = {
      {"", kNone, kNone},
      {"forced_skillstop=true\n", kOn, kOff},
      {"forced_prereveal=true\n", kOff, kOn},
      {"skillstop=false\n", kOff, kNone},
      {"skillstop=false\nforced_skillstop=true\nforced_prereveal=true\n", kOff, kOn},
      {"forced_skillstop=false\nforced_prereveal=false\n", kOff, kOff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client);
    WriteFile("Settings.ini", std::string("[Client]\n") + c.client);
    const ServerSettings settings;
    EXPECT_EQ(settings.forcedSkillstop, c.skillstop);
    EXPECT_EQ(settings.forcedPrereveal, c.prereveal);
  }
}

TEST_F(ServerSettingsTest, BothModesOnIsAmbiguous) {
  WriteFile("Settings.ini", "[Client]\nskillstop=true\nforced_prereveal=true\n");
  try {
    const ServerSettings settings;
    FAIL() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Ambiguous forced skillstop and forced prereveal parameters [both are On]");
  }
}

// A studio pins its key here; a key given wrongly must stop the launcher rather than leave it
// installing whatever the server sends.
TEST_F(ServerSettingsTest, ReleaseKey) {
  const std::string lower = "0123456789abcdef" + std::string(48, 'e');
  struct Case {
    const char* name;
    std::string aus;
    std::string key;  // "!" for a settings error
  } cases[] = {
      {"absent", "", ""},
      {"empty", "release_key=\n", ""},
      {"lower case", "release_key=" + lower + "\n", lower},
      {"upper case kept as lower", "release_key=0123456789ABCDEF" + std::string(48, 'E') + "\n",
       lower},
      {"blanks around", "release_key=  " + lower + "  \n", lower},
      {"63 digits", "release_key=" + lower.substr(1) + "\n", "!"},
      {"65 digits", "release_key=" + lower + "0\n", "!"},
      {"not hex", "release_key=" + lower.substr(1) + "g\n", "!"},
      {"0x prefix", "release_key=0x" + lower.substr(2) + "\n", "!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("Settings.ini", "[AUS]\nhost=h\n" + c.aus);
    if (c.key == "!") {
      try {
        const ServerSettings settings;
        ADD_FAILURE() << "no error";
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("AUS.release_key is not 64 hexadecimal digits: '", 0),
                  0u)
            << e.what();
      }
      continue;
    }
    const ServerSettings settings;
    EXPECT_EQ(settings.GetReleaseKey(), c.key);
  }
}

TEST_F(ServerSettingsTest, DemoTokenClearedForBlockedBrands) {
  for (const auto& [brand, token] :
       {std::pair{22100, ""}, std::pair{52031, ""}, std::pair{60394, ""}, std::pair{65432, ""},
        std::pair{-1, "abc"}, std::pair{52032, "abc"}}) {
    SCOPED_TRACE(brand);
    WriteFile("Settings.ini", "[Client]\nbrand=" + std::to_string(brand) + "\ndemo_token=abc\n");
    const ServerSettings settings;
    EXPECT_EQ(settings.demo_token, token);
  }
}

TEST_F(ServerSettingsTest, ParserErrorsReachTheCaller) {
  WriteFile("Settings.ini", "[AUS]\nport=1\nport=2\n");
  EXPECT_THROW(ServerSettings(), std::exception);
  std::filesystem::remove("Settings.ini");
  EXPECT_THROW(ServerSettings(), std::exception);
}

}  // namespace
