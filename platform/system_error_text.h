#pragma once
#include <string>

namespace platform {

// The system's text for `error` in the run's language (English, or simplified Chinese), so that
// a Chinese message never carries an English system error. `error` is an errno value or one of
// the Winsock numbers the TFTP service reports (10013, 10022, 10048, 10049, 11001). Without a
// Chinese translation on the host, the common errors still read in Chinese from our own table,
// and any other as its number.
std::string SystemErrorText(int error, bool english);

}  // namespace platform
