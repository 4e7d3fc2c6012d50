// The five-slot cache of parameter files: hits, reuse, reloads and failures.
#include "config/parameter_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/file_system_queries.h"
#include "context/startup.h"
#include "fakes.h"
#include "scratch_registry.h"
#include "temp_dir.h"
#include "velmo/class_pp.h"

namespace velmo {
namespace {

using platform::FileDate;
using testing::FakeFileSystem;

// Parameter documents whose loads succeed or fail as the test says, and that count them.
class ScriptedDocuments final : public DocumentFactory {
 public:
  class Document final : public PPDocument {
   public:
    explicit Document(ScriptedDocuments& owner) : owner_(owner) {}
    bool Load(std::u16string_view path) override {
      ++loads;
      ++owner_.loads;
      loaded_from = path;
      const auto it = owner_.loadable.find(std::u16string(path));
      if (it != owner_.loadable.end() && !it->second) return false;
      content = owner_.content[std::u16string(path)];
      return true;
    }
    std::optional<std::u16string> Value(std::u16string_view) const override { return std::nullopt; }
    std::vector<std::u16string> Names() const override { return {}; }
    int loads = 0;
    std::u16string loaded_from;
    std::string content;

   private:
    ScriptedDocuments& owner_;
  };

  std::shared_ptr<ConfigDocument> NewConfigDocument() override { return nullptr; }
  std::shared_ptr<PPDocument> NewPPDocument() override { return std::make_shared<Document>(*this); }

  std::map<std::u16string, bool> loadable;  // absent means loadable
  std::map<std::u16string, std::string> content;
  int loads = 0;
};

const ScriptedDocuments::Document& AsDocument(const std::shared_ptr<PPDocument>& pp) {
  return dynamic_cast<const ScriptedDocuments::Document&>(*pp);
}

class ParameterCacheTest : public ::testing::Test {
 protected:
  ParameterCacheTest() : context_(Platform{}) {
    context_.platform.new_file_system = files_.Maker();
    context_.platform.documents = documents_;
    context_.version_info().Select(u"2010");
    context_.cache().Open();
  }

  void File(const std::u16string& path, std::int64_t modified) {
    files_.files[path] = {{modified, 0}, {modified, 0}};
  }
  std::int32_t Get(std::u16string_view name, std::shared_ptr<PPDocument>* out = nullptr) {
    std::shared_ptr<PPDocument> pp = std::make_shared<ScriptedDocuments::Document>(*documents_);
    const std::int32_t status = MOLTRAG_GetPP(context_, name, pp);
    if (status != 0) {
      EXPECT_EQ(pp, nullptr) << "a failed request must leave PP empty";
    } else {
      EXPECT_NE(pp, nullptr);
    }
    if (out != nullptr) *out = pp;
    return status;
  }
  const classPP* Slot(size_t i) const { return context_.cache().at(i).get(); }

  FakeFileSystem files_;
  std::shared_ptr<ScriptedDocuments> documents_ = std::make_shared<ScriptedDocuments>();
  ApplicationContext context_;
};

TEST_F(ParameterCacheTest, ARequestInAnotherCaseIsAHit) {
  File(u"c:\\p\\A.PP", 100);
  std::shared_ptr<PPDocument> first;
  std::shared_ptr<PPDocument> again;
  EXPECT_EQ(Get(u"c:\\p\\A.PP", &first), 0);
  EXPECT_EQ(Get(u"C:\\P\\a.pp", &again), 0);
  EXPECT_EQ(first, again);
  EXPECT_EQ(documents_->loads, 1);
  EXPECT_EQ(Slot(0)->nbAcces(), 2);
  EXPECT_EQ(Slot(0)->fichier(), u"c:\\p\\A.PP");  // as first asked
  EXPECT_EQ(Slot(0)->datePP(), (FileDate{100, 0}));

  // The same file by another name is another entry.
  File(u"c:\\p\\.\\A.PP", 100);
  EXPECT_EQ(Get(u"c:\\p\\.\\A.PP"), 0);
  EXPECT_NE(Slot(1), nullptr);
}

TEST_F(ParameterCacheTest, TheAccessCountStopsAtItsMaximum) {
  File(u"a.pp", 100);
  EXPECT_EQ(Get(u"a.pp"), 0);
  context_.cache().at(0)->SetNbAcces(std::numeric_limits<std::int32_t>::max() - 1);
  EXPECT_EQ(Get(u"a.pp"), 0);
  EXPECT_EQ(Get(u"a.pp"), 0);
  EXPECT_EQ(Slot(0)->nbAcces(), std::numeric_limits<std::int32_t>::max());
}

TEST_F(ParameterCacheTest, ASixthFileTakesTheLeastUsedSlotLowestFirst) {
  for (int i = 0; i < 7; ++i) File(u"f" + std::u16string(1, char16_t(u'0' + i)), 100);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Get(u"f" + std::u16string(1, char16_t(u'0' + i))), 0);
  EXPECT_EQ(Get(u"f5"), 0);  // all counts are 1: slot 0
  EXPECT_EQ(Slot(0)->fichier(), u"f5");
  EXPECT_EQ(Slot(0)->nbAcces(), 1);
  EXPECT_EQ(Get(u"f6"), 0);  // the new entry is the first candidate again
  EXPECT_EQ(Slot(0)->fichier(), u"f6");

