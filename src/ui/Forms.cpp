#include "ui/Forms.h"

#include <utility>

TApplication& Application() {
  static TApplication application;
  return application;
}

void TApplication::HandleException(std::exception_ptr error) {
  if (OnException) {
    try {
      OnException(error);
    } catch (...) {
      // A handler that fails itself has nowhere left to report to.
    }
  }
}

void Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    Application().HandleException(std::current_exception());
  }
}

// ---------------------------------------------------------------------------
// Elements

TGraphicElement::TGraphicElement(TSkinForm& Owner, std::string Name, gui::Rect Bounds)
    : Bounds(Bounds), FOwner(Owner), FName(std::move(Name)) {}

void TGraphicElement::Invalidate() const { FOwner.Window().Invalidate(); }

void TImage::LoadPicture(const std::string& Path, const std::string& Source) {
  Picture.LoadFromFile(Path, Source);
  if (AutoSize) {
    Bounds.width = Picture.Bitmap()->width;
    Bounds.height = Picture.Bitmap()->height;
  }
  Invalidate();
}

void TImage::Paint(gui::Canvas& Canvas) const {
  if (!Picture.Empty()) Canvas.DrawBitmap(*Picture.Bitmap(), {Bounds.left, Bounds.top});
}

void TJvImage::SetDefaultState() { SetState(TState::Normal); }

void TJvImage::LoadSkinPictures(const std::string& Pressed, const std::string& Hover) {
  if (!Pressed.empty()) PicturePressed.LoadFromFile(SkinPath(Pressed), SkinSource(Pressed));
  if (!Hover.empty()) PictureHover.LoadFromFile(SkinPath(Hover), SkinSource(Hover));
  SetDefaultState();
}

void TJvImage::SetState(TState State) {
  if (FState == State) return;
  FState = State;
  Invalidate();
}

const TPicture* TJvImage::Shown() const {
  const TPicture* picture = &PictureNormal;
  if (FState == TState::Hover) picture = &PictureHover;
  if (FState == TState::Pressed) picture = &PicturePressed;
  return picture->Empty() ? nullptr : picture;
}

gui::Rect TJvImage::CaptionRect() const {
  const bool pressed = FState == TState::Pressed || (FState == TState::Normal && Latched);
  return {Bounds.left + CaptionBox.left, Bounds.top + CaptionBox.top + (pressed ? 1 : 0),
          CaptionBox.width, CaptionBox.height};
}

gui::TextStyle TJvImage::CaptionStyle() const {
  gui::TextStyle style = CaptionFont;
  if (FState == TState::Pressed || (FState == TState::Normal && Latched)) {
    style.colour = PressedColour;
  } else if (FState == TState::Hover) {
    style.colour = HoverColour;
  }
  return style;
}

void TJvImage::Paint(gui::Canvas& Canvas) const {
  if (const TPicture* picture = Shown()) {
    Canvas.DrawBitmap(*picture->Bitmap(), {Bounds.left, Bounds.top});
  }
  if (!Caption.empty()) Canvas.DrawString(Caption, CaptionRect(), CaptionStyle());
}

void TJvImage::PointerEnter() {
  if (FState != TState::Pressed) SetState(TState::Hover);
}

void TJvImage::PointerLeave() { SetState(TState::Normal); }

void TJvImage::PressBegin() { SetState(TState::Pressed); }

void TJvImage::PressEnd() { SetState(TState::Normal); }

void TLabel::SetCaption(const std::string& Caption) {
  if (FCaption == Caption) return;
  FCaption = Caption;
  Invalidate();
}

// A label is drawn text: the pointer meets what it is drawn on.
TLabel::TLabel(TSkinForm& Owner, std::string Name, gui::Rect Bounds)
    : TGraphicElement(Owner, std::move(Name), Bounds) {
  TakesPointer = false;
}

gui::TextStyle TLabel::Style() const {
  gui::TextStyle style = Font;
  style.right_to_left = FRightToLeft;
  if (FRightToLeft && !KeepsSide) {
    if (style.align == gui::TextAlign::Left) {
      style.align = gui::TextAlign::Right;
    } else if (style.align == gui::TextAlign::Right) {
      style.align = gui::TextAlign::Left;
    }
  }
  return style;
}

