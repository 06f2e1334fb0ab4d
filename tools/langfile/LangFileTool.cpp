// langfile: the translator's helper for *.lng files.
//   langfile template OUT [LANGID]  the English texts as a language file:
//                                   every window's section, then the
//                                   catalogue's constants
//   langfile normalize IN OUT       IN rewritten in the canonical layout
//   langfile check FILE             reads FILE and lists what it lacks (a
//                                   window's text or a constant, missing or
//                                   empty) or whose placeholders differ from
//                                   English
// Exit code 0 on success, 1 when a check finds gaps, 2 on errors.
#include <cstdio>
#include <exception>
#include <string>

#include "app/MainFormLangData.h"
#include "platform/Files.h"
#include "ui/DKLang.h"
#include "ui/TextFormat.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: langfile template OUT [LANGID]\n"
               "       langfile normalize IN OUT\n"
               "       langfile check FILE\n");
  return 2;
}

// Whether a translated catalogue text takes the English text's arguments.
bool FitsEnglish(const std::string& text, const std::string& english) {
  try {
    return FormatUses(text) == FormatUses(english);
  } catch (const EFormatError&) {
    return false;
  }
}

bool Save(const std::string& path, const TLangTranslation& translation) {
  if (platform::ReplaceFileAtomically(path, translation.SaveToText())) return true;
  std::fprintf(stderr, "langfile: cannot write %s\n", path.c_str());
  return false;
}

int Template(const std::string& out, const std::string& lang_id) {
  TLangTranslation translation;
  translation.SetParam("LANGID", lang_id);
  for (const TLangWindowDesign* window : TranslatedWindows()) {
    TLangSection& section = translation.AddSection(window->Name);
    for (const TLangDesignText& text : window->Texts) {
      translation.AddEntry(section, text.ID, text.Text);
    }
  }
  const TDKLang_Constants constants = LangManager().Constants();
  for (int i = 0; i < constants.Count(); ++i) {
    translation.AddConstant(constants.Item(i).Name, constants.Item(i).DefValue);
  }
  return Save(out, translation) ? 0 : 2;
}

int Normalize(const std::string& in, const std::string& out) {
  return Save(out, TLangTranslation::LoadFromFile(in, false)) ? 0 : 2;
}

int Check(const std::string& file) {
  const TLangTranslation translation = TLangTranslation::LoadFromFile(file, false);
  int gaps = 0;
  std::printf("%s: LANGID %d\n", file.c_str(), static_cast<int>(translation.LangID()));
  if ((translation.LangID() & 0xFFFF) == 0) {
    std::printf("  no usable LANGID: the file would not be registered\n");
    ++gaps;
  }
  const TDKLang_Constants constants = LangManager().Constants();
  for (int i = 0; i < constants.Count(); ++i) {
    const TDKLang_Constant& english = constants.Item(i);
    const std::string* text = translation.FindConstant(english.Name);
    if (text == nullptr) {
      std::printf("  missing constant %s\n", english.Name.c_str());
      ++gaps;
    } else if (!FitsEnglish(*text, english.DefValue)) {
      // A lost or changed placeholder shows the wrong value or fails when shown.
      std::printf("  constant %s: placeholders differ from \"%s\"\n", english.Name.c_str(),
                  english.DefValue.c_str());
      ++gaps;
    }
  }
  for (const auto& [name, text] : translation.Constants()) {
    if (constants.IndexOfName(name) < 0)
      std::printf("  unknown constant %s (ignored)\n", name.c_str());
  }
  std::size_t window_texts = 0;
  for (const TLangWindowDesign* window : TranslatedWindows()) {
    const TLangSection* section = translation.FindSection(window->Name);
    for (const TLangDesignText& text : window->Texts) {
      const std::string* translated = section != nullptr ? section->Find(text.ID) : nullptr;
      if (translated == nullptr || translated->empty()) {
        std::printf("  missing [%s] %08d (%s)\n", window->Name.c_str(), static_cast<int>(text.ID),
                    text.Text.c_str());
        ++gaps;
      } else {
        ++window_texts;
      }
    }
    if (section == nullptr) continue;
    for (const auto& [id, text] : section->Entries) {
      bool known = false;
      for (const TLangDesignText& design : window->Texts) known = known || design.ID == id;
      if (!known) std::printf("  unknown [%s] %08d (ignored)\n", window->Name.c_str(), id);
    }
  }
  for (const TLangSection& section : translation.Sections()) {
    bool known = false;
    for (const TLangWindowDesign* window : TranslatedWindows()) {
      known = known || CompareConstNames(window->Name, section.Name) == 0;
    }
    if (!known) std::printf("  unknown section [%s] (ignored)\n", section.Name.c_str());
  }
  std::printf("  %zu constants, %zu window texts in %zu windows, %d gaps\n",
              translation.Constants().size(), window_texts, TranslatedWindows().size(), gaps);
  return gaps == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "template" && (argc == 3 || argc == 4)) {
      return Template(argv[2], argc == 4 ? argv[3] : "1033");
    }
    if (command == "normalize" && argc == 4) return Normalize(argv[2], argv[3]);
    if (command == "check" && argc == 3) return Check(argv[2]);
    return Usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "langfile: %s\n", e.what());
    return 2;
  }
}
