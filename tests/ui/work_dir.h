// Test helpers: a fresh temporary working directory per test (the setting file lands there), and
// whole-file reads and writes.
#pragma once

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace kv::test {

using Bytes = std::vector<uint8_t>;

class TempWorkDir {
 public:
  TempWorkDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kv-ui-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~TempWorkDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    chmod(path_.c_str(), 0700);  // a test may have made it unwritable
    std::filesystem::remove_all(path_, ignored);
  }
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

inline std::optional<Bytes> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// True when the current process cannot create files in `dir` (checked, not assumed: root ignores
// permission bits).
inline bool CannotCreateIn(const std::filesystem::path& dir) {
  const std::string probe = (dir / ".kv-probe").string();
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return true;
  close(fd);
  unlink(probe.c_str());
  return false;
}

// While it lives, this thread's file accesses are checked as an unprivileged user's, even when the
// tests run as root (who would otherwise write read-only files). Ok() is false when that is not
// possible here.
class UnprivilegedFileAccess {
 public:
  static constexpr uid_t Nobody = 65534;
  UnprivilegedFileAccess()
      : uid_(static_cast<uid_t>(setfsuid(Nobody))), gid_(static_cast<gid_t>(setfsgid(Nobody))) {}
  ~UnprivilegedFileAccess() {
    setfsuid(uid_);
    setfsgid(gid_);
  }
  UnprivilegedFileAccess(const UnprivilegedFileAccess&) = delete;
  UnprivilegedFileAccess& operator=(const UnprivilegedFileAccess&) = delete;
  // setfsuid with an invalid id changes nothing and reports the current one.
  bool Ok() const { return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == Nobody; }

 private:
  uid_t uid_;
  gid_t gid_;
};

}  // namespace kv::test
