#pragma once

#include <span>

// Files compiled into the launcher as byte arrays at build time; they live as long as the program.
namespace launcher::resources {

// The window's background: a baseline JPEG, 400 by 247 pixels, 3 colour components.
std::span<const unsigned char> BackgroundPicture();

// The status line's face: Liberation Sans Narrow Bold (TrueType).
std::span<const unsigned char> StatusFont();

}  // namespace launcher::resources
