#include "velmo/class_pp.h"

#include <stdexcept>

#include "config/file_system_queries.h"
#include "platform/text.h"

namespace velmo {

void classPP::SetFichier(std::u16string path) {
  if (platform::HoldsNul(path)) return;
  upper_fichier_ = platform::ToUpper(path);
  fichier_ = std::move(path);
}

platform::FileSystem& classPP::Files() {
  if (!files_) files_ = SharedFileSystemOf(CurrentContext());
  return *files_;
}

DocumentFactory& classPP::Documents() {
  if (!documents_) documents_ = CurrentContext().platform.documents;
  if (!documents_) throw std::runtime_error("no parameter document library");
  return *documents_;
}

std::int32_t classPP::LoadPP(std::u16string_view nomPP) {
  if (platform::HoldsNul(nomPP)) return -1;
  try {
    if (!Files().FileExists(nomPP)) return -2;
    SetFichier(std::u16string(nomPP));
    nb_acces_ = 1;
    date_pp_ = Files().LastModified(fichier_);
    pp_ = Documents().NewPPDocument();
    return pp_ && pp_->Load(fichier_) ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

std::int32_t classPP::UpdatePP() {
  const platform::FileDate modified = Files().LastModified(fichier_);
  if (!(modified > date_pp_)) return 0;
  if (!pp_) throw std::runtime_error("no parameter object to reload " + platform::ToUtf8(fichier_));
  // Every holder of the object sees the reloaded content.
  if (!pp_->Load(fichier_)) return -1;
  // Moved only after a reload that worked, so that a failed one is tried again next time.
  date_pp_ = Files().LastModified(fichier_);
  return 0;
}

}  // namespace velmo
