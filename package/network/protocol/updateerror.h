#pragma once

#include <exception>
#include <string>

#include <boost/exception/exception.hpp>
#include <boost/exception/get_error_info.hpp>
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
// The local file that the refused request was for.
using TagFileName = boost::error_info<struct TagFileName_, std::string>;

// The update server refused a request; the code is in TagErrorCode.
struct UpdateError : virtual std::exception, virtual boost::exception {
  const char* what() const noexcept override { return "Unknown exception"; }
};

// "The update server refused the file '<TagFileName>' with error code <TagErrorCode>", for the
// log; a tag that is missing is left out with its words.
inline std::string RefusalText(const UpdateError& error) {
  std::string text = "The update server refused the request";
  if (const std::string* name = boost::get_error_info<TagFileName>(error)) {
    text = "The update server refused the file '" + *name + "'";
  }
  if (const error_code* code = boost::get_error_info<TagErrorCode>(error)) {
    text += " with error code " + std::to_string(static_cast<unsigned>(*code));
  }
  return text;
}

}  // namespace aus
