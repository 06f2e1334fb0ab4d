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

void TJvImage::Paint(gui::Canvas& Canvas) const {
  if (const TPicture* picture = Shown()) {
    Canvas.DrawBitmap(*picture->Bitmap(), {Bounds.left, Bounds.top});
  }
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

void TLabel::Paint(gui::Canvas& Canvas) const { Canvas.DrawString(FCaption, Bounds, Font); }

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
                     item.Default, item.Separator, item.Enabled});
  }
  const int chosen = Window.PopupMenu(items, Screen);
  if (chosen <= 0 || chosen > static_cast<int>(FItems.size())) return;
  // The handler may change the menu: take a copy of what it needs.
  const std::function<void()> handler = FItems[static_cast<std::size_t>(chosen) - 1]->OnClick;
  if (handler) handler();
}

// ---------------------------------------------------------------------------
// The form

TSkinForm::TSkinForm(gui::GuiSystem& Gui, const std::string& Name, const gui::WindowSpec& Layout)
    : FGui(Gui), FName(Name), FWindow(Gui.NewWindow(Layout, *this)) {}

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
    if ((*it)->Visible && (*it)->Bounds.Contains(Client)) return it->get();
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

gui::Control& TSkinForm::AddControl(gui::ControlKind Kind, int Id, gui::Rect Bounds,
                                    const std::string& Text,
                                    const std::function<void(gui::ControlSpec&)>& Adjust) {
  using gui::ControlKind;
  gui::ControlSpec layout;
  layout.kind = Kind;
  layout.id = Id;
  layout.bounds = Bounds;
  layout.text = Text;
  layout.style.word_wrap = Kind == ControlKind::Text;
  layout.tab_stop = Kind == ControlKind::Button || Kind == ControlKind::CheckBox ||
                    Kind == ControlKind::RadioButton || Kind == ControlKind::Edit ||
                    Kind == ControlKind::Link || Kind == ControlKind::TabControl;
  if (Adjust) Adjust(layout);
  return FWindow->AddControl(layout);
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
