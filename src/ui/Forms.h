// The pieces the program's windows are built from, on top of the window
// layer (platform/Gui.h): a form that owns one window and draws its graphic
// elements (pictures, image buttons, transparent labels) itself, answers the
// hit test, tracks hover and press, and owns timers, hot keys, the tray icon
// and popup menus.
//
// Every handler the backend calls runs guarded: an exception that escapes it
// goes to the application's exception handler and no further.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/gui/Gui.h"
#include "ui/DKLang.h"
#include "ui/Picture.h"

// Program-wide state of the window thread.
struct TApplication {
  std::string Title;
  // Whether the main window is shown when the message loop starts.
  bool ShowMainForm = true;
  // Gets every exception that escapes a window handler; none set: swallowed.
  std::function<void(std::exception_ptr)> OnException;

  void HandleException(std::exception_ptr error);
};
TApplication& Application();

// Runs `handler`, handing an exception that escapes it to Application().
void Guarded(const std::function<void()>& handler);

class TSkinForm;

class TGraphicElement {
 public:
  TGraphicElement(TSkinForm& Owner, std::string Name, gui::Rect Bounds);
  virtual ~TGraphicElement() = default;
  TGraphicElement(const TGraphicElement&) = delete;
  TGraphicElement& operator=(const TGraphicElement&) = delete;

  const std::string& Name() const { return FName; }
  TSkinForm& Owner() const { return FOwner; }
  gui::Rect Bounds;
  bool Visible = true;
  bool Enabled = true;
  // Whether the pointer reacts to it; elsewhere the pointer meets what lies
  // behind it.
  bool TakesPointer = true;
  std::string Hint;
  std::function<void()> OnClick;

  virtual void Paint(gui::Canvas& Canvas) const = 0;
  // The pointer came over the element or left it; a press began or ended.
  virtual void PointerEnter() {}
  virtual void PointerLeave() {}
  virtual void PressBegin() {}
  virtual void PressEnd() {}
  // The window's language reads right to left, or not.
  virtual void SetRightToLeft(bool /*Value*/) {}
  void Invalidate() const;

 private:
  TSkinForm& FOwner;
  std::string FName;
};

// A picture at a fixed place; with AutoSize it takes its picture's size.
class TImage : public TGraphicElement {
 public:
  using TGraphicElement::TGraphicElement;
  TPicture Picture;
  bool AutoSize = false;

  void LoadPicture(const std::string& Path, const std::string& Source);
  void Paint(gui::Canvas& Canvas) const override;
};

// An image button: its normal picture at rest (nothing when it has none, so
// the background shows through), the hover picture while the pointer is
// over it, the pressed picture while a button is held on it. The clicked
// picture is kept with the others. A caption, when it has one, is drawn
// over whichever shows.
class TJvImage : public TGraphicElement {
 public:
  enum class TState { Normal, Hover, Pressed };
  using TGraphicElement::TGraphicElement;

  TPicture PictureNormal;
  TPicture PictureClicked;
  TPicture PicturePressed;
  TPicture PictureHover;

  // The caption: its box relative to the button, its face in the colour it
  // has at rest, its colours while hovered and pressed. Pressed (or latched)
  // it sits one pixel lower, as the pictures' faces do.
  std::string Caption;
  gui::Rect CaptionBox;
  gui::TextStyle CaptionFont;
  gui::Colour HoverColour = 0;
  gui::Colour PressedColour = 0;
  // Drawn pressed in at rest (a switch that is on).
  bool Latched = false;
  // The caption's box in the window and its style in the present state.
  gui::Rect CaptionRect() const;
  gui::TextStyle CaptionStyle() const;
  void SetRightToLeft(bool Value) override { CaptionFont.right_to_left = Value; }

  TState State() const { return FState; }
  // Back to the normal picture (or nothing), at once.
  void SetDefaultState();
  // Loads the pressed, then the hover picture of the skin (an empty name
  // loads none), then sets the default state. Raises EPictureError at the
  // first picture that cannot be read.
  void LoadSkinPictures(const std::string& Pressed, const std::string& Hover);
  // The picture shown now, or null.
  const TPicture* Shown() const;

  void Paint(gui::Canvas& Canvas) const override;
  void PointerEnter() override;
  void PointerLeave() override;
  void PressBegin() override;
  void PressEnd() override;

 private:
  void SetState(TState State);
  TState FState = TState::Normal;
};

// Text drawn over whatever lies behind it. In a language read right to
// left its text reads so and its alignment is mirrored (left becomes right),
// unless it keeps its side.
class TLabel : public TGraphicElement {
 public:
  TLabel(TSkinForm& Owner, std::string Name, gui::Rect Bounds);
  gui::TextStyle Font;  // as designed, left to right
  bool KeepsSide = false;

  const std::string& Caption() const { return FCaption; }
  void SetCaption(const std::string& Caption);
  // The style it is drawn in.
  gui::TextStyle Style() const;
  void Paint(gui::Canvas& Canvas) const override;
  void SetRightToLeft(bool Value) override;

