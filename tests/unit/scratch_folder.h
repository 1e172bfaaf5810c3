// A fresh folder under the system temporary folder for one test, removed with
// everything in it when the test's fixture goes away.
#ifndef QUIB_TESTS_UNIT_SCRATCH_FOLDER_H
#define QUIB_TESTS_UNIT_SCRATCH_FOLDER_H

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

class ScratchFolder {
 public:
  // Makes <temp>/<prefix>-<random>; path() stays empty if that fails.
  explicit ScratchFolder(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) return;
    std::random_device seed;
    std::mt19937_64 random(seed());
    const int kTries = 100;  // a clash is rare: each try has 64 random bits
    for (int i = 0; i < kTries; ++i) {
      const fs::path candidate = base / (prefix + "-" + std::to_string(random()));
      if (fs::create_directory(candidate, error) && !error) {
        fs::permissions(candidate, fs::perms::owner_all, error);  // private to this user
        path_ = candidate.string();
        return;
      }
    }
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }

  // Removes everything inside the folder, which stays.
  void clear() const {
    std::error_code ignored;
    std::vector<std::filesystem::path> entries;  // listed first, then removed
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
      entries.push_back(entry.path());
    }
    for (const auto& entry : entries) std::filesystem::remove_all(entry, ignored);
  }

  // Points QUIB_REGISTRY at the given subfolder (the folder itself when
  // empty), so no test reaches the machine's own settings; returns that path.
  std::string use_as_registry(const std::string& subfolder = std::string()) const {
    const std::string root = subfolder.empty() ? path_ : path_ + "/" + subfolder;
    setenv("QUIB_REGISTRY", root.c_str(), 1);
    return root;
  }

 private:
  std::string path_;
};

#endif  // QUIB_TESTS_UNIT_SCRATCH_FOLDER_H
