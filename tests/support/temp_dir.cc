#include "temp_dir.h"

#include <atomic>
#include <fstream>
#include <random>
#include <stdexcept>

namespace velmo::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() /
        ("velmo-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      root_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::u16string TempDir::path() const {
  std::u16string text = root_.u16string();
  text += static_cast<char16_t>(fs::path::preferred_separator);
  return text;
}

fs::path TempDir::Host(std::u16string_view relative) const {
  return root_ / fs::path(std::u16string(relative)).make_preferred();
}

void TempDir::Write(std::u16string_view relative, std::string_view content) const {
  const fs::path file = Host(relative);
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

void TempDir::Replace(std::u16string_view relative, std::string_view content) const {
  const fs::path file = Host(relative);
  const fs::path copy = file.string() + ".new";
  {
    std::ofstream out(copy, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + copy.string());
  }
  std::error_code error;
  fs::rename(copy, file, error);
  if (error) {  // where renaming over a file is refused, the file goes first
    fs::remove(file);
    fs::rename(copy, file);
  }
}

void TempDir::Remove(std::u16string_view relative) const { fs::remove(Host(relative)); }

void TempDir::MakeDirectory(std::u16string_view relative) const {
  fs::create_directories(Host(relative));
}

}  // namespace velmo::testing
