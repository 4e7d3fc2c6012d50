#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

// A descriptor, closed on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Reset(-1); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

void Asked(std::size_t* names_asked, std::size_t bytes) {
  if (names_asked != nullptr) *names_asked += bytes;
}

// The entry of the directory `dir` whose name matches `name` without regard to case; the first in
// name order when several do, so that the answer does not depend on the directory's order.
std::optional<std::string> FindIgnoringCase(int dir, const std::string& name,
                                            std::size_t* names_asked) {
  Asked(names_asked, 1);
  const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    ::close(fd);
    return std::nullopt;
  }
  const std::u16string wanted = ToUpper(FromUtf8(name));
  std::vector<std::string> matches;
  while (const dirent* entry = ::readdir(stream)) {
    if (ToUpper(FromUtf8(entry->d_name)) == wanted) matches.emplace_back(entry->d_name);
  }
  ::closedir(stream);
  if (matches.empty()) return std::nullopt;
  return *std::min_element(matches.begin(), matches.end());
}

// What no file on this host can be called: a path holding NUL, which the system would end there,
// or a lone surrogate, which UTF-8 cannot carry and would fold into U+FFFD, so into another name.
bool Unnameable(std::u16string_view path) { return HoldsNul(path) || !IsWellFormedUtf16(path); }

// The path as the host spells it, "\" being a separator too; "" (which names nothing) for a path
// no file can have.
std::string DirectPath(std::u16string_view path) {
  if (Unnameable(path)) return {};
  std::string text = ToUtf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

// The direct path with each component that does not exist as spelled replaced by an entry that
// matches it without regard to case; nothing once a component cannot be found. Each name is
// looked up in the directory opened for the one before it, never as a path from the start, so
// that the work stays linear in the path's length.
std::optional<std::string> ResolvedPath(const std::string& text, std::size_t* names_asked) {
  // Beyond PATH_MAX the system refuses the path whatever it is spelled like.
  if (text.empty() || text.size() >= PATH_MAX || text.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::string resolved = text.starts_with('/') ? "/" : "";
  Asked(names_asked, 1);
  Descriptor dir(::open(resolved.empty() ? "." : "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  size_t start = 0;
  while (start < text.size()) {
    if (dir.get() < 0) return std::nullopt;
    const size_t end = std::min(text.find('/', start), text.size());
    std::string name = text.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    struct stat st {};
    if (name != "." && name != "..") {
      Asked(names_asked, name.size());
      if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        std::optional<std::string> found = FindIgnoringCase(dir.get(), name, names_asked);
        if (!found) return std::nullopt;
        name = std::move(*found);
      }
    }
    resolved += name;
    if (end < text.size()) {
      resolved += '/';
      Asked(names_asked, name.size());
      dir.Reset(::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
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
    std::optional<std::string> resolved = ResolvedPath(direct, nullptr);
    if (resolved && *resolved != direct) {
      rc = call(*resolved);
      if (used != nullptr) *used = std::move(*resolved);
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
//
// A parameter entry handed to another thread keeps its maker's file-system object, so two
// threads may ask at once: the one that finds the memory in use spells its path afresh rather
// than wait.
class HostPaths {
 public:
  template <typename Use>
  auto With(std::u16string_view path, Use&& use) {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return use(DirectPath(path));
    return use(static_cast<const std::string&>(Of(path)));
  }

 private:
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

  struct Entry {
    std::u16string path;
    std::string host;
  };
  std::mutex mutex_;
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

// Safe to share between threads: it remembers nothing but spellings, under HostPaths' lock.
class PosixFileSystem final : public FileSystem {
 public:
  bool DirectoryExists(std::u16string_view path) override {
    return hosts_.With(path, [](const std::string& p) { return IsKind(p, S_IFDIR); });
  }
  bool FileExists(std::u16string_view path) override {
    return hosts_.With(path, [](const std::string& p) { return IsKind(p, S_IFREG); });
  }

  // stat() rather than statx(): the one date it needs, for less than the birth time costs.
  FileDate LastModified(std::u16string_view path) override {
    return hosts_.With(path, [](const std::string& direct) -> FileDate {
      struct stat st {};
      std::string used;
      const int rc = OnHostPath(
          direct, [&](const std::string& p) { return ::stat(p.c_str(), &st); }, &used);
      if (rc != 0) throw FileSystemError("cannot look at " + used + ": " + std::strerror(errno));
      if (!S_ISREG(st.st_mode)) {
        throw FileSystemError((used.empty() ? direct : used) + " is not a file");
      }
      return {st.st_mtim.tv_sec, static_cast<std::int32_t>(st.st_mtim.tv_nsec)};
    });
  }

  FileDate Created(std::u16string_view path) override {
    return hosts_.With(path, [](const std::string& p) { return CreationOf(StatOrThrow(p)); });
  }

  std::optional<FileDates> Dates(std::u16string_view path) override {
    return hosts_.With(path, [](const std::string& direct) -> std::optional<FileDates> {
      struct statx stx {};
      const int rc = OnHostPath(direct, [&](const std::string& p) {
        return ::statx(AT_FDCWD, p.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx);
      });
      if (rc != 0 || !S_ISREG(stx.stx_mode)) return std::nullopt;
      return FileDates{DateOf(stx.stx_mtime), CreationOf(stx)};
    });
  }

 private:
  HostPaths hosts_;
};

}  // namespace

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<PosixFileSystem>(); }

std::optional<std::string> HostSpelling(std::u16string_view path, std::size_t* names_asked) {
  return ResolvedPath(DirectPath(path), names_asked);
}

std::optional<std::string> ReadWholeFile(std::u16string_view path, std::size_t limit) {
  // Opened without waiting and judged by what was opened, never by the path first: a FIFO put in
  // the file's place between a check and a blocking open would hold the open for good.
  int fd = -1;
  OnHostPath(DirectPath(path), [&](const std::string& p) {
    fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    return fd < 0 ? -1 : 0;
  });
  const Descriptor file(fd);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  // The size is only a hint: a file may grow while it is read.
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    if (static_cast<std::size_t>(n) > limit - bytes.size()) return std::nullopt;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace velmo::platform
