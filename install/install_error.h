// The installation's own failure: a step of the installer (not of the engines below it) that
// cannot go on; the message names the step and the file.
#pragma once

#include <stdexcept>

namespace tarvo::install {

class InstallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tarvo::install
