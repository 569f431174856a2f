// A private temporary directory made the working directory for the life of
// the object, as the host's working directory where station files live.
#pragma once

#include <string>

class TemporaryWorkingDirectory {
 public:
  TemporaryWorkingDirectory();
  ~TemporaryWorkingDirectory();
  TemporaryWorkingDirectory(const TemporaryWorkingDirectory&) = delete;
  TemporaryWorkingDirectory& operator=(const TemporaryWorkingDirectory&) = delete;

  void WriteFile(const std::string& name, const std::string& contents);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};