void TLabel::Paint(gui::Canvas& Canvas) const { Canvas.DrawString(FCaption, Bounds, Style()); }

void TLabel::SetRightToLeft(bool Value) {
  if (FRightToLeft == Value) return;
  FRightToLeft = Value;
  Invalidate();
}

// ---------------------------------------------------------------------------
// Timers, hot keys, tray icon, menus

TTimer::TTimer(TSkinForm& Owner, std::uint32_t Interval, bool Enabled)
    : FOwner(Owner), FId(Owner.FNextId++), FInterval(Interval), FEnabled(Enabled) {
  FOwner.FTimers[FId] = this;
  Update();
}

TTimer::~TTimer() {
  if (FRunning) FOwner.Window().KillTimer(FId);
  FOwner.FTimers.erase(FId);
}

void TTimer::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  Update();
}

void TTimer::SetInterval(std::uint32_t Value) {
  if (Value == FInterval) return;
  FInterval = Value;
  Update();
}

void TTimer::Update() {
  if (FRunning) FOwner.Window().KillTimer(FId);
  FRunning = FEnabled && FInterval != 0;
  if (FRunning) FOwner.Window().SetTimer(FId, FInterval);
}

TJvApplicationHotKey::TJvApplicationHotKey(TSkinForm& Owner, std::uint16_t HotKey)
    : FOwner(Owner), FId(Owner.FNextId++), FHotKey(HotKey) {
  FOwner.FHotKeys[FId] = this;
}

TJvApplicationHotKey::~TJvApplicationHotKey() {
  SetActive(false);
  FOwner.FHotKeys.erase(FId);
}

void TJvApplicationHotKey::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (FActive) {
    FRegistered = FOwner.Window().RegisterHotKey(FId, FHotKey);
  } else if (FRegistered) {
    FOwner.Window().UnregisterHotKey(FId);
    FRegistered = false;
  }
}

TJvTrayIcon::TJvTrayIcon(TSkinForm& Owner) : FOwner(Owner) {}

TJvTrayIcon::~TJvTrayIcon() { SetActive(false); }

void TJvTrayIcon::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (FActive) {
    // A refused icon is added again by the backend when the task bar comes.
    FOwner.Window().AddTrayIcon(FHint);
  } else {
    FOwner.Window().RemoveTrayIcon();
  }
}

void TJvTrayIcon::SetHint(const std::string& Hint) {
  FHint = Hint;
  if (FActive) FOwner.Window().SetTrayHint(Hint);
}

void TJvTrayIcon::HideApplication() {
  FOwner.Window().Hide();
  Application().ShowMainForm = false;
  FApplicationVisible = false;
}

void TJvTrayIcon::ShowApplication() {
  FOwner.Show();
  FApplicationVisible = true;
}

TMenuItem& TPopupMenu::Add(TMenuItem Item) {
  FItems.push_back(std::make_unique<TMenuItem>(std::move(Item)));
  return *FItems.back();
}

TMenuItem* TPopupMenu::Find(const std::string& Name) {
  for (auto& item : FItems) {
    if (item->Name == Name) return item.get();
  }
  return nullptr;
}

void TPopupMenu::Popup(gui::Window& Window, gui::Point Screen) {
  if (OnPopup) OnPopup();
  std::vector<gui::MenuItem> items;
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    const TMenuItem& item = *FItems[i];
    items.push_back({item.Separator ? 0 : static_cast<int>(i) + 1, item.Caption, item.ShortCut,
                     item.Default, item.Separator, item.Enabled, RightToLeft});
  }
  const int chosen = Window.PopupMenu(items, Screen);
  if (chosen <= 0 || chosen > static_cast<int>(FItems.size())) return;
  // The handler may change the menu: take a copy of what it needs.
  const std::function<void()> handler = FItems[static_cast<std::size_t>(chosen) - 1]->OnClick;
  if (handler) handler();
}

// ---------------------------------------------------------------------------
// The form

namespace {

// Dialogs of a language read right to left are laid out mirrored; skinned
// windows keep their pictures and mirror what they choose.
gui::WindowSpec FollowTheLanguage(gui::WindowSpec Layout) {
  Layout.right_to_left = Layout.style != gui::WindowStyle::Borderless &&
                         LanguageReadsRightToLeft(LangManager().LanguageID());
  return Layout;
}

// The text a control shows for one with "&" marking its accelerator letter.
std::string WithoutAccelerator(const std::string& text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    shown += text[i];
  }
  return shown;
}

