#include "file_replacement.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace velmo::tools {

namespace {

std::filesystem::path Folder(const std::filesystem::path& target) {
  return target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
}

#ifdef _WIN32
std::string LastError() {
  return "system error " + std::to_string(static_cast<unsigned long>(GetLastError()));
}
#endif

}  // namespace

FileReplacement::~FileReplacement() {
  if (out_.is_open()) out_.close();
  std::error_code ignored;
  if (!committed_ && !temp_.empty()) std::filesystem::remove(temp_, ignored);
}

bool FileReplacement::Begin(const std::filesystem::path& target, std::string* error) {
  target_ = target;
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *error = "read-only";
    return false;
  }
  wchar_t name[MAX_PATH];
  // Makes the file, under a name no other process holds.
  if (GetTempFileNameW(Folder(target).c_str(), L"vlm", 0, name) == 0) {
    *error = "cannot write there: " + LastError();
    return false;
  }
  temp_ = name;
#else
  if (std::filesystem::exists(target) && ::access(target.c_str(), W_OK) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  std::string temp = Folder(target) / ".velmoctl-export-XXXXXX";
  // mkstemp makes the file itself, so no link planted under the name can redirect the write.
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *error = std::string("cannot write there: ") + std::strerror(errno);
    return false;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  temp_ = temp;
#endif
  out_.open(temp_, std::ios::binary | std::ios::trunc);
  if (!out_) {
    *error = "cannot write there";
    return false;
  }
  return true;
}

bool FileReplacement::Commit(std::string* error) {
  out_.close();
  if (!out_) {
    *error = "writing failed";
    return false;
  }
#ifdef _WIN32
  if (!MoveFileExW(temp_.c_str(), target_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = "writing failed: " + LastError();
    return false;
  }
#else
  std::error_code failure;
  std::filesystem::rename(temp_, target_, failure);
  if (failure) {
    *error = "writing failed: " + failure.message();
    return false;
  }
#endif
  committed_ = true;
  return true;
}

}  // namespace velmo::tools
