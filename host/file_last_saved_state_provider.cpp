#include "host/file_last_saved_state_provider.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace host {

FileLastSavedRTPStateProvider::FileLastSavedRTPStateProvider(std::filesystem::path path)
    : path_(std::move(path)) {}

std::optional<bool> FileLastSavedRTPStateProvider::lastSavedRTPState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string text;
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<std::size_t>(status.st_size) <= kMaximumSize) {
    text.resize(kMaximumSize + 1);
    std::size_t filled = 0;
    for (;;) {
      const ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
      if (filled == text.size()) break;
    }
    text.resize(filled <= kMaximumSize ? filled : 0);  // grew past the bound while read
  }
  ::close(fd);
  std::istringstream in(text);
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
