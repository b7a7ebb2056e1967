#pragma once
// Captures what a piece of code writes on standard output and standard
// error (file descriptors 1 and 2, through the C streams), for checking
// progress lines and warnings byte for byte.
#include <functional>
#include <string>

namespace dxtest {

struct Captured {
  std::string out;
  std::string err;
};

// Runs `fn` with descriptors 1 and 2 redirected to temporary files and
// restores them afterwards, also when `fn` throws (the exception is passed
// on after the streams are restored; `into` then holds what was written).
void capture_stdio(const std::function<void()>& fn, Captured& into);

}  // namespace dxtest