// Where the system draws a control's text within its bounds (the classic
// look's check and radio marks, button edges and the group caption's
// indent), generous by a pixel or two.
gui::Rect TextRoom(const gui::ControlSpec& placement) {
  const gui::Rect b = placement.bounds;
  switch (placement.kind) {
    case gui::ControlKind::CheckBox:
    case gui::ControlKind::RadioButton:
      return {b.left + 17, b.top, b.width - 17, b.height};
    case gui::ControlKind::Button:
      return {b.left + 4, b.top, b.width - 8, b.height};
    case gui::ControlKind::GroupBox:
      return {b.left + 8, b.top, b.width - 16, placement.style.height + 4};
    default:
      return b;
  }
}

}  // namespace

TSkinForm::TSkinForm(gui::GuiSystem& Gui, const std::string& Name, const gui::WindowSpec& Layout)
    : FGui(Gui),
      FName(Name),
      FLayout(FollowTheLanguage(Layout)),
      FWindow(Gui.NewWindow(FLayout, *this)),
      FRightToLeft(LanguageReadsRightToLeft(LangManager().LanguageID())) {}

void TSkinForm::Place(TGraphicElement& Element, gui::Rect Designed, int Left, int Right) const {
  if (FRightToLeft) Designed.left = Left + Right - Designed.Right();
  Element.Bounds = Designed;
}

TSkinForm::~TSkinForm() = default;

void TSkinForm::Show() {
  if (!FWindow->Visible()) Guarded([&] { DoShow(); });
  FWindow->Show();
}

TGraphicElement* TSkinForm::FindElement(const std::string& Name) const {
  for (const auto& element : FElements) {
    if (element->Name() == Name) return element.get();
  }
  return nullptr;
}

TGraphicElement* TSkinForm::ElementAt(gui::Point Client) const {
  for (auto it = FElements.rbegin(); it != FElements.rend(); ++it) {
    if ((*it)->Visible && (*it)->TakesPointer && (*it)->Bounds.Contains(Client)) return it->get();
  }
  return nullptr;
}

void TSkinForm::UpdateHints() {
  std::vector<gui::Window::HintArea> hints;
  // Front to back, so an element's hint wins over what lies behind it.
  for (auto it = FElements.rbegin(); it != FElements.rend(); ++it) {
    if ((*it)->Visible && !(*it)->Hint.empty()) hints.push_back({(*it)->Bounds, (*it)->Hint});
  }
  FWindow->SetHints(hints);
}

gui::Control& TSkinForm::AddControl(gui::ControlKind Kind, int Id, const std::string& Name,
                                    gui::Rect Bounds, const std::string& Text,
                                    const std::function<void(gui::ControlSpec&)>& Adjust) {
  using gui::ControlKind;
  gui::ControlSpec layout;
  layout.kind = Kind;
  layout.id = Id;
  layout.bounds = Bounds;
  layout.text = Text;
  layout.style.face = "Tahoma";
  layout.style.word_wrap = Kind == ControlKind::Text;
  layout.style.right_to_left = FLayout.right_to_left;
  layout.tab_stop = Kind == ControlKind::Button || Kind == ControlKind::CheckBox ||
                    Kind == ControlKind::RadioButton || Kind == ControlKind::Edit ||
                    Kind == ControlKind::Link || Kind == ControlKind::TabControl;
  if (Adjust) Adjust(layout);
  FControls.push_back({Name, layout, ""});
  return FWindow->AddControl(layout);
}

const gui::ControlSpec* TSkinForm::ControlLayout(int Id) const {
  for (const TNamedControl& control : FControls) {
    if (control.Placement.id == Id) return &control.Placement;
  }
  return nullptr;
}

void TSkinForm::SetControlHint(int Id, const std::string& Hint) {
  for (TNamedControl& control : FControls) {
    if (control.Placement.id == Id) control.Hint = Hint;
  }
}

std::string TSkinForm::ControlHint(int Id) const {
  for (const TNamedControl& control : FControls) {
    if (control.Placement.id == Id) return control.Hint;
  }
  return "";
}

