#include "package/settings/settingsfile.h"

namespace po = boost::program_options;

namespace settings {

po::variables_map ParseSettingsFile(const po::options_description& description) {
  po::variables_map values;
  po::store(po::parse_config_file<char>("Settings.ini", description, true), values);
  po::notify(values);
  return values;
}

}  // namespace settings
