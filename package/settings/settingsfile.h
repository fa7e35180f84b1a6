#pragma once

#include <boost/program_options.hpp>

namespace settings {

// Reads "Settings.ini" from the working directory into the options bound in `description`
// (store, then notify). Keys that `description` does not register are skipped. Throws the
// parser's errors: an unreadable file, a bad line, a duplicate key, a value of the wrong type.
boost::program_options::variables_map ParseSettingsFile(
    const boost::program_options::options_description& description);

}  // namespace settings
