// Firefox's Activate then Deactivate over 50 profiles with 5,000-line prefs.js
// files, beside the least any rewrite must do: reading each file and
// replacing it atomically, once per operation. BM_RatioToPlainCopy reports
// the ratio of the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "activators/ProxyActivators.h"
#include "base/Endpoints.h"
#include "platform/BrowserFolders.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

namespace fs = std::filesystem;

constexpr int kProfiles = 50;
constexpr int kLines = 5000;

class Profiles {
 public:
  Profiles() {
    root_ = fs::temp_directory_path() /
            ("nimbra-bench-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root_ / "AppData");
    platform::OverrideSpecialFolder(platform::SpecialFolder::AppData, (root_ / "AppData").string());
    platform::OverrideHomeFolder((root_ / "Home").string());
    const std::string folder = platform::GetBrowserFolder(platform::BrowserFolder::FirefoxProfiles);
    std::string text;
    for (int i = 0; i < kLines; ++i) {
      // A proxy preference every 600 lines or so, the rest ordinary ones.
      if (i % 600 == 7) {
        text += "user_pref(\"network.proxy.http_port\", " + std::to_string(3000 + i) + ");\n";
      } else {
        text += "user_pref(\"browser.bench.preference" + std::to_string(i) + "\", \"value " +
                std::to_string(i * 7919) + "\");\n";
      }
    }
    for (int p = 0; p < kProfiles; ++p) {
      const std::string profile = folder + "profile" + std::to_string(p) + ".default";
      platform::ForceDirectories(profile);
      files_.push_back(profile + platform::kPathDelim + "prefs.js");
      platform::WriteNewFile(files_.back(), text);
    }
  }
  ~Profiles() {
    platform::OverrideSpecialFolder(platform::SpecialFolder::AppData, "");
    platform::OverrideHomeFolder("");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void CopyTwice() const {
    for (int pass = 0; pass < 2; ++pass) {
      for (const std::string& file : files_) {
        const auto bytes = platform::ReadWholeFile(file);
        platform::ReplaceFileAtomically(file, *bytes);
      }
    }
  }

 private:
  fs::path root_;
  std::vector<std::string> files_;
};

void ActivateDeactivate() {
  TFirefoxActivator firefox;
  firefox.Activate(endpoints::kLoopbackHost, endpoints::PortText(endpoints::kHttpEndpointPort), "",
                   "");
  firefox.Deactivate();
}

void BM_FirefoxActivateDeactivate(benchmark::State& state) {
  Profiles profiles;
  for (auto _ : state) ActivateDeactivate();
}
BENCHMARK(BM_FirefoxActivateDeactivate)->Unit(benchmark::kMillisecond);

void BM_PlainCopyTwice(benchmark::State& state) {
  Profiles profiles;
  for (auto _ : state) profiles.CopyTwice();
}
BENCHMARK(BM_PlainCopyTwice)->Unit(benchmark::kMillisecond);

void BM_RatioToPlainCopy(benchmark::State& state) {
  Profiles profiles;
  using Clock = std::chrono::steady_clock;
  Clock::duration activators{};
  Clock::duration copies{};
  for (auto _ : state) {
    const auto start = Clock::now();
    ActivateDeactivate();
    const auto middle = Clock::now();
    profiles.CopyTwice();
    copies += Clock::now() - middle;
    activators += middle - start;
  }
  state.counters["ratio"] = static_cast<double>(activators.count()) /
                            static_cast<double>(copies.count() > 0 ? copies.count() : 1);
}
BENCHMARK(BM_RatioToPlainCopy)->Unit(benchmark::kMillisecond);

}  // namespace
