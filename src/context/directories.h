// The application and user directories of a context.
#ifndef VELMO_CONTEXT_DIRECTORIES_H_
#define VELMO_CONTEXT_DIRECTORIES_H_

#include <string>
#include <string_view>

namespace velmo {

// `path` with "\" appended unless it already ends in one. Only the backslash counts: "D:/u/"
// becomes "D:/u/\", and "" becomes "\". The one rule for every directory the library holds or
// stores, so that a relative name appended to it always lands inside it.
std::u16string WithTrailingSeparator(std::u16string_view path);

// Each directory is empty (not known) or ends in "\" (WithTrailingSeparator), whoever set it.
class Directories {
 public:
  const std::u16string& user() const { return user_; }
  const std::u16string& app() const { return app_; }

  // An empty `dir` forgets the directory.
  void SetUser(std::u16string_view dir) { Set(user_, dir); }
  void SetApp(std::u16string_view dir) { Set(app_, dir); }

 private:
  static void Set(std::u16string& held, std::u16string_view dir);

  std::u16string user_;
  std::u16string app_;
};

}  // namespace velmo

#endif  // VELMO_CONTEXT_DIRECTORIES_H_
