// Services for the application's tests: the real file system in a scratch folder, and a
// registry, running marker and version reader that the test sets up.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/auto_dialogs.h"
#include "platform/services.h"
#include "tests/app/fake_platform.h"
#include "text/codepage.h"

namespace tarvo::testing {

struct TestServices {
  platform::Services services;
  FakeRegistry* registry;
  FakeMarker* marker;
  FakeVersion* version;
  platform::AutoDialogs* dialogs;
  std::string root;  // a fresh scratch folder, ending with a separator

  TestServices() {
    platform::Services real = platform::MakeSystemServices();
    services.fs = std::move(real.fs);
    services.clock = std::move(real.clock);
    auto r = std::make_unique<FakeRegistry>();
    auto m = std::make_unique<FakeMarker>();
    auto v = std::make_unique<FakeVersion>();
    auto d = std::make_unique<platform::AutoDialogs>();
    registry = r.get();
    marker = m.get();
    version = v.get();
    dialogs = d.get();
    services.registry = std::move(r);
    services.marker = std::move(m);
    services.version = std::move(v);
    services.dialogs = std::move(d);
    const std::string temp = services.fs->MakeTempFile("", "TAP");
    (void)services.fs->DeleteFileAt(temp);
    root = temp + ".d\\";
    (void)services.fs->CreateDirectories(root);
  }
  ~TestServices() { RemoveTree(root); }

  void Write(const std::string& path, const std::string& bytes) {
    const size_t cut = path.find_last_of("\\/");
    if (cut != std::string::npos) (void)services.fs->CreateDirectories(path.substr(0, cut));
    auto f = services.fs->Open(path, platform::Access::kWrite, platform::Share::kDenyWrite,
                               platform::Disposition::kCreateAlways);
    f->Write(bytes.data(), bytes.size());
    f->Close();
  }
  std::string Read(const std::string& path) {
    auto f = services.fs->Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                               platform::Disposition::kOpenExisting);
    std::string bytes(static_cast<size_t>(f->Size()), '\0');
    bytes.resize(f->Read(bytes.data(), bytes.size()));
    return bytes;
  }
  // Text given in UTF-8, written in Windows-1251 as the product's files are.
  void WriteAnsi(const std::string& path, const std::string& utf8) {
    Write(path, text::Utf8ToCp1251(utf8));
  }

  void RemoveTree(const std::string& folder) {
    try {
      for (const auto& e : services.fs->List(folder, "*")) {
        if (e.name == "." || e.name == "..") continue;
        if (e.attributes & platform::kAttrDirectory) {
          RemoveTree(folder + e.name + "\\");
        } else {
          (void)services.fs->SetAttributes(folder + e.name, platform::kAttrNormal);
          (void)services.fs->DeleteFileAt(folder + e.name);
        }
      }
    } catch (const platform::PlatformError&) {
    }
    (void)services.fs->RemoveFolder(folder);
  }
};

}  // namespace tarvo::testing
