#include "activators/FirefoxPrefs.h"

#include <new>
#include <stdexcept>
#include <string_view>

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

namespace {

// Every proxy preference line contains this; lines without it need no
// closer look, which keeps large preference files cheap.
constexpr std::string_view kProxyPrefix = "network.proxy.";

const char* const kCapturePatterns[kFirefoxPreferenceCount] = {
    R"p(user_pref\("network\.proxy\.type", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.http", "(.+?)"\);)p",
    R"p(user_pref\("network\.proxy\.http_port", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.ssl", "(.+?)"\);)p",
    R"p(user_pref\("network\.proxy\.ssl_port", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.socks", "(.+?)"\);)p",
    R"p(user_pref\("network\.proxy\.socks_port", (.+?)\);)p",
    R"p(user_pref\("network\.proxy\.socks_remote_dns", (.+?)\);)p",
};

const std::string_view kRecognitionTexts[kFirefoxPreferenceCount] = {
    R"p("network.proxy.type")p",       R"p(network.proxy.http")p",
    R"p("network.proxy.http_port")p",  R"p("network.proxy.ssl")p",
    R"p("network.proxy.ssl_port")p",   R"p("network.proxy.socks")p",
    R"p("network.proxy.socks_port")p", R"p("network.proxy.socks_remote_dns")p",
};

std::string* Field(TFirefoxProxySettings& Settings, std::size_t Index) {
  std::string* const fields[kFirefoxPreferenceCount] = {
      &Settings.ProxyType, &Settings.HTTP_Proxy,  &Settings.HTTP_Port,  &Settings.SSL_Proxy,
      &Settings.SSL_Port,  &Settings.SOCKS_Proxy, &Settings.SOCKS_Port, &Settings.Remote_DNS,
  };
  return fields[Index];
}

bool IsProxyLine(std::string_view Line) {
  if (Line.find(kProxyPrefix) == std::string_view::npos) return false;
  for (const std::string_view text : kRecognitionTexts) {
    if (Line.find(text) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

struct TFirefoxPatterns::TPattern {
  pcre2_code* Code = nullptr;
  pcre2_match_data* Match = nullptr;
  ~TPattern() {
    pcre2_match_data_free(Match);
    pcre2_code_free(Code);
  }
};

TFirefoxPatterns::TFirefoxPatterns() {
  for (std::size_t i = 0; i < kFirefoxPreferenceCount; ++i) {
    auto pattern = std::make_unique<TPattern>();
    int error = 0;
    PCRE2_SIZE offset = 0;
    pattern->Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kCapturePatterns[i]),
                                  PCRE2_ZERO_TERMINATED, 0, &error, &offset, nullptr);
    if (pattern->Code == nullptr) {
      throw std::logic_error(std::string("Bad pattern ") + kCapturePatterns[i]);
    }
    pattern->Match = pcre2_match_data_create_from_pattern(pattern->Code, nullptr);
    if (pattern->Match == nullptr) throw std::bad_alloc();
    FPatterns[i] = std::move(pattern);
  }
}

TFirefoxPatterns::~TFirefoxPatterns() = default;

int TFirefoxPatterns::Match(std::string_view Line, std::string& Group) const {
  if (Line.find(kProxyPrefix) == std::string_view::npos) return -1;
  for (std::size_t i = 0; i < kFirefoxPreferenceCount; ++i) {
    const TPattern& p = *FPatterns[i];
    const int rc = pcre2_match(p.Code, reinterpret_cast<PCRE2_SPTR>(Line.data()), Line.size(), 0, 0,
                               p.Match, nullptr);
    if (rc < 2) continue;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(p.Match);
    Group.assign(Line.substr(ovector[2], ovector[3] - ovector[2]));
    return static_cast<int>(i);
  }
  return -1;
}

std::array<std::string, kFirefoxPreferenceCount> FirefoxActivateLines(
    const std::string& HTTP_Host, const std::string& HTTP_Port, const std::string& SOCKS_Host,
    const std::string& SOCKS_Port) {
  return {
      R"p(user_pref("network.proxy.type", 1);)p",
      R"p(user_pref("network.proxy.http", ")p" + HTTP_Host + R"p(");)p",
      R"p(user_pref("network.proxy.http_port", )p" + HTTP_Port + ");",
      R"p(user_pref("network.proxy.ssl", ")p" + HTTP_Host + R"p(");)p",
      R"p(user_pref("network.proxy.ssl_port", )p" + HTTP_Port + ");",
      R"p(user_pref("network.proxy.socks", ")p" + SOCKS_Host + R"p(");)p",
      R"p(user_pref("network.proxy.socks_port", )p" + SOCKS_Port + ");",
      R"p(user_pref("network.proxy.socks_remote_dns", true);)p",
  };
}

bool operator==(const TFirefoxProxyLine& a, const TFirefoxProxyLine& b) {
  return a.Preference == b.Preference && a.Text == b.Text;
}

TFirefoxProxySettings RewritePrefsForActivate(
    const TTextLines& File, const TFirefoxPatterns& Patterns,
    const std::array<std::string, kFirefoxPreferenceCount>& Appended, TTextEncoder& Out,
    std::vector<TFirefoxProxyLine>* Removed) {
  TFirefoxProxySettings saved;
  bool seen[kFirefoxPreferenceCount] = {};
  std::string group;
  // From the first line down, keeping the first value found: the topmost
  // occurrence of a preference is the one whose value is kept.
  for (std::size_t i = 0; i < File.Count(); ++i) {
    const std::string_view line = File.Line(i);
    const int found = Patterns.Match(line, group);
    if (found < 0) {
      Out.FileLine(line);
      continue;
    }
    if (!seen[found]) {
      seen[found] = true;
      *Field(saved, static_cast<std::size_t>(found)) = File.ToUtf8(group);
    }
    if (Removed != nullptr) {
      Removed->push_back({static_cast<std::uint32_t>(found), File.ToUtf8(line)});
    }
  }
  for (const std::string& line : Appended) Out.ProgramLine(line);
  return saved;
}

void RewritePrefsForDeactivate(const TTextLines& File, const TFirefoxProxySettings& Saved,
                               TTextEncoder& Out) {
  for (std::size_t i = 0; i < File.Count(); ++i) {
    const std::string_view line = File.Line(i);
    if (!IsProxyLine(line)) Out.FileLine(line);
  }
  if (!Saved.ProxyType.empty() && Saved.ProxyType != "0") {
    Out.ProgramLine(R"p(user_pref("network.proxy.type", )p" + Saved.ProxyType + ");");
  }
  auto add = [&Out](const std::string& value, const char* before, const char* after) {
    if (!value.empty()) Out.ProgramLine(before + value + after);
  };
  add(Saved.HTTP_Proxy, R"p(user_pref("network.proxy.http", ")p", R"p(");)p");
  add(Saved.HTTP_Port, R"p(user_pref("network.proxy.http_port", )p", ");");
  add(Saved.SSL_Proxy, R"p(user_pref("network.proxy.ssl", ")p", R"p(");)p");
  add(Saved.SSL_Port, R"p(user_pref("network.proxy.ssl_port", )p", ");");
  add(Saved.SOCKS_Proxy, R"p(user_pref("network.proxy.socks", ")p", R"p(");)p");
  add(Saved.SOCKS_Port, R"p(user_pref("network.proxy.socks_port", )p", ");");
  add(Saved.Remote_DNS, R"p(user_pref("network.proxy.socks_remote_dns", )p", ");");
}
