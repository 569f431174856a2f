#include "support/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

TemporaryWorkingDirectory::TemporaryWorkingDirectory() {
  char pattern[] = "/tmp/qvotk-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(path_);
}

TemporaryWorkingDirectory::~TemporaryWorkingDirectory() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TemporaryWorkingDirectory::WriteFile(const std::string& name, const std::string& contents) {
  std::ofstream(path_ + "/" + name, std::ios::binary) << contents;
}
