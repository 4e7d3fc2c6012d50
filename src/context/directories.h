// The application and user directories of a context.
#ifndef VELMO_CONTEXT_DIRECTORIES_H_
#define VELMO_CONTEXT_DIRECTORIES_H_

#include <string>
#include <string_view>

namespace velmo {

// `path` with "\" appended unless it already ends in one. Only the backslash counts: "D:/u/"
// becomes "D:/u/\", and "" becomes "\". What start-up makes of the directories it accepts, and
// what a switch stores, so that a relative name appended to them lands inside them.
std::u16string WithTrailingSeparator(std::u16string_view path);

// Each directory is empty (not known) or ends in a separator, "\" or "/", whoever set it: a
// directory given without one gets "\". The user directory the user reader finds keeps its "/"
// until start-up accepts it with WithTrailingSeparator; a start-up that finds no application
// directory leaves it so.
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
