// One entry of the parameter-file cache: a parameter file loaded into a PPDocument, with the path
// it was asked by, how often it was handed out and the file's date at its last load.
//
// An entry may be handed to another thread and used there, by one thread at a time (it takes no
// lock of its own): it keeps the file-system object and the document library of the context it
// first worked with, and the library's own are safe to use from several threads at once.
#ifndef VELMO_CLASS_PP_H_
#define VELMO_CLASS_PP_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "velmo/config_document.h"
#include "velmo/export.h"
#include "velmo/file_date.h"

namespace velmo {

namespace platform {
class FileSystem;  // the library's own; a caller never needs one
}

class VELMO_EXPORT classPP {
 public:
  // An entry that takes its file system and documents from the calling thread's context when it
  // first needs them.
  classPP() = default;
  // The cache's own entries, on the file system and documents of the context that made them.
  classPP(std::shared_ptr<platform::FileSystem> files, std::shared_ptr<DocumentFactory> documents)
      : files_(std::move(files)), documents_(std::move(documents)) {}

  const std::shared_ptr<PPDocument>& PP() const { return pp_; }
  void SetPP(std::shared_ptr<PPDocument> pp) { pp_ = std::move(pp); }
  std::int32_t nbAcces() const { return nb_acces_; }
  void SetNbAcces(std::int32_t count) { nb_acces_ = count; }
  const std::u16string& fichier() const { return fichier_; }
  void SetFichier(std::u16string path);  // a path holding NUL is not taken
  FileDate datePP() const { return date_pp_; }
  void SetDatePP(FileDate date) { date_pp_ = date; }

  // Loads `nomPP` into a new PPDocument: 0 loaded, -1 the load failed, -2 no such file (then the
  // entry is left as it was; so too for a path holding NUL, with -1). Never throws.
  std::int32_t LoadPP(std::u16string_view nomPP);

  // Reloads the file into the same PPDocument when its last-modified date is later than datePP,
  // which moves only once a reload succeeded. 0 unchanged or reloaded, -1 the reload failed.
  // Throws when the file cannot be looked at, with a description of why.
  std::int32_t UpdatePP();

  // fichier() in upper case, which the cache compares names by.
  const std::u16string& upper_fichier() const { return upper_fichier_; }

 private:
  platform::FileSystem& Files();
  DocumentFactory& Documents();

  std::shared_ptr<PPDocument> pp_;
  std::int32_t nb_acces_ = 0;
  std::u16string fichier_;
  std::u16string upper_fichier_;
  FileDate date_pp_ = kZeroDate;

  std::shared_ptr<platform::FileSystem> files_;
  std::shared_ptr<DocumentFactory> documents_;
};

}  // namespace velmo

#endif  // VELMO_CLASS_PP_H_
