// Any bytes as a language file, a built-in table and a stored property list:
// readers raise their own errors and nothing else, the canonical writer's
// output reads back to itself, and every text survives the format routine.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/DKLang.h"
#include "ui/TextFormat.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void TryFormat(const std::string& text) {
  try {
    FormatText(text, {42, "Nimbra", 2.5});
  } catch (const EFormatError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Registration reads the parameters of every file it finds.
  try {
    TLangTranslation::Parse(bytes, true).LangID();
  } catch (const EDKLangError&) {
  }

  try {
    const TLangTranslation translation = TLangTranslation::Parse(bytes, false);
    const std::string text = translation.SaveToText();
    TLangTranslation back;
    try {
      back = TLangTranslation::Parse(text, false);
    } catch (const EDKLangError&) {
      Check(false);  // the writer wrote something the reader refuses
    }
    Check(back.SaveToText() == text);
    Check(back.LangID() == translation.LangID());

    // The catalogue inserts in sorted order; a few hundred keys show as much
    // as thousands would.
    TDKLang_Constants constants;
    for (std::size_t i = 0; i < translation.Constants().size() && i < 300; ++i) {
      constants.Add(translation.Constants()[i].first, translation.Constants()[i].second);
    }
    constants.Translate(translation);
    for (const auto& [name, value] : translation.Constants()) {
      Check(translation.FindConstant(name) != nullptr);
      TryFormat(value);
    }
    for (const TLangSection& section : translation.Sections()) {
      Check(translation.FindSection(section.Name) != nullptr);
      for (const auto& [id, value] : section.Entries) TryFormat(value);
    }
  } catch (const EDKLangError&) {
  }

  try {
    TDKLang_Constants table;
    table.LoadFromBytes(bytes);
    TDKLang_Constants again;
    again.LoadFromBytes(table.SaveToBytes());
    Check(again.Count() == table.Count());
  } catch (const EDKLangError&) {
  }

  try {
    const TLangCompEntry root = LoadLangData(bytes);
    Check(SaveLangData(LoadLangData(SaveLangData(root))) == SaveLangData(root));
  } catch (const EDKLangError&) {
  }
  return 0;
}
