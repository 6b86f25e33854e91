#pragma once
// The Windows wizard: a modal comctl32 property sheet in wizard mode with
// the pages of the run's page set. It draws what the shared WizardFlow asks
// for and forwards the sheet's events to it: Back, Next, Finish, the cancel
// query (Cancel, Escape and the close box), the browse button and two
// timers, 0 polling a running installation every 500 ms and 1 moving a
// silent run past its welcome page after 2 000 ms.
#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/SetupContext.h"
#include "wizard/SetupProgram.h"
#include "wizard/WizardFlow.h"
#include "wizard/win/CInstallerDlgPage.h"
#include "wizard/win/WindowTrace.h"

namespace setup {

class CChooseDirDialog;

class CInstallerDlg : public WizardFrontEnd {
 public:
  // Makes the pages of the context's page set from their templates in
  // `language`; see Constructed.
  CInstallerDlg(SetupContext& context, uint16_t language, WindowTrace& trace);
  ~CInstallerDlg() override;

  // False when a page template is missing in the language; the wizard then
  // cannot be shown and `ConstructionError` says why.
  bool Constructed() const { return constructionError_ == 0; }
  DWORD ConstructionError() const { return constructionError_; }

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

  // ---- what the pages ask of the wizard --------------------------------
  SetupContext& Context() { return context_; }
  const std::u16string& WelcomeText() const { return welcomeText_; }
  uint32_t ProgressPercent() const { return progressPercent_; }
  const std::u16string& ProgressLabel() const { return progressLabel_; }
  bool OpenDescriptionFlag() const { return openDescription_; }
  void SetOpenDescriptionFlag(bool value) { openDescription_ = value; }
  // The first page made tells the wizard its sheet window.
  void OnPageCreated(CInstallerDlgPage& page);
  void OnSetActive(CInstallerDlgPage& page);
  // True when the sheet may close (it never closes through a cancel).
  bool OnQueryCancel();
  // The result of a Back or Next notification: the page to go to, or -1.
  LRESULT OnWizardBack();
  LRESULT OnWizardNext();
  // True when the sheet may close.
  bool OnWizardFinish();
  void OnDestinationEdited(const std::u16string& text);
  void ChooseDirectory();

 private:
  static LRESULT CALLBACK SheetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR self);
  void OnSheetInit(HWND sheet);
  void OnTimer(UINT_PTR id);
  void ApplyButtons();
  int PositionOf(WizardPage page) const;
  CInstallerDlgPage* PageAt(int position) const;
  int ActivePosition() const;
  // Runs a flow handler that may select a page, and gives the notification
  // result that selects it (-1: stay).
  template <typename Handler>
  LRESULT Navigate(Handler handler);

  SetupContext& context_;
  WindowTrace& trace_;
  std::unique_ptr<WizardFlow> flow_;
  DWORD constructionError_ = 0;

  // The page set, in order, and its pages.
  std::vector<WizardPage> pageSet_;
  std::vector<std::unique_ptr<CInstallerDlgPage>> pages_;
  CWelcomePage* welcome_ = nullptr;
  CDestinationPage* destination_ = nullptr;
  CProgressPage* progress_ = nullptr;
  HICON icon_ = nullptr;

  HWND sheet_ = nullptr;
  // Set while a Back or Next notification runs: the page it selects.
  bool navigating_ = false;
  int navigationTarget_ = -1;
  bool inFinish_ = false;
  bool closing_ = false;
  bool placed_ = false;
  std::u16string welcomeText_;
  uint32_t progressPercent_ = 0;
  std::u16string progressLabel_;
  bool openDescription_ = false;
  // The open message box and its kind, for DismissMessage.
  MessageKind openKind_ = MessageKind::Plain;
  bool messageOpen_ = false;
  CChooseDirDialog* chooser_ = nullptr;
};

}  // namespace setup
