#include "package/settings/serversettings.h"

#include <algorithm>
#include <stdexcept>

#include "package/settings/settingsfile.h"

namespace po = boost::program_options;

namespace {

constexpr const char* kDefaultAusHost = "aus.example.net";
constexpr const char* kDefaultServerHost = "game.example.net";

int Mode(bool given, bool on) {
  if (!given) return ServerSettings::kModeNotGiven;
  return on ? ServerSettings::kModeOn : ServerSettings::kModeOff;
}

bool IsDemoTokenBlocked(int brand) {
  const auto& blocked = ServerSettings::kDemoTokenBlockedBrands;
  return std::find(blocked.begin(), blocked.end(), brand) != blocked.end() ||
         brand == ServerSettings::kDemoTokenBlockedBrandExtra;
}

// A whole number from "0" up, capped at `largest`; `fallback` for anything else.
unsigned Count(const std::string& text, unsigned fallback, unsigned largest) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return fallback;
  }
  return std::min(static_cast<unsigned>(std::stoul(text)), largest);
}

// 64 hexadecimal digits in lower case, or empty for an empty value; throws for anything else.
std::string ReleaseKey(std::string text) {
  const bool hex = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  });
  if (!text.empty() && (text.size() != 64 || !hex)) {
    throw std::invalid_argument("AUS.release_key is not 64 hexadecimal digits: '" + text + "'");
  }
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

}  // namespace

const ServerSettings& ServerSettings::Instance() {
  static const ServerSettings settings;
  return settings;
}

ServerSettings::ServerSettings() {
  // The old and the new skillstop key write one flag; the map notifies "Client.skillstop" last.
  bool skillstop = false;
  bool prereveal = false;
  std::string requestsInFlight;
  std::string connectionCount;
  std::string releaseKey;
  po::options_description description("Settings.ini");
  description.add_options()("AUS.host", po::value(&host)->default_value(kDefaultAusHost),
                            "AUS host.")("AUS.port", po::value(&port)->default_value("3003"),
                                         "AUS port.")(
      "AUS.requests_in_flight", po::value(&requestsInFlight)->default_value("1"),
      "FileData requests outstanding per download connection.")(
      "AUS.connections", po::value(&connectionCount)->default_value("0"),
      "Download connections; 0: from the processor count.")(
      "AUS.release_key", po::value(&releaseKey)->default_value(""),
      "Public key releases must be signed with: 64 hexadecimal digits.")(
      "Server.host", po::value(&server_host)->default_value(kDefaultServerHost), "Server host.")(
      "Server.port", po::value(&server_port)->default_value("3004"), "Server port.")(
      "Client.skillstop", po::value(&skillstop), "Old name for 'forced skillstop'.")(
      "Client.forced_skillstop", po::value(&skillstop), "Forced skillstop mode.")(
      "Client.forced_prereveal", po::value(&prereveal), "Forced prereveal mode.")(
      "Client.skill_hint", po::value(&skill_hint)->default_value(true),
      "Enable skill hints for Skill Reveal games.")(
      "Client.buy_time_caption", po::value(&buy_time_caption)->default_value("BUY TIME"),
      "Replace a caption of the button BUY TIME with specified one.")(
      "Client.sweeps_agreement_text", po::value(&sweeps_agreement_text)->default_value(""),
      "Replace the sweepstakes user agreement with specified one.")(
      "Client.brand", po::value(&brand)->default_value(-1), "Brand id for current client.")(
      "Client.lottery_mode", po::value(&lottery_mode)->default_value(false), "Lottery mode.")(
      "Client.game_id", po::value(&game_id)->default_value(-1),
      "Game id for automatic loading after authorization.")(
      "Client.partner_id", po::value(&partner_id)->default_value(0),
      "Partner id for current client.")("Client.referral_id",
                                        po::value(&referral_id)->default_value(""),
                                        "Referral id for current client.")(
      "Client.access_code", po::value(&access_code)->default_value(-1),
      "Terminal access code (cannot be logged out).")("Client.session_code",
                                                      po::value(&session_code)->default_value(-1),
                                                      "Session access code (for convenience).")(
      "Client.emergency_code", po::value(&emergency_code)->default_value(0), "Emergency code.")(
      "Client.connect_delay", po::value(&connect_delay)->default_value(0),
      "Delay before connection to the server (in sec).")(
      "Client.bingo_mode", po::value(&bingo_mode)->default_value(false),
      "Bingo visualization mode.")("Client.disable_bonus_restore",
                                   po::value(&disable_bonus_restore)->default_value(false),
                                   "Disable restoring of bonus game.")(
      "Client.appstore_specific_feature",
      po::value(&appstore_specific_feature)->default_value(false),
      "Features mode for AppStore client")(
      "Client.cashout_mode", po::value(&cashout_mode),
      "Show or hide cash out button for terminal access code.")(
      "Client.demo_token", po::value(&demo_token)->default_value(""),
      "Demo token for retrieving demo access code.")(
      "Client.client_version", po::value(&client_version)->default_value(""),
      "Client version to download with launcher from AUS. Empty means the latest version.")(
      "Client.is_terminal", po::value(&is_terminal)->default_value(false),
      "Terminal flag for correct code saving")("Client.enable_save_code",
                                               po::value(&enable_save_code)->default_value(false),
                                               "Enabling save access code");
  const po::variables_map values = settings::ParseSettingsFile(description);
  requests_in_flight = Count(requestsInFlight, 1, kMaxRequestsInFlight);
  if (requests_in_flight == 0) requests_in_flight = 1;
  connections = Count(connectionCount, 0, kMaxConnections);
  release_key = ReleaseKey(releaseKey);

  forcedSkillstop =
      Mode(values.count("Client.skillstop") || values.count("Client.forced_skillstop"), skillstop);
  forcedPrereveal = Mode(values.count("Client.forced_prereveal") != 0, prereveal);
  if (forcedSkillstop == kModeOn && forcedPrereveal == kModeOn) {
    throw std::invalid_argument(
        "Ambiguous forced skillstop and forced prereveal parameters [both are On]");
  }
  if (forcedSkillstop == kModeOn) {
    forcedPrereveal = kModeOff;
  } else if (forcedPrereveal == kModeOn) {
    forcedSkillstop = kModeOff;
  }
  if (IsDemoTokenBlocked(brand)) demo_token.clear();
}
