#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

#ifdef _WIN32
#include <share.h>
#include <stdio.h>
#endif

namespace {

using test_support::ReadFileOrMissing;

const char kDebugKey[] = "SOFTWARE\\Corvane\\Nimbra\\DebugMode";

platform::LocalTime FixedClock() { return {2026, 3, 5, 7, 8, 9, 45}; }

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2) {
    lines.push_back(text.substr(start, at - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { InitAppFolders(system_.Root() / "data"); }
  void TearDown() override { InitLog(false); }
  std::string Log() const { return ReadFileOrMissing(LogFileName()); }

  test_support::IsolatedSystem system_;
};

TEST_F(LoggerTest, StampAndLineLayout) {
  EXPECT_EQ(FormatLogStamp({2026, 3, 5, 7, 8, 9, 45}, ':'), "5.3.26 07:08:09:045");
  EXPECT_EQ(FormatLogStamp({2026, 12, 28, 23, 59, 5, 999}, '.'), "28.12.26 23.59.05.999");

  InitLog(true, FixedClock);
  EXPECT_EQ(LogFileName(),
            DataFolder() + platform::ExtractFileName(platform::ExecutablePath()) + ".log");
  LogMessage("x", "A.B");
  const char sep = platform::TimeSeparator();
  EXPECT_EQ(Log(), FormatLogStamp({2026, 3, 5, 7, 8, 9, 45}, sep) + " A.B: x\r\n");
}

TEST_F(LoggerTest, LinesAppendAcrossRuns) {
  test_support::WriteFileForTest(
      DataFolder() + platform::ExtractFileName(platform::ExecutablePath()) + ".log",
      "earlier run\r\n");
  InitLog(true, FixedClock);
  LogMessage("first", "S.One");
  InitLog(true, FixedClock);  // a second run of the program
  LogMessage("second", "S.Two");
  const auto lines = SplitCrLf(Log());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier run");
  EXPECT_NE(lines[1].find(" S.One: first"), std::string::npos);
  EXPECT_NE(lines[2].find(" S.Two: second"), std::string::npos);
}

TEST_F(LoggerTest, RegistryKeyDecidesAndExceptionsWriteNothingWithoutIt) {
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugKey, FixedClock);
  StartExceptionLog();
  EXPECT_FALSE(LogEnabled());
  try {
    throw std::runtime_error("not logged");
  } catch (const std::exception&) {
  }
  LogMessage("not logged either", "A.B");
  EXPECT_EQ(Log(), "<missing>");

  platform::RegKey key;
  ASSERT_EQ(key.Create(platform::RegRoot::CurrentUser, kDebugKey,
                       platform::kKeyRead | platform::kKeyWrite),
            0u);
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugKey, FixedClock);
  EXPECT_TRUE(LogEnabled());
  platform::RegDeleteKeyTree(platform::RegRoot::CurrentUser, "SOFTWARE\\Corvane", 0);

#ifndef _WIN32
  // A registry that cannot be read at all counts as a missing key.
  platform::SetRegistryFile(system_.Root().Path());
  InitLogFromRegistry(platform::RegRoot::CurrentUser, kDebugKey, FixedClock);
  EXPECT_FALSE(LogEnabled());
#endif
}

