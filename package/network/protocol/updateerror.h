#pragma once

#include <exception>

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

namespace aus {

// Why the update server refused a request; one byte on the wire. The launcher never interprets
// the value, it only carries it inside UpdateError.
enum class error_code : unsigned char {
  kInvalidRequest = 1,  // the request could not be decoded
  kUnknownVersion = 2,  // no release with the requested version
  kFileNotFound = 3,    // no file with the requested index or name
  kReadFailed = 4,      // the server could not read the file
};

using TagErrorCode = boost::error_info<struct TagErrorCode_, error_code>;

// The update server refused a request; the code is in TagErrorCode.
struct UpdateError : virtual std::exception, virtual boost::exception {
  const char* what() const noexcept override { return "Unknown exception"; }
};

}  // namespace aus
