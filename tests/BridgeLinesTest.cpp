// The bridge-line checker, the stored bridge choice, the defaults file and
// SETCONF built from it, and the bootstrap status reader. No engine, no
// port: what reaches an engine is checked as text here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/AppFolders.h"
#include "base/Logger.h"
#include "engine/BridgeLines.h"
#include "engine/BridgeSettings.h"
#include "engine/TorControl.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kFingerprint = "CDF2E852BF539B82BD10E27E9115A31734E378C2";
const std::string kCert = "qUVQ0srL1JI/vO6V6m/24anYXiJD3QP2HgzUKQtQ7GRqqUvs7P+tG43RtAqdhLOALP7DJQ";
// Documentation addresses only: nothing here is a real bridge.
const std::string kGood = "obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert + " iat-mode=0";

TBridgeFault Fault(const std::string& line) {
  TBridgeLine parsed;
  return CheckBridgeLine(line, parsed);
}

TEST(BridgeLineCheck, GoodLinesAreRebuiltFromTheirFields) {
  TBridgeLine line;
  ASSERT_EQ(CheckBridgeLine(
                "  Bridge obfs4 192.0.2.7:443 " + kFingerprint + " iat-mode=2 cert=" + kCert + "\t",
                line),
            TBridgeFault::None);
  EXPECT_EQ(line.Transport, "obfs4");
  EXPECT_EQ(line.Host, "192.0.2.7");
  EXPECT_EQ(line.Port, 443);
  EXPECT_EQ(line.IatMode, 2);
  EXPECT_EQ(line.Text(), "obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert + " iat-mode=2");

  ASSERT_EQ(CheckBridgeLine("obfs4 [2001:db8::1]:65535 " + std::string(40, 'a') + " cert=" + kCert +
                                " iat-mode=1",
                            line),
            TBridgeFault::None);
  EXPECT_EQ(line.Host, "[2001:db8::1]");
  EXPECT_EQ(line.Fingerprint, std::string(40, 'A'));

  // Plain bridges: an address, with or without a fingerprint.
  ASSERT_EQ(CheckBridgeLine("198.51.100.3:9001", line), TBridgeFault::None);
  EXPECT_EQ(line.Text(), "198.51.100.3:9001");
  ASSERT_EQ(CheckBridgeLine("[::ffff:192.0.2.1]:1 " + kFingerprint, line), TBridgeFault::None);
  EXPECT_EQ(line.Text(), "[::ffff:192.0.2.1]:1 " + kFingerprint);
}

TEST(BridgeLineCheck, EachWayALineCanBeWrong) {
  const std::string tail = " cert=" + kCert + " iat-mode=0";
  struct Case {
    std::string line;
    TBridgeFault fault;
  } cases[] = {
      {"meek_lite 192.0.2.7:443 " + kFingerprint, TBridgeFault::UnknownTransport},
      {"OBFS4 192.0.2.7:443 " + kFingerprint + tail, TBridgeFault::UnknownTransport},
      {"obfs4", TBridgeFault::MissingAddress},
      {"Bridge", TBridgeFault::MissingAddress},
      {"obfs4 192.0.2.256:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 192.0.2:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 example.org:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 2001:db8::1:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 [2001:db8:::1]:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 [1:2:3:4:5:6:7:8:9]:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 [2001:db8::1:443 " + kFingerprint + tail, TBridgeFault::BadAddress},
      {"obfs4 192.0.2.7:0 " + kFingerprint + tail, TBridgeFault::BadPort},
      {"obfs4 192.0.2.7:65536 " + kFingerprint + tail, TBridgeFault::BadPort},
      {"obfs4 192.0.2.7:+443 " + kFingerprint + tail, TBridgeFault::BadPort},
      {"obfs4 192.0.2.7 " + kFingerprint + tail, TBridgeFault::BadPort},
      {"obfs4 [2001:db8::1] " + kFingerprint + tail, TBridgeFault::BadPort},
      {"obfs4 192.0.2.7:443" + tail, TBridgeFault::MissingFingerprint},
      {"obfs4 192.0.2.7:443 " + kFingerprint.substr(1) + tail, TBridgeFault::BadFingerprint},
      {"obfs4 192.0.2.7:443 " + kFingerprint + "G" + tail, TBridgeFault::BadFingerprint},
      {"obfs4 192.0.2.7:443 " + kFingerprint + " iat-mode=0", TBridgeFault::MissingCert},
      {"obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert.substr(1) + " iat-mode=0",
       TBridgeFault::BadCert},
      {"obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert.substr(1) + "= iat-mode=0",
       TBridgeFault::BadCert},
      {"obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert, TBridgeFault::MissingIatMode},
      {"obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert + " iat-mode=3",
       TBridgeFault::BadIatMode},
      {"obfs4 192.0.2.7:443 " + kFingerprint + " cert=" + kCert + " iat-mode=",
       TBridgeFault::BadIatMode},
      {"obfs4 192.0.2.7:443 " + kFingerprint + tail + " iat-mode=1", TBridgeFault::UnknownArgument},
      {"obfs4 192.0.2.7:443 " + kFingerprint + tail + " ControlPort=9051",
       TBridgeFault::UnknownArgument},
      {"obfs4 192.0.2.7:443 " + kFingerprint + tail + " ControlPort", TBridgeFault::ExtraWord},
      {"192.0.2.7:443 " + kFingerprint + " extra", TBridgeFault::ExtraWord},
      // What would end a line or start another in the engine's settings.
      {kGood + "\nControlPort 9051", TBridgeFault::ControlCharacter},
      {kGood + "\rControlPort 9051", TBridgeFault::ControlCharacter},
      {kGood + std::string(1, '\0'), TBridgeFault::ControlCharacter},
      {kGood + "\x7f", TBridgeFault::ControlCharacter},
      {kGood + " #ControlPort 9051", TBridgeFault::CommentSign},
      {"# " + kGood, TBridgeFault::CommentSign},
      {kGood + " \xc3\xa9", TBridgeFault::NotAscii},
      {std::string(1 << 20, 'a'), TBridgeFault::LineTooLong},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Fault(c.line), c.fault) << c.line.substr(0, 200);
    EXPECT_FALSE(BridgeFaultText(c.fault).empty());
    EXPECT_NE(std::string(BridgeFaultKey(c.fault)), "");
  }
}

TEST(BridgeLineCheck, TextNamesTheFirstBadLineAndKeepsNothing) {
  TBridgeCheck check = CheckBridgeLines(kGood + "\r\n\r\n   \n" + kGood + "\r\nobfs4 192.0.2.7:0");
  EXPECT_FALSE(check.Ok());
  EXPECT_EQ(check.Fault, TBridgeFault::BadPort);
  EXPECT_EQ(check.LineNumber, 5);  // blank lines count, as the box shows them
  EXPECT_TRUE(check.Lines.empty());
  EXPECT_EQ(check.Message(), "Line 5: the port must be a number from 1 to 65535");

  check = CheckBridgeLines(kGood + "\r\n\r\n" + kGood + "\n");
  ASSERT_TRUE(check.Ok()) << check.Message();
  EXPECT_EQ(check.Lines.size(), 2u);

  // A lone CR inside the text is not a line end.
  check = CheckBridgeLines(kGood + "\rUseBridges 0\r\n");
  EXPECT_EQ(check.Fault, TBridgeFault::ControlCharacter);
  EXPECT_EQ(check.LineNumber, 1);

  // Ten thousand lines: refused at the first one past the bound, quickly.
  std::string many;
  for (int i = 0; i < 10000; ++i) many += kGood + "\n";
  check = CheckBridgeLines(many);
  EXPECT_EQ(check.Fault, TBridgeFault::TooManyLines);
  EXPECT_EQ(check.LineNumber, kMaxBridgeLines + 1);
  EXPECT_TRUE(check.Lines.empty());

  check = CheckBridgeLines(kGood + "\n" + std::string(1 << 20, 'x'));
  EXPECT_EQ(check.Message(), "Line 2: longer than 512 characters");
}

TEST(BridgeLineCheck, BuiltInBridgesAllPass) {
  EXPECT_EQ(BuiltInObfs4Bridges().size(), 11u);
  for (const TBridgeLine& line : BuiltInObfs4Bridges()) {
    EXPECT_EQ(line.Transport, "obfs4");
    TBridgeLine again;
    EXPECT_EQ(CheckBridgeLine(line.Text(), again), TBridgeFault::None);
    EXPECT_EQ(again, line);
  }
}

class BridgeSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitAppFolders(system_.Root() / "data");
    InitLog(true);
    options_ = system_.Root() / "options.ini";
  }
  void TearDown() override { InitLog(false); }

  std::string FileText() const { return platform::ReadWholeFile(options_).value_or("<missing>"); }

  test_support::IsolatedSystem system_;
  std::string options_;
};

