#pragma once

#include <array>
#include <string>

// Server addresses (sections `AUS` and `Server`) and the game and session options of section
// `Client` in "Settings.ini" (working directory), read once per process. Keys of other records
// are skipped. Logs nothing: errors go to the caller of Instance().
class ServerSettings {
 public:
  // Brands whose demo token is always cleared; 65432 has the same effect.
  static constexpr std::array<int, 3> kDemoTokenBlockedBrands = {22100, 52031, 60394};
  static constexpr int kDemoTokenBlockedBrandExtra = 65432;

  // Forced game modes derived from their keys.
  static constexpr int kModeOff = 0;
  static constexpr int kModeOn = 1;
  static constexpr int kModeNotGiven = 2;

  // The process's record, created on first use; a failed creation is tried again next call.
  static const ServerSettings& Instance();

  // Reads "Settings.ini". Throws the parser's errors, std::invalid_argument
  // "Ambiguous forced skillstop and forced prereveal parameters [both are On]", and
  // std::invalid_argument "AUS.release_key is not 64 hexadecimal digits: '<value>'".
  ServerSettings();

  const std::string& GetAusHost() const { return host; }
  const std::string& GetAusPort() const { return port; }
  const std::string& GetClientVersion() const { return client_version; }
  // FileData requests each download connection keeps outstanding ("AUS.requests_in_flight"):
  // 1 unless the server is known to answer pipelined requests in order; at most
  // kMaxRequestsInFlight.
  unsigned GetRequestsInFlight() const { return requests_in_flight; }
  // Download connections ("AUS.connections"); 0, the default, leaves the count to the engine's
  // formula from the processor count. At most kMaxConnections.
  unsigned GetConnections() const { return connections; }
  // The public key releases must be signed with ("AUS.release_key"), as 64 lower-case
  // hexadecimal digits; empty when none is configured. A malformed value fails the whole record:
  // a key given wrongly must not leave the launcher installing unsigned releases.
  const std::string& GetReleaseKey() const { return release_key; }

  // Values of the two download keys that are not whole numbers in range (a typo must not keep
  // the launcher from starting) count as the default; larger ones as the largest.
  static constexpr unsigned kMaxRequestsInFlight = 64;
  static constexpr unsigned kMaxConnections = 32;

  // One field per option, named after its key (AUS keys plain, Server keys with a server_
  // prefix); final once constructed. The defaults live in the option table.
  std::string host;
  std::string port;
  unsigned requests_in_flight = 1;
  unsigned connections = 0;
  std::string release_key;
  std::string server_host;
  std::string server_port;
  bool skill_hint{};
  std::string buy_time_caption;
  std::string sweeps_agreement_text;
  int brand{};
  bool lottery_mode{};
  int game_id{};
  int partner_id{};
  std::string referral_id;
  long long access_code{};
  long long session_code{};
  int emergency_code{};
  unsigned int connect_delay{};
  bool bingo_mode{};
  bool disable_bonus_restore{};
  bool appstore_specific_feature{};
  bool cashout_mode{};
  std::string demo_token;
  std::string client_version;
  bool is_terminal{};
  bool enable_save_code{};

  int forcedSkillstop = kModeNotGiven;
  int forcedPrereveal = kModeNotGiven;
};