const TSkinForm::TNamedControl* TSkinForm::NamedControl(const std::string& Name) const {
  for (const TNamedControl& control : FControls) {
    if (!control.Name.empty() && control.Name == Name) return &control;
  }
  return nullptr;
}

void TSkinForm::Translate(const TLangWindowDesign& Design) {
  FLangController = std::make_unique<TDKLanguageController>(*this, Design.LangData());
  FLangController->Loaded();
}

std::optional<std::string> TSkinForm::GetPropertyText(const std::string& Component,
                                                      const std::string& Property) const {
  if (Component.empty()) {
    if (Property == "Caption") return FWindow->Title();
    return std::nullopt;
  }
  if (const TNamedControl* control = NamedControl(Component)) {
    if (Property == "Caption") return FWindow->FindControl(control->Placement.id)->Text();
    if (Property == "Hint") return control->Hint;
    return std::nullopt;
  }
  TGraphicElement* element = FindElement(Component);
  if (element == nullptr) return std::nullopt;
  if (Property == "Hint") return element->Hint;
  if (Property == "Caption") {
    if (const auto* label = dynamic_cast<const TLabel*>(element)) return label->Caption();
    if (const auto* button = dynamic_cast<const TJvImage*>(element)) return button->Caption;
  }
  return std::nullopt;
}

void TSkinForm::SetPropertyText(const std::string& Component, const std::string& Property,
                                const std::string& Value) {
  if (Component.empty()) {
    if (Property == "Caption") FWindow->SetTitle(Value);
    return;
  }
  for (TNamedControl& control : FControls) {
    if (control.Name.empty() || control.Name != Component) continue;
    if (Property == "Caption") FWindow->FindControl(control.Placement.id)->SetText(Value);
    if (Property == "Hint") control.Hint = Value;
    return;
  }
  TGraphicElement* element = FindElement(Component);
  if (element == nullptr) return;
  if (Property == "Hint") {
    element->Hint = Value;
  } else if (Property == "Caption") {
    if (auto* label = dynamic_cast<TLabel*>(element)) {
      label->SetCaption(Value);
    } else if (auto* button = dynamic_cast<TJvImage*>(element)) {
      button->Caption = Value;
      button->Invalidate();
    }
  }
}

void TSkinForm::Translated(std::uint16_t LanguageID) {
  FRightToLeft = LanguageReadsRightToLeft(LanguageID);
  for (const auto& element : FElements) element->SetRightToLeft(FRightToLeft);
  DoTranslated();
  UpdateHints();
  FWindow->Invalidate();
}

std::vector<TTextBox> TSkinForm::TextBoxes() const {
  std::vector<TTextBox> boxes;
  if (FLayout.style != gui::WindowStyle::Borderless) {
    // The caption bar's text, beside the icon and the boxes at its ends
    // (its room given as if it lay in the client area's first row).
    gui::TextStyle caption;
    caption.face = "Tahoma";
    caption.bold = true;
    boxes.push_back({"", FWindow->Title(), {0, 0, FLayout.client_width - 60, 18}, caption});
  }
  for (const auto& element : FElements) {
    if (const auto* label = dynamic_cast<const TLabel*>(element.get())) {
      boxes.push_back({label->Name(), label->Caption(), label->Bounds, label->Style()});
    } else if (const auto* button = dynamic_cast<const TJvImage*>(element.get())) {
      if (!button->Caption.empty()) {
        boxes.push_back(
            {button->Name(), button->Caption, button->CaptionRect(), button->CaptionStyle()});
      }
    }
  }
  bool status_bar = false;
  for (const TNamedControl& control : FControls) {
    const gui::ControlSpec& placement = control.Placement;
    status_bar |= placement.kind == gui::ControlKind::StatusBar;
    if (placement.kind == gui::ControlKind::Edit ||
        placement.kind == gui::ControlKind::MultiLineEdit ||
        placement.kind == gui::ControlKind::Picture ||
        placement.kind == gui::ControlKind::StatusBar ||
        placement.kind == gui::ControlKind::TabControl) {
      continue;
    }
    const std::string text = WithoutAccelerator(FWindow->FindControl(placement.id)->Text());
    boxes.push_back({control.Name, text, TextRoom(placement), placement.style});
  }
  if (status_bar) {
    // Hints show in the status bar, beside its size grip.
    gui::TextStyle style;
    style.face = "Tahoma";
    for (const TNamedControl& control : FControls) {
      if (control.Hint.empty()) continue;
      boxes.push_back({control.Name + ".Hint",
                       control.Hint,
                       {2, FLayout.client_height - 20, FLayout.client_width - 22, 20},
                       style});
    }
  }
  return boxes;
}