 private:
  std::string FCaption;
  bool FRightToLeft = false;
};

// A timer of a form: ticks every Interval milliseconds while enabled, with
// a handler and a non-zero interval. A changed interval restarts a running
// countdown; enabling a running timer changes nothing.
class TTimer {
 public:
  TTimer(TSkinForm& Owner, std::uint32_t Interval, bool Enabled);
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  std::uint32_t Interval() const { return FInterval; }
  void SetInterval(std::uint32_t Value);
  // Whether the window's timer runs now.
  bool Running() const { return FRunning; }
  std::function<void()> OnTimer;

 private:
  friend class TSkinForm;
  void Update();
  TSkinForm& FOwner;
  int FId;
  std::uint32_t FInterval;
  bool FEnabled;
  bool FRunning = false;
};

// A system-wide hot key of a form. A shortcut another program holds is not
// registered: it then does nothing, and nothing is shown.
class TJvApplicationHotKey {
 public:
  TJvApplicationHotKey(TSkinForm& Owner, std::uint16_t HotKey);
  ~TJvApplicationHotKey();
  TJvApplicationHotKey(const TJvApplicationHotKey&) = delete;
  TJvApplicationHotKey& operator=(const TJvApplicationHotKey&) = delete;

  std::uint16_t HotKey() const { return FHotKey; }
  void SetActive(bool Value);
  bool Active() const { return FActive; }
  bool Registered() const { return FRegistered; }
  std::function<void()> OnHotKey;

 private:
  friend class TSkinForm;
  TSkinForm& FOwner;
  int FId;
  std::uint16_t FHotKey;
  bool FActive = false;
  bool FRegistered = false;
};

// The program's tray icon, owned by the main window: present while active,
// with a tooltip. It counts the application as shown or hidden to the tray
// and moves it between the two.
class TJvTrayIcon {
 public:
  explicit TJvTrayIcon(TSkinForm& Owner);
  ~TJvTrayIcon();
  TJvTrayIcon(const TJvTrayIcon&) = delete;
  TJvTrayIcon& operator=(const TJvTrayIcon&) = delete;

  void SetActive(bool Value);
  bool Active() const { return FActive; }
  const std::string& Hint() const { return FHint; }
  void SetHint(const std::string& Hint);

  // Whether the application is shown, as this component counts it.
  bool ApplicationVisible() const { return FApplicationVisible; }
  // Hides the main window (its task-bar button goes with it) and clears the
  // application's flag that shows the main window at start.
  void HideApplication();
  // Shows the main window again, in front.
  void ShowApplication();

 private:
  TSkinForm& FOwner;
  bool FActive = false;
  std::string FHint;
  bool FApplicationVisible = true;
};

struct TMenuItem {
  std::string Name;
  std::string Caption;
  std::uint16_t ShortCut = 0;
  bool Default = false;
  bool Separator = false;
  bool Enabled = true;
  std::function<void()> OnClick;
};

class TPopupMenu {
 public:
  TMenuItem& Add(TMenuItem Item);
  TMenuItem* Find(const std::string& Name);
  const std::vector<std::unique_ptr<TMenuItem>>& Items() const { return FItems; }
  // Runs before the menu opens.
  std::function<void()> OnPopup;
  // The items read right to left.
  bool RightToLeft = false;
  // Opens the menu at a screen point and runs the chosen item's handler.
  void Popup(gui::Window& Window, gui::Point Screen);

 private:
  std::vector<std::unique_ptr<TMenuItem>> FItems;
};

// Where a text of a window is drawn: the text as shown, the room it has
// (client pixels) and its style. A wrapped text breaks into lines within
// the room's width and has its height for them.
struct TTextBox {
  std::string Component;  // the element or control; "" for the title
  std::string Text;
  gui::Rect Room;
  gui::TextStyle Style;
};

// A window and what it draws. The window is made in the constructor; the
// elements are added back to front.
//
// A form is translated by a language controller over its design (see
// Translate): its title, its elements' captions and hints and its named
// controls' texts and hints are the properties a language file sets.
class TSkinForm : public gui::WindowEvents, public TDKLangWindow {
 public:
  TSkinForm(gui::GuiSystem& Gui, const std::string& Name, const gui::WindowSpec& Layout);
  ~TSkinForm() override;
  TSkinForm(const TSkinForm&) = delete;
  TSkinForm& operator=(const TSkinForm&) = delete;

  const std::string& Name() const { return FName; }
  gui::GuiSystem& Gui() const { return FGui; }
  gui::Window& Window() const { return *FWindow; }
  const gui::WindowSpec& Layout() const { return FLayout; }
  // Whether the window's language reads right to left.
  bool RightToLeft() const { return FRightToLeft; }
  // Showing runs the form's show handler first when it was hidden.
  void Show();
  void Hide() { FWindow->Hide(); }
  bool Visible() const { return FWindow->Visible(); }

