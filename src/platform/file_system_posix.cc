#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The entry of `dir` whose name matches `name` without regard to case; the first in name order
// when several do, so that the answer does not depend on the directory's order.
std::optional<std::string> FindIgnoringCase(const std::string& dir, const std::string& name) {
  DIR* stream = ::opendir(dir.empty() ? "." : dir.c_str());
  if (stream == nullptr) return std::nullopt;
  const std::u16string wanted = ToUpper(FromUtf8(name));
  std::vector<std::string> matches;
  while (const dirent* entry = ::readdir(stream)) {
    if (ToUpper(FromUtf8(entry->d_name)) == wanted) matches.emplace_back(entry->d_name);
  }
  ::closedir(stream);
  if (matches.empty()) return std::nullopt;
  return *std::min_element(matches.begin(), matches.end());
}

// The host path for a path as the library spells it.
std::string HostPath(std::u16string_view path) {
  std::string text = ToUtf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  std::string resolved = text.starts_with('/') ? "/" : "";
  size_t start = 0;
  bool lost = false;  // once a component is missing, the rest cannot be looked for
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    std::string next = resolved + part;
    if (!lost && part != "." && part != ".." && !Exists(next)) {
      const std::string dir = resolved.empty() ? "." : resolved;
      if (auto found = FindIgnoringCase(dir, part)) {
        next = resolved + *found;
      } else {
        lost = true;
      }
    }
    resolved = next;
    if (end < text.size()) resolved += '/';
  }
  return resolved;
}

struct statx StatOrThrow(std::u16string_view path) {
  struct statx stx {};
  const std::string host = HostPath(path);
  if (::statx(AT_FDCWD, host.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
    throw FileSystemError("cannot look at " + host + ": " + std::strerror(errno));
  }
  if (!S_ISREG(stx.stx_mode)) throw FileSystemError(host + " is not a file");
  return stx;
}

FileDate DateOf(const struct statx_timestamp& t) {
  return {t.tv_sec, static_cast<std::int32_t>(t.tv_nsec)};
}

class PosixFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(std::u16string_view path) override {
    struct stat st {};
    return ::stat(HostPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool FileExists(std::u16string_view path) override {
    struct stat st {};
    return ::stat(HostPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  FileDate LastModified(std::u16string_view path) override {
    return DateOf(StatOrThrow(path).stx_mtime);
  }

  FileDate Created(std::u16string_view path) override {
    const struct statx stx = StatOrThrow(path);
    // Where the file system keeps no birth time, the status-change time stands in: it moves
    // when a file is replaced by a copy, which is what the creation date is asked for.
    return DateOf((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime);
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::optional<std::string> ReadWholeFile(std::u16string_view path) {
  const std::string host = HostPath(path);
  struct stat st {};
  if (::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::ifstream in(host, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace velmo::platform
