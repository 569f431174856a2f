#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

TemporaryWorkingDirectory::TemporaryWorkingDirectory() {
  // A fresh name in the system's temporary folder, made by this process
  // alone: create_directory fails on a name that exists.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / ("qvotk-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      fs::permissions(candidate, fs::perms::owner_all, error);
      path_ = candidate.string();
    }
  }
  previous_ = fs::current_path().string();
  fs::current_path(path_);
}

TemporaryWorkingDirectory::~TemporaryWorkingDirectory() {
  fs::current_path(previous_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TemporaryWorkingDirectory::WriteFile(const std::string& name, const std::string& contents) {
  std::ofstream(path_ + "/" + name, std::ios::binary) << contents;
}
