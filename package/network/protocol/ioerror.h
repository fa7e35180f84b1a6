#pragma once

#include <exception>
#include <string>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

namespace network::protocol {

// Bytes left in the packet when a read ran out of them.
using TagBufferBytesAvailable = boost::error_info<struct TagBufferBytesAvailable_, unsigned int>;
// Bytes the failed read needed.
using TagBufferBytesExpected = boost::error_info<struct TagBufferBytesExpected_, unsigned int>;
// Why a packet was rejected as a whole ("Invalid packet size").
using TagPacketCorrupted = boost::error_info<struct TagPacketCorrupted_, std::string>;

// A malformed or truncated packet. Carries its data only as the tags above and records where it
// was thrown (BOOST_THROW_EXCEPTION).
struct IO_Error : virtual std::exception, virtual boost::exception {
  // The text players see, the same with every standard library.
  const char* what() const noexcept override { return "Unknown exception"; }
};

}  // namespace network::protocol