TEST_F(BridgeSettingsTest, StoredLinesComeBackAndShorterListsLeaveNoneBehind) {
  const std::string other = "198.51.100.3:9001";
  ASSERT_TRUE(SaveBridgeSettings(true, TBridgeSource::Custom,
                                 kGood + "\r\n" + other + "\r\n" + other, options_)
                  .Ok());
  TBridgeSettings loaded = LoadBridgeSettings(options_);
  EXPECT_TRUE(loaded.Enabled);
  EXPECT_EQ(loaded.Source, TBridgeSource::Custom);
  ASSERT_EQ(loaded.CustomLines.size(), 3u);
  EXPECT_EQ(loaded.CustomLines[0].Text(), kGood);
  EXPECT_EQ(loaded.CustomText(), kGood + "\r\n" + other + "\r\n" + other + "\r\n");

  ASSERT_TRUE(SaveBridgeSettings(false, TBridgeSource::BuiltIn, other, options_).Ok());
  loaded = LoadBridgeSettings(options_);
  EXPECT_FALSE(loaded.Enabled);
  EXPECT_EQ(loaded.Source, TBridgeSource::BuiltIn);
  EXPECT_EQ(loaded.CustomLines.size(), 1u);
  EXPECT_THAT(FileText(), Not(HasSubstr("Line2")));
  EXPECT_TRUE(loaded.ActiveLines().empty());
  // Its own section, beside what else the file holds.
  EXPECT_THAT(FileText(), HasSubstr("[Bridges]"));
}

