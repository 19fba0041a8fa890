// Test support shared by every room: temporary folders and an empty registry per test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace nxtest {

// A new folder under the temporary directory, removed with its contents at scope end.
class TempDir {
 public:
  explicit TempDir(const char* prefix = "nxtest") {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A fresh folder named by an environment variable for the scope; the variable is removed
// again at the end so that no later test writes into a deleted folder.
class TempEnvDir {
 public:
  TempEnvDir(const char* variable, const char* prefix) : variable_(variable), dir_(prefix) {
    setenv(variable_.c_str(), dir_.Path().c_str(), 1);
  }
  ~TempEnvDir() { unsetenv(variable_.c_str()); }
  const std::string& Dir() const { return dir_.Path(); }

 private:
  std::string variable_;
  TempDir dir_;
};

// Both registry hives in a fresh folder (NX_REGISTRY_DIR) for the scope.
class TempRegistry : public TempEnvDir {
 public:
  TempRegistry() : TempEnvDir("NX_REGISTRY_DIR", "nxtest-reg") {}
};

}  // namespace nxtest