  template <class T>
  T& Add(const std::string& Name, gui::Rect Bounds) {
    auto element = std::make_unique<T>(*this, Name, Bounds);
    T& ref = *element;
    FElements.push_back(std::move(element));
    return ref;
  }
  TGraphicElement* FindElement(const std::string& Name) const;
  // The topmost element under a client point that takes the pointer
  // (hidden ones left out, disabled ones included), or null.
  TGraphicElement* ElementAt(gui::Point Client) const;
  // Tooltips for the elements that have a hint.
  void UpdateHints();
  // A native control of the window in the dialogs' face (one face for every
  // script the program is translated to), read right to left when the
  // language is; controls the keyboard can work take part in the tab order.
  // `Name` is its component name for translation. `Adjust` changes the rest
  // of the description (font, default or cancel button).
  gui::Control& AddControl(gui::ControlKind Kind, int Id, const std::string& Name, gui::Rect Bounds,
                           const std::string& Text,
                           const std::function<void(gui::ControlSpec&)>& Adjust = {});
  // The control's description as added, by id (null when there is none).
  const gui::ControlSpec* ControlLayout(int Id) const;
  // The hint of a control, shown where the window shows hints ("" for none).
  void SetControlHint(int Id, const std::string& Hint);
  std::string ControlHint(int Id) const;

  // Makes the window's language controller over its design and translates
  // the window into the current language.
  void Translate(const TLangWindowDesign& Design);

  // Every text the window can show, where and how: the title of a framed
  // window, each label, caption and control text, and what the form adds
  // (texts it shows in turn).
  virtual std::vector<TTextBox> TextBoxes() const;

  // --- TDKLangWindow: the title (component ""), elements and named
  // controls; forms add what else they have.
  std::string ComponentName() const override { return FName; }
  std::optional<std::string> GetPropertyText(const std::string& Component,
                                             const std::string& Property) const override;
  void SetPropertyText(const std::string& Component, const std::string& Property,
                       const std::string& Value) override;
  void Translated(std::uint16_t LanguageID) override;

  // The element a press on which drags the window (the background).
  TGraphicElement* DragElement = nullptr;

  // --- gui::WindowEvents, each guarded
  void Paint(gui::Canvas& Canvas) override;
  gui::HitArea HitTest(gui::Point Client) override;
  void MouseMove(gui::Point Client) override;
  void MouseLeave() override;
  void MouseDown(gui::MouseButton Button, gui::Point Client) override;
  void MouseUp(gui::MouseButton Button, gui::Point Client) override;
  void CaptureLost() override;
  bool KeyDown(int Key, std::uint16_t Shift) override;
  void Timer(int Id) override;
  void HotKey(int Id) override;
  void Tray(gui::TrayEvent Event, gui::Point Screen) override;
  void Message(std::uint32_t Message) override;
  void Moved(const gui::Rect& Bounds) override;
  void Minimized() override;
  void CloseRequest() override;
  void Command(int ControlId) override;
  void PointerOverControl(int ControlId) override;

 protected:
  // What derived forms override; the events above call them guarded.
  virtual void DoShow() {}
  virtual void DoDragStart() {}
  // A press on the window's own surface, outside every element.
  virtual void DoSurfacePress() {}
  virtual bool DoKeyDown(int /*Key*/, std::uint16_t /*Shift*/) { return false; }
  virtual void DoTray(gui::TrayEvent /*Event*/, gui::Point /*Screen*/) {}
  virtual void DoMessage(std::uint32_t /*Message*/) {}
  virtual void DoMoved(const gui::Rect& /*Bounds*/) {}
  virtual void DoMinimized() {}
  virtual void DoCloseRequest() {}
  virtual void DoCommand(int /*ControlId*/) {}
  virtual void DoPointerOverControl(int /*ControlId*/) {}
  // After a language's texts are in place and the elements follow its
  // reading order.
  virtual void DoTranslated() {}

  // Places an element at its designed bounds, or, in a language read right
  // to left, at their mirror image between `Left` and `Right`.
  void Place(TGraphicElement& Element, gui::Rect Designed, int Left, int Right) const;

 private:
  friend class TTimer;
  friend class TJvApplicationHotKey;
  struct TNamedControl {
    std::string Name;
    gui::ControlSpec Placement;
    std::string Hint;
  };
  void SetHover(TGraphicElement* Element);
  const TNamedControl* NamedControl(const std::string& Name) const;

  gui::GuiSystem& FGui;
  std::string FName;
  gui::WindowSpec FLayout;
  std::unique_ptr<gui::Window> FWindow;
  std::vector<std::unique_ptr<TGraphicElement>> FElements;
  std::vector<TNamedControl> FControls;
  std::unique_ptr<TDKLanguageController> FLangController;
  bool FRightToLeft = false;
  TGraphicElement* FHover = nullptr;
  TGraphicElement* FPressed = nullptr;
  std::map<int, TTimer*> FTimers;
  std::map<int, TJvApplicationHotKey*> FHotKeys;
  int FNextId = 1;
};