TEST_F(BridgeSettingsTest, RefusedTextStoresNothing) {
  ASSERT_TRUE(SaveBridgeSettings(true, TBridgeSource::Custom, kGood, options_).Ok());
  const std::string before = FileText();
  const std::string bad[] = {kGood + "\nobfs4 192.0.2.7:443", "ControlPort 9051",
                             kGood + "\rControlPort 9051", std::string(1 << 20, 'b'), ""};
  for (const std::string& text : bad) {
    const TBridgeCheck check = SaveBridgeSettings(true, TBridgeSource::Custom, text, options_);
    EXPECT_FALSE(check.Ok()) << text.substr(0, 100);
    EXPECT_EQ(FileText(), before);
  }
  // Bridges on with the custom source and no line: nothing to use.
  EXPECT_EQ(SaveBridgeSettings(true, TBridgeSource::Custom, "\r\n", options_).Fault,
            TBridgeFault::NoLines);
}

TEST_F(BridgeSettingsTest, HandEditedLinesAreCheckedOnTheWayIn) {
  platform::IniFile ini(options_);
  ini.WriteString("Bridges", "Enabled", "1");
  ini.WriteString("Bridges", "Source", "custom");
  ini.WriteString("Bridges", "Count", "3");
  ini.WriteString("Bridges", "Line1", kGood);
  ini.WriteString("Bridges", "Line2", "obfs4 192.0.2.7:443 # ControlPort 1");
  ini.WriteString("Bridges", "Line3", "198.51.100.3:9001");
  const TBridgeSettings loaded = LoadBridgeSettings(options_);
  ASSERT_EQ(loaded.CustomLines.size(), 2u);
  EXPECT_EQ(loaded.CustomLines[1].Text(), "198.51.100.3:9001");
  EXPECT_THAT(test_support::ReadFileOrMissing(LogFileName()),
              HasSubstr("Stored bridge line 2 left out: a '#' inside the line"));
  // No file at all: bridges off.
  EXPECT_FALSE(LoadBridgeSettings(system_.Root() / "none.ini").Enabled);
}

