#pragma once
// The GTK 2 wizard window: one fixed-layout window of 500 x 360 pixels whose
// pages swap their widgets in and out above a row of Back, Next and Cancel.
// The page flow itself lives in WizardFlow; this file only draws it.
#include <gtk/gtk.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/SetupContext.h"
#include "wizard/SetupProgram.h"
#include "wizard/WizardFlow.h"
#include "wizard/gtk/UiTrace.h"

namespace setup {

inline constexpr int kWindowWidth = 500;
inline constexpr int kWindowHeight = 360;

// The flags word of ShowMessage: the highest byte picks the icon (1 error,
// 2 question, anything else none), the lowest byte the buttons (2 Yes and No,
// anything else OK).
inline constexpr uint32_t kMessageBoxPlain = 0x0000001;
inline constexpr uint32_t kMessageBoxError = 0x1000001;
inline constexpr uint32_t kMessageBoxQuestion = 0x2000002;
// ShowMessage's answers.
inline constexpr int kAnswerNone = 0, kAnswerYes = 1, kAnswerNo = 2, kAnswerOk = 3;

// The base of every page: the widgets it put into the window's fixed
// container, in the order they were made. The window owns the widgets.
class WizardDialogPage {
 public:
  explicit WizardDialogPage(GtkFixed* container) : container_(container) {}
  virtual ~WizardDialogPage() = default;
  WizardDialogPage(const WizardDialogPage&) = delete;
  WizardDialogPage& operator=(const WizardDialogPage&) = delete;

  void Show();
  void Hide();
  // Where each widget stands and how large it asks to be, for the trace.
  std::string Layout() const;

 protected:
  GtkWidget* Put(GtkWidget* widget, int x, int y, int width = -1, int height = -1);
  // Called right after the page's widgets have been shown; no page needs it.
  virtual void OnShown() {}

  GtkFixed* container_;
  std::vector<GtkWidget*> widgets_;
};

// The side picture and one wrapped text.
class MessagePage : public WizardDialogPage {
 public:
  MessagePage(GtkFixed* container, GdkPixbuf* sidePicture, const std::u16string& text);
  void SetText(const std::u16string& text);
  std::string Text() const;

 protected:
  GtkWidget* label_;
};

// The success page: the text and the "open description" check button.
class SuccessFinalPage : public MessagePage {
 public:
  SuccessFinalPage(GtkFixed* container, GdkPixbuf* sidePicture, const std::u16string& text,
                   const std::u16string& checkText);
  bool Checked() const;
  GtkWidget* CheckButton() const { return check_; }

 private:
  GtkWidget* check_;
};

// The destination page: prompt, path entry and the browse button.
class DirSelectPage : public WizardDialogPage {
 public:
  DirSelectPage(GtkFixed* container, GdkPixbuf* sidePicture);
  std::u16string Text() const;
  void SetText(const std::u16string& text);
  GtkWidget* Entry() const { return entry_; }
  GtkWidget* BrowseButton() const { return browse_; }

 private:
  GtkWidget* prompt_;
  GtkWidget* caption_;
  GtkWidget* entry_;
  GtkWidget* browse_;
};

// The progress page: a label over a bar; no side picture.
class ProgressPage : public WizardDialogPage {
 public:
  explicit ProgressPage(GtkFixed* container);
  void Update(uint32_t percentage, const std::u16string& label);

 private:
  GtkWidget* label_;
  GtkWidget* bar_;
  std::optional<uint32_t> shownPercentage_;
  std::u16string shownLabel_;
};

// The application window object.
class CInstallerDlg : public WizardFrontEnd {
 public:
  explicit CInstallerDlg(SetupContext& context);
  ~CInstallerDlg() override;

  // WizardFrontEnd
  void Run(const EngineSettings& settings) override;
  // FrontEnd
  bool ShowMessage(MessageKind kind, const std::u16string& text) override;
  void ShowPage(WizardPage page) override;
  void ShowProgress(uint32_t percentage, const std::u16string& label) override;
  void OpenFile(const std::u16string& path) override;
  void Close() override;
  // WizardView
  void SetWelcomeText(const std::u16string& text) override;
  std::u16string DestinationText() override;
  void SetDestinationText(const std::u16string& text) override;
  bool OpenDescriptionChecked() override;
  void DismissMessage() override;

 private:
  void BuildWindow();
  void LayOutButtons();
  void ApplyButtons(const ButtonStates& buttons);
  void ChooseDirectory();
  // A modal box with no parent window, captioned with the wizard's title.
  // Returns one of the kAnswer values.
  int ShowMessage(const std::u16string& text, uint32_t flags);
  // Runs a modal dialog, remembering it so that DismissMessage and Close can
  // end it from a timer. A termination signal answers it with
  // GTK_RESPONSE_NONE.
  gint RunDialog(GtkWidget* dialog);
  void TracePage(WizardPage page);

  static gboolean OnTick(gpointer self);
  static gboolean OnDialogWatch(gpointer dialog);
  static void OnBack(GtkButton*, gpointer self);
  static void OnNext(GtkButton*, gpointer self);
  static void OnCancel(GtkButton*, gpointer self);
  static void OnBrowse(GtkButton*, gpointer self);
  static gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self);
  static gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);

  SetupContext& context_;
  std::unique_ptr<WizardFlow> flow_;
  UiTrace trace_;

  GtkWidget* window_ = nullptr;
  GtkFixed* fixed_ = nullptr;
  GtkWidget* back_ = nullptr;
  GtkWidget* next_ = nullptr;
  GtkWidget* cancel_ = nullptr;
  GdkPixbuf* sidePicture_ = nullptr;
  GdkPixbuf* icon_ = nullptr;
  GtkWidget* openDialog_ = nullptr;
  guint timer_ = 0;
  int64_t tracedPercentage_ = -1;
  bool closing_ = false;

  std::u16string welcomeText_;
  std::unique_ptr<MessagePage> welcomePage_;
  std::unique_ptr<DirSelectPage> dirSelectPage_;
  std::unique_ptr<ProgressPage> progressPage_;
  std::unique_ptr<SuccessFinalPage> successPage_;
  std::unique_ptr<MessagePage> errorPage_;
  WizardDialogPage* currentPage_ = nullptr;
};

}  // namespace setup