TEST_F(LoggerTest, ThrowCaughtInWorkerThreadWritesTheBlock) {
  InitLog(true, FixedClock);
  StartExceptionLog();
  std::thread worker([] {
    try {
      throw std::runtime_error("engine gone");
    } catch (const std::exception& error) {
      LogMessage(ExceptionLogText(error), "TTorControl.SendNewNym");
    }
  });
  worker.join();

  const auto lines = SplitCrLf(Log());
  ASSERT_GE(lines.size(), 8u) << Log();
  const std::string exe = platform::ExtractFileName(platform::ExecutablePath());
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], FormatLogStamp({2026, 3, 5, 7, 8, 9, 45}, platform::TimeSeparator()));
  EXPECT_EQ(lines[2].rfind("Exception std::runtime_error in module " + exe + " at ", 0), 0u)
      << lines[2];
  EXPECT_EQ(lines[2].back(), '.');
  EXPECT_EQ(lines[3], "engine gone.");
  EXPECT_EQ(lines[4], "");  // the description ends with its own line break
  EXPECT_EQ(lines[5], "STACK TOP-----------------------------");
  std::size_t i = 6;
  bool named = false;
  for (; i < lines.size() && lines[i].rfind("[", 0) == 0; ++i) {
    EXPECT_GE(lines[i].find(']'), 9u) << "address shorter than 8 digits: " << lines[i];
    named = named || lines[i].find("] ") != std::string::npos;
  }
  EXPECT_TRUE(named) << "no frame resolved to a routine:\n" << Log();
  EXPECT_GT(i, 6u) << "no frames captured";
  ASSERT_LT(i + 1, lines.size());
  EXPECT_EQ(lines[i], "STACK BOTTOM-------------------------");
  EXPECT_NE(lines[i + 1].find(" TTorControl.SendNewNym: std::runtime_error : engine gone"),
            std::string::npos);
}

// A routine the linker keeps to this file only: its name still shows.
__attribute__((noinline)) void ThrowFromHiddenRoutine(int n) {
  if (n >= 0) throw std::runtime_error("hidden " + std::to_string(n));
}

TEST_F(LoggerTest, BlocksOfTwoThreadsAtOnceStayWholeAndStaticRoutinesAreNamed) {
  InitLog(true, FixedClock);
  StartExceptionLog();
  constexpr int kEach = 25;
  auto work = [](const std::string& who) {
    for (int i = 0; i < kEach; ++i) {
      try {
        ThrowFromHiddenRoutine(i);
      } catch (const std::exception&) {
        LogMessage(who + " line", "Test.Threads");
      }
    }
  };
  std::thread a([&] { work("A"); });
  std::thread b([&] { work("B"); });
  a.join();
  b.join();

  const auto lines = SplitCrLf(Log());
  int blocks = 0;
  int stamped = 0;
  int named = 0;
  for (std::size_t i = 0; i < lines.size();) {
    if (lines[i].find(" Test.Threads: ") != std::string::npos) {
      ++stamped;
      ++i;
      continue;
    }
    // A block: empty line, time, description (two lines and its line end),
    // top marker, frames only, bottom marker.
    ASSERT_LT(i + 5, lines.size());
    EXPECT_EQ(lines[i], "") << i;
    EXPECT_EQ(lines[i + 2].rfind("Exception std::runtime_error in module ", 0), 0u) << lines[i + 2];
    EXPECT_EQ(lines[i + 3].rfind("hidden ", 0), 0u) << lines[i + 3];
    EXPECT_EQ(lines[i + 4], "");
    ASSERT_EQ(lines[i + 5], "STACK TOP-----------------------------") << i;
    i += 6;
    bool this_named = false;
    for (; i < lines.size() && lines[i].rfind("[", 0) == 0; ++i) {
      // Demangled: a name read wrongly from the symbol table stays mangled.
      this_named = this_named || lines[i].find("(anonymous namespace).ThrowFromHiddenRoutine") !=
                                     std::string::npos;
    }
    ASSERT_LT(i, lines.size());
    ASSERT_EQ(lines[i], "STACK BOTTOM-------------------------") << "interleaved at line " << i;
    ++i;
    ++blocks;
    named += this_named ? 1 : 0;
  }
  EXPECT_EQ(blocks, 2 * kEach);
  EXPECT_EQ(stamped, 2 * kEach);
  EXPECT_EQ(named, 2 * kEach) << "the routine in the anonymous namespace has its name";
}

TEST_F(LoggerTest, LongDescriptionIsCut) {
  InitLog(true, FixedClock);
  StartExceptionLog();
  try {
    throw std::runtime_error(std::string(5000, 'x'));
  } catch (const std::exception&) {
  }
  const std::string log = Log();
  const std::size_t start = log.find("Exception ");
  const std::size_t end = log.find("\r\nSTACK TOP");
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end - start, kMaxExceptionDescription);
}

