#pragma once

namespace aus::server {

// Message types of the update protocol; a reply carries its request's type.
inline constexpr unsigned char kProtocolVersionType = 0;
inline constexpr unsigned char kClientVersionType = 1;
inline constexpr unsigned char kUpdateDbType = 10;
inline constexpr unsigned char kFileDataType = 11;
inline constexpr unsigned char kFileSizeType = 12;

}  // namespace aus::server
