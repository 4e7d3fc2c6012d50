// The four questions the library asks of the file system, and the reading of a whole file for
// the built-in documents.
//
// Paths arrive as the library builds them: a directory ending in "\" followed by a relative name
// such as "dat\velmo.cfg". On Windows they go to the wide file API unchanged. Elsewhere "\" is a
// directory separator too, and a component that does not exist with its exact spelling is looked
// for without regard to case, as Windows would find it: the library itself spells one directory
// both "dat" and "Dat". A path holding NUL names no file (the system would end it there), nor,
// elsewhere than on Windows, one holding a lone surrogate (UTF-8 cannot carry it).
#ifndef VELMO_PLATFORM_FILE_SYSTEM_H_
#define VELMO_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "velmo/file_date.h"

namespace velmo::platform {

using velmo::FileDate;
using velmo::kZeroDate;

// Asking a date of a file that does not exist, or that cannot be looked at.
class FileSystemError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct FileDates {
  FileDate modified;
  FileDate created;
};

// The system's object may be asked from any number of threads at once; a test's own need not.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Never fail: a missing path, or one of the other kind, answers false.
  virtual bool DirectoryExists(std::u16string_view path) = 0;
  virtual bool FileExists(std::u16string_view path) = 0;
  // Throw FileSystemError when the file cannot be looked at.
  virtual FileDate LastModified(std::u16string_view path) = 0;
  virtual FileDate Created(std::u16string_view path) = 0;

  // Whether a file exists and its two dates, in one question where the system allows: what a
  // configuration read asks every time. Nothing when there is no such file.
  virtual std::optional<FileDates> Dates(std::u16string_view path) {
    if (!FileExists(path)) return std::nullopt;
    return FileDates{LastModified(path), Created(path)};
  }
};

std::unique_ptr<FileSystem> NewSystemFileSystem();

// The whole content of a file, or nothing when it does not exist or cannot be read.
// Nothing, too, for a file longer than `limit` bytes, which is not read past it.
// Only a regular file is read: a FIFO, a device or a directory is nothing, and never waited on.
std::optional<std::string> ReadWholeFile(std::u16string_view path,
                                         std::size_t limit = static_cast<std::size_t>(-1));

#ifndef _WIN32
// The path as this host opens it, each component that does not exist as spelled replaced by the
// entry that matches it without regard to case; nothing when one cannot be found. Each name is
// asked of the directory before it, so `names_asked`, when given, grows by no more than a small
// multiple of the path's length: the bytes of every name handed to the system.
std::optional<std::string> HostSpelling(std::u16string_view path,
                                        std::size_t* names_asked = nullptr);
#endif

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_FILE_SYSTEM_H_
