// The windows' translatable texts: each window's design (its section name,
// components in design order and texts by ID) for its language controller,
// the language-file template and the completeness check.
#pragma once

#include <string>
#include <vector>

#include "ui/DKLang.h"

// The windows' component names, and so their language-file sections.
inline constexpr char kNimbraMainFormName[] = "NimbraMainForm";
inline constexpr char kMenuFormName[] = "MenuForm";
inline constexpr char kOptionsFormName[] = "OptionsForm";
inline constexpr char kClosingFormName[] = "ClosingForm";
inline constexpr char kTutorialFormName[] = "TutorialForm";

const TLangWindowDesign& NimbraMainFormDesign();
const TLangWindowDesign& MenuFormDesign();
const TLangWindowDesign& OptionsFormDesign();
const TLangWindowDesign& ClosingFormDesign();
const TLangWindowDesign& TutorialFormDesign();

// Every translated window, in the order their sections are written.
const std::vector<const TLangWindowDesign*>& TranslatedWindows();

// The main window's translatable properties in ascending ID order, and its
// stored property list.
const std::vector<TLangDesignText>& NimbraMainFormDesignTexts();
const std::string& NimbraMainFormLangData();
