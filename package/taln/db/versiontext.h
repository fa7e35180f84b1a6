#pragma once

#include <string>

#include "package/network/protocol/version.h"

// "major.minor.revision" with the numbers as signed decimals, e.g. "4.35.1906051200".
std::string FormatVersion(const Version& version);

// Reads the leading "%d.%d.%d" of `text` (blanks before a number and text after the third are
// allowed). Gives {0, 0, 0}, meaning no version, unless all three numbers are present and fit
// in 32 bits.
Version ParseVersion(const std::string& text);
