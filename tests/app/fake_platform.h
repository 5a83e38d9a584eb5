// A registry, a running marker and a version reader that a test sets up, for the services of
// the application's tests (the real file system's and the in-memory one's alike).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/services.h"
#include "text/codepage.h"

namespace tarvo::testing {

class FakeRegistry : public platform::Registry {
 public:
  std::map<std::string, std::map<std::string, std::string>> keys;
  StringValue ReadLocalMachineString(const std::string& key, const std::string& name) override {
    StringValue v;
    auto k = keys.find(key);
    if (k == keys.end()) return v;
    v.key_opened = true;
    auto n = k->second.find(name);
    if (n != k->second.end()) {
      v.value_present = true;
      v.value = n->second;
    }
    return v;
  }
};

class FakeMarker : public platform::RunningMarker {
 public:
  State state = State::kCreated;
  std::vector<std::string> created;
  State Create(const std::string& name) override {
    created.push_back(name);
    return state;
  }
};

class FakeVersion : public platform::VersionInfo {
 public:
  // Keyed by the path in lower case; unknown paths carry no resource.
  std::map<std::string, std::map<std::string, std::string>> files;
  std::map<std::string, bool> without_translation;
  std::vector<std::string> asked;
  Strings Read(const std::string& path, const std::vector<std::string>& names) override {
    asked.push_back(path);
    Strings s;
    s.values.resize(names.size());
    auto f = files.find(text::ToLowerUtf8(path));
    if (f == files.end()) return s;
    s.has_resource = true;
    if (without_translation[text::ToLowerUtf8(path)]) return s;
    s.has_translation = true;
    for (size_t i = 0; i < names.size(); ++i) {
      auto v = f->second.find(names[i]);
      if (v != f->second.end()) s.values[i] = v->second;
    }
    return s;
  }
};

}  // namespace tarvo::testing
