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

// The path as the host spells it, "\" being a separator too.
std::string DirectPath(std::u16string_view path) {
  std::string text = ToUtf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

// The direct path with each component that does not exist as spelled replaced by an entry that
// matches it without regard to case.
std::string ResolvedPath(const std::string& text) {
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
      if (auto found = FindIgnoringCase(resolved.empty() ? "." : resolved, part)) {
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

// Runs `call` on the path as spelled, which is all it takes when it exists, and once more on
// the case-resolved path when that found nothing. `used`, when given, names the path tried last.
template <typename Call>
int OnHostPath(std::u16string_view path, Call&& call, std::string* used = nullptr) {
  std::string host = DirectPath(path);
  int rc = call(host);
  if (rc != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    std::string resolved = ResolvedPath(host);
    if (resolved != host) {
      rc = call(resolved);
      host = std::move(resolved);
    } else {
      errno = ENOENT;
    }
  }
  if (used != nullptr) *used = std::move(host);
  return rc;
}

struct statx StatOrThrow(std::u16string_view path) {
  struct statx stx {};
  std::string host;
  const int rc = OnHostPath(
      path,
      [&](const std::string& p) {
        return ::statx(AT_FDCWD, p.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx);
      },
      &host);
  if (rc != 0) throw FileSystemError("cannot look at " + host + ": " + std::strerror(errno));
  if (!S_ISREG(stx.stx_mode)) throw FileSystemError(host + " is not a file");
  return stx;
}

FileDate DateOf(const struct statx_timestamp& t) {
  return {t.tv_sec, static_cast<std::int32_t>(t.tv_nsec)};
}

// Where the file system keeps no birth time, the status-change time stands in: it moves when a
// file is replaced by a copy, which is what the creation date is asked for.
FileDate CreationOf(const struct statx& stx) {
  return DateOf((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime);
}

bool IsKind(std::u16string_view path, mode_t kind) {
  struct stat st {};
  return OnHostPath(path, [&](const std::string& p) { return ::stat(p.c_str(), &st); }) == 0 &&
         (st.st_mode & S_IFMT) == kind;
}

class PosixFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(std::u16string_view path) override { return IsKind(path, S_IFDIR); }
  bool FileExists(std::u16string_view path) override { return IsKind(path, S_IFREG); }

  FileDate LastModified(std::u16string_view path) override {
    return DateOf(StatOrThrow(path).stx_mtime);
  }

  FileDate Created(std::u16string_view path) override { return CreationOf(StatOrThrow(path)); }

  std::optional<FileDates> Dates(std::u16string_view path) override {
    struct statx stx {};
    const int rc = OnHostPath(path, [&](const std::string& p) {
      return ::statx(AT_FDCWD, p.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx);
    });
    if (rc != 0 || !S_ISREG(stx.stx_mode)) return std::nullopt;
    return FileDates{DateOf(stx.stx_mtime), CreationOf(stx)};
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::optional<std::string> ReadWholeFile(std::u16string_view path, std::size_t limit) {
  std::string host;
  struct stat st {};
  if (OnHostPath(
          path, [&](const std::string& p) { return ::stat(p.c_str(), &st); }, &host) != 0 ||
      !S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  std::ifstream in(host, std::ios::binary);
  if (!in) return std::nullopt;
  // The size it had a moment ago is only a hint: a file may grow while it is read.
  std::string bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    const auto n = static_cast<std::size_t>(in.gcount());
    if (n > limit - bytes.size()) return std::nullopt;
    bytes.append(buffer, n);
  }
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace velmo::platform