  // Counts decide before places do.
  EXPECT_EQ(Get(u"f6"), 0);  // slot 0 now 2
  EXPECT_EQ(Get(u"f1"), 0);  // slot 1 now 2
  EXPECT_EQ(Get(u"f0"), 0);  // a miss: slots 2, 3, 4 have 1; slot 2 goes
  EXPECT_EQ(Slot(2)->fichier(), u"f0");
  EXPECT_EQ(CacheSlotOf(context_, u"F0"), 2);
  EXPECT_EQ(CacheSlotOf(context_, u"f2"), -1);
}

TEST_F(ParameterCacheTest, AMissingFile) {
  EXPECT_EQ(Get(u"absent.pp"), -2);
  EXPECT_EQ(Slot(0), nullptr);

  // Reuse: the chosen entry keeps its file and count.
  for (int i = 0; i < 5; ++i) File(u"f" + std::u16string(1, char16_t(u'0' + i)), 100);
  for (int i = 0; i < 5; ++i) Get(u"f" + std::u16string(1, char16_t(u'0' + i)));
  EXPECT_EQ(Get(u"absent.pp"), -2);
  EXPECT_EQ(Slot(0)->fichier(), u"f0");
  EXPECT_EQ(Slot(0)->nbAcces(), 1);
}

TEST_F(ParameterCacheTest, AFileThatDoesNotLoadIsNeverHandedOut) {
  File(u"bad.pp", 100);
  documents_->loadable[u"bad.pp"] = false;
  EXPECT_EQ(Get(u"bad.pp"), -1);
  EXPECT_EQ(Slot(0), nullptr);  // the slot stays free
  EXPECT_EQ(Get(u"bad.pp"), -1);
  EXPECT_EQ(documents_->loads, 2);  // and the next request tries again

  // With every slot taken, the reused slot is emptied rather than kept holding a failed load,
  // which the next request would have taken for a hit.
  for (int i = 0; i < 5; ++i) File(u"f" + std::u16string(1, char16_t(u'0' + i)), 100);
  for (int i = 0; i < 5; ++i) Get(u"f" + std::u16string(1, char16_t(u'0' + i)));
  EXPECT_EQ(Get(u"bad.pp"), -1);
  EXPECT_EQ(Slot(0), nullptr);
  EXPECT_EQ(Get(u"bad.pp"), -1);
  EXPECT_EQ(documents_->loads, 2 + 5 + 2);

  documents_->loadable[u"bad.pp"] = true;  // mended on disk: loads into the free slot
  std::shared_ptr<PPDocument> pp;
  EXPECT_EQ(Get(u"bad.pp", &pp), 0);
  EXPECT_EQ(Slot(0)->fichier(), u"bad.pp");
}

TEST_F(ParameterCacheTest, AChangedFileIsReloadedIntoTheObjectEveryHolderHas) {
  File(u"p.pp", 100);
  documents_->content[u"p.pp"] = "v1";
  std::shared_ptr<PPDocument> kept;
  EXPECT_EQ(Get(u"p.pp", &kept), 0);

  File(u"p.pp", 100);  // the same date: no reload
  EXPECT_EQ(Get(u"p.pp"), 0);
  EXPECT_EQ(AsDocument(kept).loads, 1);

  File(u"p.pp", 200);
  documents_->content[u"p.pp"] = "v2";
  std::shared_ptr<PPDocument> now;
  EXPECT_EQ(Get(u"p.pp", &now), 0);
  EXPECT_EQ(now, kept);
  EXPECT_EQ(AsDocument(kept).content, "v2");
  EXPECT_EQ(Slot(0)->datePP(), (FileDate{200, 0}));
  EXPECT_EQ(Slot(0)->nbAcces(), 3);
}

// A reload that fails on a hit is reported, and tried again by the next request.
TEST_F(ParameterCacheTest, AFailedReloadIsNotASuccess) {
  File(u"p.pp", 100);
  EXPECT_EQ(Get(u"p.pp"), 0);
  File(u"p.pp", 200);
  documents_->loadable[u"p.pp"] = false;
  EXPECT_EQ(Get(u"p.pp"), -1);
  EXPECT_EQ(Slot(0)->datePP(), (FileDate{100, 0}));
  EXPECT_EQ(Slot(0)->nbAcces(), 1);
  documents_->loadable[u"p.pp"] = true;
  EXPECT_EQ(Get(u"p.pp"), 0);
  EXPECT_EQ(Slot(0)->datePP(), (FileDate{200, 0}));
  EXPECT_EQ(documents_->loads, 3);
}

TEST_F(ParameterCacheTest, ACachedFileThatWentAway) {
  File(u"p.pp", 100);
  EXPECT_EQ(Get(u"p.pp"), 0);
  files_.files.clear();
  EXPECT_EQ(Get(u"p.pp"), -1);
  EXPECT_EQ(Get(u"P.PP"), -1);
  EXPECT_EQ(Slot(0)->nbAcces(), 1);  // stays, count unchanged
  File(u"p.pp", 100);
  EXPECT_EQ(Get(u"p.pp"), 0);

  // Asked directly, the entry's UpdatePP lets the failure out with a description.
  files_.files.clear();
  classPP& entry = *context_.cache().at(0);
  EXPECT_THROW(
      {
        try {
          entry.UpdatePP();
        } catch (const std::exception& e) {
          EXPECT_THAT(e.what(), ::testing::HasSubstr("no such file"));
          throw;
        }
      },
      std::exception);
}

TEST_F(ParameterCacheTest, ObjectsHandedOutOutliveTheirEntries) {
  for (int i = 0; i < 6; ++i) File(u"f" + std::u16string(1, char16_t(u'0' + i)), 100);
  std::shared_ptr<PPDocument> first;
  Get(u"f0", &first);
  for (int i = 1; i < 6; ++i) Get(u"f" + std::u16string(1, char16_t(u'0' + i)));  // f5 takes slot 0
  File(u"f0", 500);
  EXPECT_EQ(AsDocument(first).loads, 1);  // no longer refreshed by the cache
  EXPECT_EQ(AsDocument(first).loaded_from, u"f0");

  context_.cache().Open();  // as a switch or an initialisation empties it
  std::shared_ptr<PPDocument> again;
  EXPECT_EQ(Get(u"f0", &again), 0);
  EXPECT_NE(again, first);
  EXPECT_EQ(AsDocument(first).loaded_from, u"f0");
}

TEST_F(ParameterCacheTest, ARequestBeforeInitialisationInitialisesFirst) {
  testing::ScratchRegistry registry;
  context_.platform.registry = registry.api();
  context_.platform.message_box = std::make_shared<testing::RecordingMessageBox>();
  context_.version_info().Clear();
  context_.cache().Close();
  File(u"p.pp", 100);
  EXPECT_EQ(Get(u"p.pp"), 0);
  EXPECT_EQ(context_.version_info().version(), u"2008");
  EXPECT_TRUE(context_.cache().open());
}

TEST_F(ParameterCacheTest, AnEntryOfItsOwnWorksWithTheThreadsContext) {
  ResetCurrentContext(context_.platform);
  File(u"own.pp", 100);
  classPP entry;
  EXPECT_EQ(entry.LoadPP(u"missing.pp"), -2);
  EXPECT_EQ(entry.fichier(), u"");
  EXPECT_EQ(entry.LoadPP(u"own.pp"), 0);
  EXPECT_EQ(entry.nbAcces(), 1);
  EXPECT_EQ(entry.UpdatePP(), 0);
  entry.SetFichier(u"Dir\\Own.pp");
  EXPECT_EQ(entry.fichier(), u"Dir\\Own.pp");
  EXPECT_EQ(entry.upper_fichier(), u"DIR\\OWN.PP");
  ResetCurrentContext(Platform{});
}

// An entry handed to another thread keeps the file-system object of the context that made it,
// which that context goes on using on its own thread meanwhile.
TEST(ParameterEntryThreadsTest, AnEntryWorksOnAnotherThreadWhileItsMakerGoesOn) {
  velmo::testing::TempDir dir;
  std::vector<std::u16string> names;
  for (int i = 0; i < 12; ++i) {  // more than the file system remembers spellings of
    const std::u16string stem = u"file" + std::u16string(1 + 9 * i, u'a' + i);  // lengths differ
    dir.Write(u"params/" + stem + u".pp", "A=1\n");
    names.push_back(dir.path() + u"Params\\" + stem + u".pp");
  }
  ApplicationContext context(Platform{});
  context.platform.new_file_system = platform::NewSystemFileSystem;
  context.platform.documents = NewBuiltInDocuments();
  context.version_info().Select(u"2010");
  context.cache().Open();
  auto handed = std::make_shared<classPP>(SharedFileSystemOf(context), context.platform.documents);
  ASSERT_EQ(handed->LoadPP(names[0]), 0);

  std::atomic<bool> done{false};
  std::atomic<int> failed{0};
  std::thread other([&, handed] {
    for (size_t i = 0; !done; ++i) {
      if (handed->LoadPP(names[i % names.size()]) != 0 || handed->UpdatePP() != 0) ++failed;
    }
  });
  for (int i = 0; i < 3000; ++i) {
    std::shared_ptr<PPDocument> pp;
    if (MOLTRAG_GetPP(context, names[(i * 7) % names.size()], pp) != 0) ++failed;
  }
  done = true;
  other.join();
  EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace velmo
