#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
// the case-resolved path when that found nothing. `used`, when given, names the path tried last
// if that was not `direct` or the call failed; it is left alone otherwise.
template <typename Call>
int OnHostPath(const std::string& direct, Call&& call, std::string* used = nullptr) {
  int rc = call(direct);
  if (rc != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    std::string resolved = ResolvedPath(direct);
    if (resolved != direct) {
      rc = call(resolved);
      if (used != nullptr) *used = std::move(resolved);
      return rc;
    }
    errno = ENOENT;
  }
  if (rc != 0 && used != nullptr) *used = direct;
  return rc;
}

struct statx StatOrThrow(const std::string& direct) {
  struct statx stx {};
  std::string used;
  const int rc = OnHostPath(
      direct,
      [&](const std::string& p) {
        return ::statx(AT_FDCWD, p.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx);
      },
      &used);
  if (rc != 0) throw FileSystemError("cannot look at " + used + ": " + std::strerror(errno));
  if (!S_ISREG(stx.stx_mode)) {
    throw FileSystemError((used.empty() ? direct : used) + " is not a file");
  }
  return stx;
}

// The host spelling of the last few paths asked about. A configuration read and a cache hit each
// ask about one file, over and over; spelling its name again cost a fifth of the question. The
// spelling depends on nothing but the path, so it never goes stale.
class HostPaths {
 public:
  const std::string& Of(std::u16string_view path) {
    for (const Entry& entry : entries_) {
      if (entry.path == path) return entry.host;
    }
    Entry& entry = entries_[next_];
    std::string host = DirectPath(path);
    entry.path.assign(path);  // a failure here leaves the entry as it was
    entry.host = std::move(host);
    next_ = (next_ + 1) % entries_.size();
    return entry.host;
  }

 private:
  struct Entry {
    std::u16string path;
    std::string host;
  };
  std::array<Entry, 8> entries_;
  size_t next_ = 0;
};

FileDate DateOf(const struct statx_timestamp& t) {
  return {t.tv_sec, static_cast<std::int32_t>(t.tv_nsec)};
}

// Where the file system keeps no birth time, the status-change time stands in: it moves when a
// file is replaced by a copy, which is what the creation date is asked for.
FileDate CreationOf(const struct statx& stx) {
  return DateOf((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime);
}

bool IsKind(const std::string& direct, mode_t kind) {
  struct stat st {};
  return OnHostPath(direct, [&](const std::string& p) { return ::stat(p.c_str(), &st); }) == 0 &&
         (st.st_mode & S_IFMT) == kind;
}

// Belongs to one context, so to one thread, like the paths it remembers.
class PosixFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(std::u16string_view path) override {
    return IsKind(hosts_.Of(path), S_IFDIR);
  }
  bool FileExists(std::u16string_view path) override { return IsKind(hosts_.Of(path), S_IFREG); }

  // stat() rather than statx(): the one date it needs, for less than the birth time costs.
  FileDate LastModified(std::u16string_view path) override {
    const std::string& direct = hosts_.Of(path);
    struct stat st {};
    std::string used;
    const int rc = OnHostPath(
        direct, [&](const std::string& p) { return ::stat(p.c_str(), &st); }, &used);
    if (rc != 0) throw FileSystemError("cannot look at " + used + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) {
      throw FileSystemError((used.empty() ? direct : used) + " is not a file");
    }
    return {st.st_mtim.tv_sec, static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
  }

  FileDate Created(std::u16string_view path) override {
    return CreationOf(StatOrThrow(hosts_.Of(path)));
  }

  std::optional<FileDates> Dates(std::u16string_view path) override {
    struct statx stx {};
    const int rc = OnHostPath(hosts_.Of(path), [&](const std::string& p) {
      return ::statx(AT_FDCWD, p.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx);
    });
    if (rc != 0 || !S_ISREG(stx.stx_mode)) return std::nullopt;
    return FileDates{DateOf(stx.stx_mtime), CreationOf(stx)};
  }

 private:
  HostPaths hosts_;
};

}  // namespace

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::optional<std::string> ReadWholeFile(std::u16string_view path, std::size_t limit) {
  std::string host = DirectPath(path);
  std::string used;
  struct stat st {};
  if (OnHostPath(
          host, [&](const std::string& p) { return ::stat(p.c_str(), &st); }, &used) != 0 ||
      !S_ISREG(st.st_mode) || static_cast<std::uintmax_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  if (!used.empty()) host = std::move(used);
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