TEST_F(BridgeSettingsTest, DefaultsFileHoldsOnlyBridgeSettings) {
  TBridgeSettings settings;
  settings.Enabled = true;
  settings.Source = TBridgeSource::Custom;
  settings.CustomLines = CheckBridgeLines(kGood + "\n198.51.100.3:9001").Lines;
  EXPECT_EQ(BridgeDefaultsText(settings, "/opt/n/obfs4proxy"),
            "UseBridges 1\r\nClientTransportPlugin obfs4 exec /opt/n/obfs4proxy\r\nBridge " +
                kGood + "\r\nBridge 198.51.100.3:9001\r\n");
  settings.CustomLines.pop_back();
  settings.CustomLines.front().Transport.clear();  // a plain bridge needs no transport
  settings.CustomLines.front().Cert.clear();
  EXPECT_EQ(BridgeDefaultsText(settings, "x"),
            "UseBridges 1\r\nBridge 192.0.2.7:443 " + kFingerprint + "\r\n");
  settings.Source = TBridgeSource::BuiltIn;
  const std::string builtin = BridgeDefaultsText(settings, "x");
  EXPECT_THAT(builtin, HasSubstr("Bridge obfs4 192.95.36.142:443 "));
  settings.Enabled = false;
  EXPECT_EQ(BridgeDefaultsText(settings, "x"), "");

  // Written whole into the engine folder; off rewrites it empty.
  const std::string folder = system_.Root() / "engine";
  ASSERT_TRUE(platform::ForceDirectories(folder));
  settings.Enabled = true;
  ASSERT_TRUE(WriteBridgeDefaults(folder, settings));
  const std::string path = platform::IncludeTrailingDelimiter(folder) + kBridgeDefaultsFileName;
  EXPECT_THAT(platform::ReadWholeFile(path).value_or(""), HasSubstr("UseBridges 1\r\n"));
  settings.Enabled = false;
  ASSERT_TRUE(WriteBridgeDefaults(folder, settings));
  EXPECT_EQ(platform::ReadWholeFile(path).value_or("<missing>"), "");

  // A file where the folder should be: not written, and said so.
  test_support::WriteFileForTest(system_.Root() / "blocked", "");
  EXPECT_FALSE(WriteBridgeDefaults(system_.Root() / "blocked", settings));
}

TEST_F(BridgeSettingsTest, SetconfQuotesEveryValue) {
  TBridgeSettings settings;
  settings.Enabled = true;
  settings.Source = TBridgeSource::Custom;
  settings.CustomLines = CheckBridgeLines(kGood).Lines;
  EXPECT_EQ(BridgeSetconfCommand(settings, "C:\\Program Files\\N \"x\"\\obfs4proxy.exe"),
            "SETCONF UseBridges=1 ClientTransportPlugin=\"obfs4 exec C:\\\\Program "
            "Files\\\\N \\\"x\\\"\\\\obfs4proxy.exe\" Bridge=\"" +
                kGood + "\"");
  settings.Enabled = false;
  EXPECT_EQ(BridgeSetconfCommand(settings, "x"), "SETCONF UseBridges=0");
}

TEST(BootstrapPhase, FieldsInAnyOrderQuotedOrNot) {
  TBootstrapPhase phase = ParseBootstrapPhase(
      "250-status/bootstrap-phase=WARN BOOTSTRAP PROGRESS=5 TAG=conn SUMMARY=\"Connecting to a "
      "relay\" WARNING=\"Connection refused \\\"now\\\"\" REASON=CONNECTREFUSED COUNT=4 "
      "RECOMMENDATION=warn HOSTID=\"ABC\" HOSTADDR=\"127.0.0.1:5000\"");
  EXPECT_TRUE(phase.IsProblem());
  EXPECT_EQ(phase.Progress, 5);
  EXPECT_EQ(phase.Tag, "conn");
  EXPECT_EQ(phase.Summary, "Connecting to a relay");
  EXPECT_EQ(phase.Warning, "Connection refused \"now\"");
  EXPECT_EQ(phase.Reason, "CONNECTREFUSED");
  EXPECT_EQ(phase.Count, 4);
  EXPECT_EQ(phase.Recommendation, "warn");
  EXPECT_EQ(phase.ProblemText(), "CONNECTREFUSED, Connection refused \"now\" (4)");

  phase = ParseBootstrapPhase("NOTICE BOOTSTRAP TAG=done PROGRESS=100 SUMMARY=\"Done\"");
  EXPECT_FALSE(phase.IsProblem());
  EXPECT_EQ(phase.Progress, 100);
  EXPECT_EQ(phase.Summary, "Done");

  // Broken replies give what could be read, never more.
  phase = ParseBootstrapPhase("WARN BOOTSTRAP PROGRESS=10 WARNING=\"unterminated REASON=X");
  EXPECT_TRUE(phase.IsProblem());
  EXPECT_EQ(phase.Progress, 10);
  EXPECT_EQ(phase.Reason, "");
  EXPECT_EQ(ParseBootstrapPhase("").Severity, "");
  EXPECT_EQ(ParseBootstrapPhase("552 Unrecognized key").Severity, "");
  EXPECT_FALSE(ParseBootstrapPhase("WARN BOOTSTRAP PROGRESS=x COUNT=-3").Progress.has_value());
  EXPECT_EQ(ParseBootstrapPhase("WARN BOOTSTRAP COUNT=-3 =x ==").Count, 0);
}

}  // namespace