TEST_F(LoggerTest, SilentAbortHasNoFrames) {
  InitLog(true, FixedClock);
  StartExceptionLog();
  try {
    throw EAbort();
  } catch (const EAbort&) {
  }
  const std::string log = Log();
  EXPECT_NE(log.find("Exception EAbort in module"), std::string::npos);
  EXPECT_NE(log.find("STACK TOP-----------------------------\r\nSTACK BOTTOM"), std::string::npos);
}

TEST_F(LoggerTest, UnwritableFolderLosesTheLineQuietly) {
  test_support::WriteFileForTest(system_.Root() / "plainfile", "x");
  // A folder beneath a regular file can never be created, even by root.
  InitAppFolders(system_.Root() / "plainfile" + platform::kPathDelim + "data");
  InitLog(true, FixedClock);
  StartExceptionLog();
  EXPECT_NO_THROW(LogMessage("lost", "A.B"));
  try {
    throw std::logic_error("also lost");
  } catch (const std::exception&) {
  }
  EXPECT_EQ(Log(), "<missing>");
}

#ifdef _WIN32
TEST_F(LoggerTest, LockedFileLosesTheLineAndTheNextOneGetsThrough) {
  InitLog(true, FixedClock);
  LogMessage("one", "A.B");
  FILE* locked = _wfsopen(std::filesystem::path(LogFileName()).c_str(), L"ab", _SH_DENYRW);
  ASSERT_NE(locked, nullptr);
  EXPECT_NO_THROW(LogMessage("two", "A.B"));
  fclose(locked);
  LogMessage("three", "A.B");
  const std::string log = Log();
  EXPECT_NE(log.find("A.B: one"), std::string::npos);
  EXPECT_EQ(log.find("A.B: two"), std::string::npos);
  EXPECT_NE(log.find("A.B: three"), std::string::npos);
}
#endif

TEST(SysErrorTextTest, CodeAndSystemTextWithoutTrailingPunctuation) {
  const std::string text = SysErrorText(2);
  EXPECT_EQ(text.rfind("Error 2: ", 0), 0u) << text;
  ASSERT_GT(text.size(), 9u) << text;
  const char last = text.back();
  EXPECT_TRUE(last != '.' && last != ' ' && static_cast<unsigned char>(last) >= ' ') << text;
}

extern "C" void ExitAfterFault(int) { std::_Exit(3); }

// The process dies of the fault, so it runs in a child; the log it leaves
// is then read here.
TEST_F(LoggerTest, AccessViolationInWorkerThreadIsLogged) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  // The child runs this test again from the start, so the folder must not
  // depend on anything made fresh per run.
  const std::string data =
      (std::filesystem::temp_directory_path() / "nimbra-crash-log-test").string();
  std::filesystem::remove_all(data);
  EXPECT_EXIT(
      {
        InitAppFolders(data);
        InitLog(true, FixedClock);
        std::signal(SIGSEGV, ExitAfterFault);  // ends the child once the log is written
        StartExceptionLog();
        std::thread worker([] {
          // Not null, so the sanitizer lets the store reach the hardware.
          volatile std::uintptr_t address = 16;
          *reinterpret_cast<volatile int*>(address) = 1;
        });
        worker.join();
      },
      [](int) { return true; }, "");
  InitAppFolders(data);
  InitLog(false);
  const std::string log = ReadFileOrMissing(LogFileName());
  EXPECT_NE(log.find("Exception EAccessViolation in module "), std::string::npos) << log;
  EXPECT_NE(log.find("Access violation at address "), std::string::npos) << log;
  EXPECT_NE(log.find("STACK TOP-----------------------------"), std::string::npos);
  EXPECT_NE(log.find("STACK BOTTOM-------------------------"), std::string::npos);
  std::filesystem::remove_all(data);
}

}  // namespace
