// An argument vector built from strings, the program name first.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kt {

class Args {
 public:
  Args(std::initializer_list<std::string> args) : Args(std::vector<std::string>(args)) {}
  explicit Args(std::vector<std::string> args) : strings_(std::move(args)) {
    strings_.insert(strings_.begin(), "kelindex");
    for (std::string& s : strings_) pointers_.push_back(s.data());
    pointers_.push_back(nullptr);
  }
  Args(const Args&) = delete;  // the pointers address this object's strings
  Args& operator=(const Args&) = delete;

  int argc() const { return static_cast<int>(strings_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

}  // namespace kt
