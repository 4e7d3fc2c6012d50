// The two configuration objects of a context, and what the main one was loaded from.
#ifndef VELMO_CONTEXT_CONFIGURATIONS_H_
#define VELMO_CONTEXT_CONFIGURATIONS_H_

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "velmo/config_document.h"

namespace velmo {

// The main object (VelmoCFG) with the date of the user's file it was last loaded from, and the
// geometry object (GeometrieDat). The date moves only when a load of the user's file begins.
class Configurations {
 public:
  const std::shared_ptr<ConfigDocument>& main() const { return main_; }
  const std::shared_ptr<ConfigDocument>& geometry() const { return geometry_; }
  // The zero date until the first load found the user's file.
  platform::FileDate date() const { return date_; }

  // A load from the user's file with these dates begins: the main object is dropped and the
  // date becomes the later of the two. The load's object follows with SetMain.
  void BeginLoad(const platform::FileDates& dates) {
    main_.reset();
    date_ = std::max(dates.modified, dates.created);
  }
  // Whether a file with these dates is newer than the last one loaded.
  bool Outdated(const platform::FileDates& dates) const {
    return dates.modified > date_ || dates.created > date_;
  }

  // Replaces the main object, the date left as it is (the VelmoCFG property's write does that).
  void SetMain(std::shared_ptr<ConfigDocument> document) { main_ = std::move(document); }
  void SetGeometry(std::shared_ptr<ConfigDocument> document) { geometry_ = std::move(document); }

  // `user_dir` followed by `relative`; spelled again only when the directory changed, since
  // every read of the main object asks for it.
  const std::u16string& UserFile(const std::u16string& user_dir, std::u16string_view relative) {
    if (user_file_.size() != user_dir.size() + relative.size() ||
        user_file_.compare(0, user_dir.size(), user_dir) != 0) {
      user_file_ = user_dir;
      user_file_ += relative;
    }
    return user_file_;
  }

 private:
  std::shared_ptr<ConfigDocument> main_;
  platform::FileDate date_ = kZeroDate;
  std::u16string user_file_;
  std::shared_ptr<ConfigDocument> geometry_;
};

}  // namespace velmo

#endif  // VELMO_CONTEXT_CONFIGURATIONS_H_
