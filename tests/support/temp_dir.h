// A directory of a test's own, removed with everything in it when the test ends.
#ifndef VELMO_TESTS_SUPPORT_TEMP_DIR_H_
#define VELMO_TESTS_SUPPORT_TEMP_DIR_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace velmo::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory as the library holds directories: ending in the separator.
  std::u16string path() const;
  // A place inside it; `relative` uses "/".
  std::filesystem::path Host(std::u16string_view relative) const;

  // Writes (or replaces in place) a file, making its directories.
  void Write(std::u16string_view relative, std::string_view content) const;
  // Replaces a file by a new one (a copy renamed over it), as a copy tool or an editor does.
  void Replace(std::u16string_view relative, std::string_view content) const;
  void Remove(std::u16string_view relative) const;
  void MakeDirectory(std::u16string_view relative) const;

 private:
  std::filesystem::path root_;
};

}  // namespace velmo::testing

#endif  // VELMO_TESTS_SUPPORT_TEMP_DIR_H_
