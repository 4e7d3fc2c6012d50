#include <windows.h>

#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

// A path holding NUL would be ended there by the file API, and so name another file.
bool Attributes(std::u16string_view path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  if (HoldsNul(path)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, data) != 0;
}

// FILETIME counts 100 ns ticks since 1601-01-01 UTC.
FileDate DateOf(const FILETIME& time) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
  return {static_cast<std::int64_t>(ticks / 10000000) - kSecondsFrom1601To1970,
          static_cast<std::int32_t>(ticks % 10000000) * 100};
}

WIN32_FILE_ATTRIBUTE_DATA FileOrThrow(std::u16string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!Attributes(path, &data)) {
    throw FileSystemError("cannot look at " + ToUtf8(path) + ": error " +
                          std::to_string(GetLastError()));
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    throw FileSystemError(ToUtf8(path) + " is not a file");
  }
  return data;
}

class Win32FileSystem final : public FileSystem {
 public:
  bool DirectoryExists(std::u16string_view path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return Attributes(path, &data) && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool FileExists(std::u16string_view path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return Attributes(path, &data) && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  FileDate LastModified(std::u16string_view path) override {
    return DateOf(FileOrThrow(path).ftLastWriteTime);
  }
  FileDate Created(std::u16string_view path) override {
    return DateOf(FileOrThrow(path).ftCreationTime);
  }
  std::optional<FileDates> Dates(std::u16string_view path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!Attributes(path, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return std::nullopt;
    }
    return FileDates{DateOf(data.ftLastWriteTime), DateOf(data.ftCreationTime)};
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewSystemFileSystem() { return std::make_unique<Win32FileSystem>(); }

std::optional<std::string> ReadWholeFile(std::u16string_view path, std::size_t limit) {
  if (HoldsNul(path)) return std::nullopt;
  struct Closer {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
  };
  const HANDLE opened =
      CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return std::nullopt;
  // Closed on every way out, a failed append included.
  const std::unique_ptr<void, Closer> file(opened);
  // A pipe or a device would hold the read until someone writes: only a file on disk is read.
  if (GetFileType(opened) != FILE_TYPE_DISK) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(opened, buffer, sizeof buffer, &n, nullptr)) {
    if (n == 0) return bytes;
    if (n > limit - bytes.size()) return std::nullopt;
    bytes.append(buffer, n);
  }
  return std::nullopt;
}

}  // namespace velmo::platform
