// A file written beside its target, which takes the target's place only once whole: a reader of
// the target sees the old file or the new one, never a part.
#ifndef VELMO_TOOLS_VELMOCTL_FILE_REPLACEMENT_H_
#define VELMO_TOOLS_VELMOCTL_FILE_REPLACEMENT_H_

#include <filesystem>
#include <fstream>
#include <string>

namespace velmo::tools {

// Not thread-safe. Destroyed uncommitted, it removes what it wrote.
class FileReplacement {
 public:
  FileReplacement() = default;
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Makes the new file beside `target`, with the mode a new file of this user gets, so that a
  // target that cannot be written fails before any work. False, with the reason in `error`.
  bool Begin(const std::filesystem::path& target, std::string* error);
  std::ostream& out() { return out_; }
  // Puts the new file in the target's place. False, with the reason, when writing it failed.
  bool Commit(std::string* error);

 private:
  std::filesystem::path target_;
  std::filesystem::path temp_;
  std::ofstream out_;
  bool committed_ = false;
};

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_FILE_REPLACEMENT_H_
