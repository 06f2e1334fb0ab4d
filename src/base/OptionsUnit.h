// The program's settings: typed access to section "Options" of options.ini in
// the data folder. Nothing is cached: every read looks at the file and every
// write goes to it at once, so a store is created for one operation and freed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/IniFile.h"

// A date and time as the day count since 30 December 1899, with the time of
// day as the fraction.
struct TDateTime {
  double Value = 0;
};

class TOptions {
 public:
  // Opens the file `FileName`, or GetFileName() when it is empty.
  explicit TOptions(const std::string& FileName = "");
  ~TOptions();
  TOptions(const TOptions&) = delete;
  TOptions& operator=(const TOptions&) = delete;

  // The data folder + "options.ini".
  static std::string GetFileName();

  // Reads never raise: a missing file, section or key, an unreadable file or
  // a value that is not of the type asked for gives `Default`.
  bool GetOption(const std::string& Name, bool Default) const;
  std::int32_t GetOption(const std::string& Name, std::int32_t Default) const;
  std::string GetOption(const std::string& Name, const std::string& Default) const;
  std::string GetOption(const std::string& Name, const char* Default) const;
  // Accepts "." and "," as decimal separator, so a value written under
  // either kind of locale reads back everywhere.
  double GetOption(const std::string& Name, double Default) const;
  // The stored date-time in the user's date and time format; `Default` when
  // it is 0 or cannot be read.
  std::string GetDateTimeStr(const std::string& Name, const std::string& Default) const;

  // Writes raise EIniFileError ("Unable to write to <file>") when the file
  // cannot be written; the value is then not stored.
  void SetOption(const std::string& Name, bool Value);
  void SetOption(const std::string& Name, std::int32_t Value);
  void SetOption(const std::string& Name, const std::string& Value);
  void SetOption(const std::string& Name, const char* Value);
  // Written with the user's decimal separator.
  void SetOption(const std::string& Name, double Value);
  void SetOption(const std::string& Name, TDateTime Value);
  void DeleteKey(const std::string& Name);

 private:
  std::unique_ptr<platform::IniFile> FIniFile;
};

// Number text of the stored layout: the shortest text that reads back as the
// same number, with `Separator` as decimal separator.
std::string FloatToOptionText(double Value, char Separator);
// Reads number text with `Separator` as decimal separator: blanks, a sign,
// digits, one separator, an exponent. False for any other text.
bool TryOptionTextToFloat(const std::string& Text, char Separator, double& Value);
// The calendar date and time of a day count; false outside the years 1 to 9999.
bool DecodeOptionDateTime(double Value, platform::LocalTime& Time);
