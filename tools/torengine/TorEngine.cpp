// The real engine library: Tor linked in whole, run through its embedding
// API on the calling thread, as if started with
//   tor -f <settings> --defaults-torrc <defaults> --hush
// where <defaults> is "anon_defaults" beside the settings when the host
// wrote one (the bridges, in force before the first connection), else empty.
// dll_start returns when Tor's main loop has ended (SIGNAL HALT on the
// control port, or a settings file Tor refuses) and Tor has cleaned up
// after itself, its worker threads included.
#include <string>
#include <vector>

#include "EngineKit.h"
#include "platform/Files.h"
#include "platform/Paths.h"

extern "C" {
// Tor's embedding API (src/feature/api/tor_api.h). Declared here rather
// than included: the header needs the system's socket types for a call this
// library does not make.
typedef struct tor_main_configuration_t tor_main_configuration_t;
tor_main_configuration_t* tor_main_configuration_new(void);
int tor_main_configuration_set_command_line(tor_main_configuration_t* cfg, int argc, char* argv[]);
int tor_run_main(const tor_main_configuration_t* cfg);
void tor_main_configuration_free(tor_main_configuration_t* cfg);
}

namespace {

// An empty defaults file, so that no settings beside the host's apply.
// POSIX has one; on Windows the engine's data directory gets its own.
std::string EmptyDefaults(const std::string& settings_path) {
#ifdef _WIN32
  const auto settings = enginekit::ReadSettings(settings_path);
  const auto data = settings ? enginekit::Find(*settings, "DataDirectory") : std::nullopt;
  const std::string folder = data && !data->empty() ? platform::IncludeTrailingDelimiter(*data)
                                                    : platform::ExtractFilePath(settings_path);
  platform::ForceDirectories(folder);
  const std::string path = folder + "empty-defaults";
  if (!platform::FileExists(path)) platform::WriteNewFile(path, "");
  return platform::Utf8ToAnsi(path);
#else
  (void)settings_path;
  return "/dev/null";
#endif
}

// The host's defaults file beside the settings, else an empty one.
std::string Defaults(const std::string& settings_path) {
  const std::string utf8_path = platform::AnsiToUtf8(settings_path);
  const std::string beside = platform::ExtractFilePath(utf8_path) + "anon_defaults";
  if (platform::FileExists(beside)) return platform::Utf8ToAnsi(beside);
  return EmptyDefaults(utf8_path);
}

}  // namespace

void PLATFORM_CDECL dll_start(const char* settings_path) {
  if (settings_path == nullptr) return;
  // Tor opens its files through the C library, which takes the 8-bit text
  // the host hands over as it is.
  std::vector<std::string> words = {
      "anon", "-f", settings_path, "--defaults-torrc", Defaults(settings_path), "--hush"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  tor_main_configuration_t* config = tor_main_configuration_new();
  if (config == nullptr) return;
  if (tor_main_configuration_set_command_line(config, static_cast<int>(words.size()),
                                              argv.data()) == 0) {
    tor_run_main(config);
  }
  tor_main_configuration_free(config);
}
