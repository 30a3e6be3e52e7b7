#include "remoting/remote_methods.h"

#include <strings.h>

namespace brevalon {

namespace {

bool SameKey(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::shared_ptr<SessionObject> DsSession::Find(const std::string& key) const {
  std::lock_guard lock(FMutex);
  for (const auto& [k, object] : FObjects)
    if (SameKey(k, key)) return object;
  return nullptr;
}

std::shared_ptr<SessionObject> DsSession::FindOrCreate(
    const std::string& key, const std::function<std::shared_ptr<SessionObject>()>& create) {
  std::lock_guard lock(FMutex);
  for (const auto& [k, object] : FObjects)
    if (SameKey(k, key) && object) return object;
  auto object = create();
  if (object) FObjects.emplace_back(key, object);
  return object;
}

std::shared_ptr<SessionObject> DsSession::Take(const std::string& key) {
  std::lock_guard lock(FMutex);
  for (auto it = FObjects.begin(); it != FObjects.end(); ++it) {
    if (SameKey(it->first, key)) {
      auto object = std::move(it->second);
      FObjects.erase(it);
      return object;
    }
  }
  return nullptr;
}

void DsSession::CloseAll() {
  std::vector<std::pair<std::string, std::shared_ptr<SessionObject>>> objects;
  {
    std::lock_guard lock(FMutex);
    objects.swap(FObjects);
  }
  // Closing may join threads; never under the store's lock.
  for (auto& [key, object] : objects)
    if (object) object->Close();
}

}  // namespace brevalon
