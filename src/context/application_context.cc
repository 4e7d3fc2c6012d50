#include "context/application_context.h"

#include "config/builtin_documents.h"
#include "platform/system_registry.h"

namespace velmo {
namespace {

// The only mutable state outside the objects a caller holds.
thread_local std::unique_ptr<ApplicationContext> this_thread_context;

}  // namespace

Platform SystemPlatform() {
  return {platform::NewSystemRegistry(), platform::NewSystemMessageBox(),
          platform::NewSystemFileSystem, NewBuiltInDocuments()};
}

ApplicationContext& CurrentContext() {
  if (!this_thread_context) {
    this_thread_context = std::make_unique<ApplicationContext>(SystemPlatform());
  }
  return *this_thread_context;
}

void ResetCurrentContext(Platform platform) {
  this_thread_context = std::make_unique<ApplicationContext>(std::move(platform));
}

}  // namespace velmo
