#include "host/file_last_saved_state_provider.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>

namespace host {

FileLastSavedRTPStateProvider::FileLastSavedRTPStateProvider(std::filesystem::path path)
    : path_(std::move(path)) {}

std::optional<bool> FileLastSavedRTPStateProvider::lastSavedRTPState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ifstream in(path_);
  std::string word;
  if (!(in >> word)) return std::nullopt;
  if (word == "true") return true;
  if (word == "false") return false;
  return std::nullopt;
}

void FileLastSavedRTPStateProvider::saveRTPState(bool state) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto temporary = path_.string() + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << (state ? "true" : "false") << '\n';
    if (!out.flush()) {
      std::fprintf(stderr, "cannot write the last saved state to %s\n", temporary.c_str());
      return;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path_, error);
  if (error) {
    std::fprintf(stderr, "cannot save the last saved state to %s: %s\n", path_.c_str(),
                 error.message().c_str());
    std::filesystem::remove(temporary, error);
  }
}

}  // namespace host
