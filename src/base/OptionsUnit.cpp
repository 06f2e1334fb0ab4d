#include "base/OptionsUnit.h"

#include <charconv>
#include <cmath>

#include "base/AppFolders.h"
#include "platform/Locale.h"

namespace {

const char kSection[] = "Options";

// The serial day of 1 January 1 and of 31 December 9999.
constexpr double kFirstDay = -693593;
constexpr double kLastDay = 2958465;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Days since 1 January 1970 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(long long z, int& year, int& month, int& day) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

std::string FloatToOptionText(double Value, char Separator) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, Value);
  std::string text(buffer, result.ptr);
  for (char& c : text) {
    if (c == '.') c = Separator;
  }
  return text;
}

bool TryOptionTextToFloat(const std::string& Text, char Separator, double& Value) {
  std::size_t begin = 0;
  std::size_t end = Text.size();
  while (begin < end && (Text[begin] == ' ' || Text[begin] == '\t')) ++begin;
  while (end > begin && (Text[end - 1] == ' ' || Text[end - 1] == '\t')) --end;
  std::string normal;
  std::size_t i = begin;
  if (i < end && (Text[i] == '+' || Text[i] == '-')) {
    if (Text[i] == '-') normal += '-';
    ++i;
  }
  std::size_t digits = 0;
  while (i < end && IsDigit(Text[i])) normal += Text[i++], ++digits;
  if (i < end && Text[i] == Separator) {
    normal += '.';
    ++i;
    while (i < end && IsDigit(Text[i])) normal += Text[i++], ++digits;
  }
  if (digits == 0) return false;
  if (i < end && (Text[i] == 'e' || Text[i] == 'E')) {
    normal += 'e';
    ++i;
    if (i < end && (Text[i] == '+' || Text[i] == '-')) normal += Text[i++];
    std::size_t exponent_digits = 0;
    while (i < end && IsDigit(Text[i])) normal += Text[i++], ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  if (i != end) return false;
  double parsed = 0;
  const auto result = std::from_chars(normal.data(), normal.data() + normal.size(), parsed);
  if (result.ec != std::errc() || result.ptr != normal.data() + normal.size()) return false;
  Value = parsed;
  return true;
}

bool DecodeOptionDateTime(double Value, platform::LocalTime& Time) {
  if (!std::isfinite(Value)) return false;
  double day = std::trunc(Value);
  if (day < kFirstDay || day > kLastDay) return false;
  long long milliseconds = std::llround(std::fabs(Value - day) * 86400000.0);
  if (milliseconds >= 86400000) {
    milliseconds -= 86400000;
    day += 1;
    if (day > kLastDay) return false;
  }
  // Serial day 0 is 30 December 1899, 25569 days before 1 January 1970.
  CivilFromDays(static_cast<long long>(day) - 25569, Time.year, Time.month, Time.day);
  Time.hour = static_cast<int>(milliseconds / 3600000);
  Time.minute = static_cast<int>(milliseconds / 60000 % 60);
  Time.second = static_cast<int>(milliseconds / 1000 % 60);
  Time.millisecond = static_cast<int>(milliseconds % 1000);
  return true;
}

TOptions::TOptions(const std::string& FileName)
    : FIniFile(std::make_unique<platform::IniFile>(FileName.empty() ? GetFileName() : FileName)) {}

TOptions::~TOptions() = default;

std::string TOptions::GetFileName() { return DataFolder() + "options.ini"; }

bool TOptions::GetOption(const std::string& Name, bool Default) const {
  try {
    return FIniFile->ReadBool(kSection, Name, Default);
  } catch (...) {
    return Default;
  }
}

std::int32_t TOptions::GetOption(const std::string& Name, std::int32_t Default) const {
  try {
    return FIniFile->ReadInteger(kSection, Name, Default);
  } catch (...) {
    return Default;
  }
}

std::string TOptions::GetOption(const std::string& Name, const std::string& Default) const {
  try {
    return FIniFile->ReadString(kSection, Name, Default);
  } catch (...) {
    return Default;
  }
}

std::string TOptions::GetOption(const std::string& Name, const char* Default) const {
  return GetOption(Name, std::string(Default != nullptr ? Default : ""));
}

double TOptions::GetOption(const std::string& Name, double Default) const {
  try {
    const std::string text = FIniFile->ReadString(kSection, Name, "");
    double value = 0;
    if (TryOptionTextToFloat(text, '.', value)) return value;
    if (TryOptionTextToFloat(text, ',', value)) return value;
  } catch (...) {
  }
  return Default;
}

std::string TOptions::GetDateTimeStr(const std::string& Name, const std::string& Default) const {
  try {
    const double value = GetOption(Name, 0.0);
    platform::LocalTime time;
    if (value == 0 || !DecodeOptionDateTime(value, time)) return Default;
    const std::string text = platform::FormatLocalDateTime(time);
    return text.empty() ? Default : text;
  } catch (...) {
    return Default;
  }
}

void TOptions::SetOption(const std::string& Name, bool Value) {
  FIniFile->WriteBool(kSection, Name, Value);
}

void TOptions::SetOption(const std::string& Name, std::int32_t Value) {
  FIniFile->WriteInteger(kSection, Name, Value);
}

void TOptions::SetOption(const std::string& Name, const std::string& Value) {
  FIniFile->WriteString(kSection, Name, Value);
}

void TOptions::SetOption(const std::string& Name, const char* Value) {
  SetOption(Name, std::string(Value != nullptr ? Value : ""));
}

void TOptions::SetOption(const std::string& Name, double Value) {
  FIniFile->WriteString(kSection, Name, FloatToOptionText(Value, platform::DecimalSeparator()));
}

void TOptions::SetOption(const std::string& Name, TDateTime Value) { SetOption(Name, Value.Value); }

void TOptions::DeleteKey(const std::string& Name) { FIniFile->DeleteKey(kSection, Name); }
