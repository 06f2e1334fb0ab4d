// Child processes, the environment and module paths. The child is the engine
// tests' host program: without arguments it exits with code 2; given a
// folder, it writes the engine's settings file there and then runs until it
// is killed.
#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "support/EngineTestSupport.h"
#include "support/TestSupport.h"

namespace {

using engine_test::WaitUntil;

std::string HostProgram() { return engine_test::BuildPath(NIMBRA_ENGINE_HOST); }

TEST(ProcessTest, ExitCodeAndArgumentsArriveIntact) {
  platform::ChildProcess child;
  ASSERT_EQ(child.Start(HostProgram(), {}), 0u);
  EXPECT_TRUE(child.Tracked());
  ASSERT_TRUE(child.WaitForExit(30000));
  EXPECT_EQ(child.ExitCode(), 2);

  // Blanks, a quote and a trailing separator: the quoting must hand the
  // child exactly this folder.
  test_support::TempFolder temp;
#ifdef _WIN32
  const std::string target = temp / "a b  c" + platform::kPathDelim;  // no quotes in names
#else
  const std::string target = temp / "a b \"c\"" + platform::kPathDelim;
#endif
  ASSERT_TRUE(platform::ForceDirectories(target));
  ASSERT_EQ(child.Start(HostProgram(), {target}), 0u);
  EXPECT_TRUE(WaitUntil([&] { return platform::FileExists(target + "anon_settings"); }, 30000));
  EXPECT_FALSE(child.WaitForExit(100)) << "it runs until killed";
  child.Kill();
  EXPECT_TRUE(child.WaitForExit(0));
}

TEST(ProcessTest, MissingProgramFailsToStart) {
  test_support::TempFolder temp;
  platform::ChildProcess child;
  EXPECT_NE(child.Start(temp / "no-such-program", {}), 0u);
  EXPECT_TRUE(child.WaitForExit(0)) << "nothing to wait for";
}

TEST(ProcessTest, EnvironmentValues) {
  EXPECT_EQ(platform::EnvironmentValue("NIMBRA_PROCESS_TEST"), "");
  ASSERT_TRUE(platform::SetEnvironmentValue("NIMBRA_PROCESS_TEST", "v\xC3\xA4lue"));
  EXPECT_EQ(platform::EnvironmentValue("NIMBRA_PROCESS_TEST"), "v\xC3\xA4lue");
  ASSERT_TRUE(platform::SetEnvironmentValue("NIMBRA_PROCESS_TEST", ""));
  EXPECT_EQ(platform::EnvironmentValue("NIMBRA_PROCESS_TEST"), "");
}

TEST(ProcessTest, ModuleFileNameAndUnixPaths) {
  const std::string library = engine_test::BuildPath(NIMBRA_SIMENGINE_DLL);
  const platform::ModuleHandle module = platform::LoadDynamicLibrary(library);
  ASSERT_NE(module, 0u);
  const void* entry = platform::GetLibrarySymbol(module, "dll_start");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(platform::ModuleFileName(entry), library);
  EXPECT_TRUE(platform::FreeDynamicLibrary(module));

  // Build paths are Unix paths on both sides of Wine.
  EXPECT_EQ(platform::UnixPathOf(library), NIMBRA_SIMENGINE_DLL);
  EXPECT_EQ(platform::PathFromUnixPath(NIMBRA_SIMENGINE_DLL), library);
}

}  // namespace