void TSkinForm::Paint(gui::Canvas& Canvas) {
  Guarded([&] {
    for (const auto& element : FElements) {
      if (element->Visible) element->Paint(Canvas);
    }
  });
}

gui::HitArea TSkinForm::HitTest(gui::Point Client) {
  gui::HitArea area = gui::HitArea::Client;
  Guarded([&] {
    if (DragElement != nullptr && ElementAt(Client) == DragElement) {
      area = gui::HitArea::Caption;
      DoDragStart();
    }
  });
  return area;
}

void TSkinForm::SetHover(TGraphicElement* Element) {
  if (Element == FHover) return;
  if (FHover != nullptr) FHover->PointerLeave();
  FHover = Element;
  if (FHover != nullptr) FHover->PointerEnter();
}

void TSkinForm::MouseMove(gui::Point Client) {
  Guarded([&] {
    TGraphicElement* element = ElementAt(Client);
    // While a press lasts only the pressed element reacts.
    if (FPressed != nullptr && element != FPressed) element = nullptr;
    SetHover(element != nullptr && element->Enabled ? element : nullptr);
  });
}

void TSkinForm::MouseLeave() {
  Guarded([&] { SetHover(nullptr); });
}

void TSkinForm::MouseDown(gui::MouseButton Button, gui::Point Client) {
  Guarded([&] {
    if (Button != gui::MouseButton::Left) return;
    TGraphicElement* element = ElementAt(Client);
    if (element == nullptr) {
      DoSurfacePress();
      return;
    }
    if (!element->Enabled) return;
    FPressed = element;
    element->PressBegin();
  });
}

void TSkinForm::MouseUp(gui::MouseButton Button, gui::Point Client) {
  Guarded([&] {
    if (Button != gui::MouseButton::Left || FPressed == nullptr) return;
    TGraphicElement* pressed = std::exchange(FPressed, nullptr);
    pressed->PressEnd();
    if (FHover == pressed) FHover = nullptr;
    if (pressed->Bounds.Contains(Client) && pressed->Visible && pressed->OnClick) {
      const std::function<void()> handler = pressed->OnClick;
      handler();
    }
  });
}

void TSkinForm::CaptureLost() {
  Guarded([&] {
    if (FPressed != nullptr) std::exchange(FPressed, nullptr)->PressEnd();
  });
}

bool TSkinForm::KeyDown(int Key, std::uint16_t Shift) {
  bool handled = false;
  Guarded([&] { handled = DoKeyDown(Key, Shift); });
  return handled;
}

void TSkinForm::Timer(int Id) {
  Guarded([&] {
    auto it = FTimers.find(Id);
    if (it != FTimers.end() && it->second->OnTimer) {
      const std::function<void()> handler = it->second->OnTimer;
      handler();
    }
  });
}

void TSkinForm::HotKey(int Id) {
  Guarded([&] {
    auto it = FHotKeys.find(Id);
    if (it != FHotKeys.end() && it->second->OnHotKey) {
      const std::function<void()> handler = it->second->OnHotKey;
      handler();
    }
  });
}

void TSkinForm::Tray(gui::TrayEvent Event, gui::Point Screen) {
  Guarded([&] { DoTray(Event, Screen); });
}

void TSkinForm::Message(std::uint32_t Message) {
  Guarded([&] { DoMessage(Message); });
}

void TSkinForm::Moved(const gui::Rect& Bounds) {
  Guarded([&] { DoMoved(Bounds); });
}

void TSkinForm::Minimized() {
  Guarded([&] { DoMinimized(); });
}

void TSkinForm::CloseRequest() {
  Guarded([&] { DoCloseRequest(); });
}

void TSkinForm::Command(int ControlId) {
  Guarded([&] { DoCommand(ControlId); });
}

void TSkinForm::PointerOverControl(int ControlId) {
  Guarded([&] { DoPointerOverControl(ControlId); });
}
