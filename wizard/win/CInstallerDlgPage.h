#pragma once
// The wizard's pages: a thin layer over comctl32's property pages. Each page
// is made from its dialog template in the chosen language, found in the
// program's resources and handed to the sheet from memory. One dialog
// procedure serves every page and finds the page object through the lParam
// of the sheet's page record. The pages draw and forward; what happens on
// Back, Next, Finish and Cancel is the wizard's to decide.
#include <windows.h>
#include <commctrl.h>
// The A/W switch macro would rename WizardStyle::PropertySheet; we call
// PropertySheetW by its name.
#undef PropertySheet

#include <cstdint>
#include <string>

namespace setup {

class CInstallerDlg;

class CInstallerDlgPage {
 public:
  CInstallerDlgPage(CInstallerDlg& wizard, uint16_t templateId);
  virtual ~CInstallerDlgPage() = default;
  CInstallerDlgPage(const CInstallerDlgPage&) = delete;
  CInstallerDlgPage& operator=(const CInstallerDlgPage&) = delete;

  // Finds the page's template in `language` among the module's resources
  // and fills the sheet's record for it. False (with the system's code in
  // GetLastError) when the module has no such template.
  bool Construct(HINSTANCE module, uint16_t language, const std::u16string& title);
  const PROPSHEETPAGEW& SheetPage() const { return sheetPage_; }
  // What a wizard notification returns to select this page.
  LRESULT SelectionResult() const { return reinterpret_cast<LRESULT>(sheetPage_.pResource); }
  uint16_t TemplateId() const { return templateId_; }
  HWND Window() const { return window_; }
  // Controls <- data (save false) or data <- controls.
  void UpdateData(bool save) {
    if (window_) DoDataExchange(save);
  }

 protected:
  // After the dialog has made its controls; each page puts its texts in.
  virtual void OnInitDialog() = 0;
  virtual void DoDataExchange(bool /*save*/) {}
  // The page's own message map: a control's WM_COMMAND.
  virtual bool OnCommand(int /*id*/, int /*code*/) { return false; }

  void SetItemText(int id, const std::u16string& text);
  // Makes a wrapped text as tall as its lines need, down to the next control
  // below it or the page's bottom: a translation longer than the layout was
  // drawn for is shown whole instead of cut off.
  void FitTextHeight(int id);
  std::u16string ItemText(int id) const;
  HWND Item(int id) const { return GetDlgItem(window_, id); }

  CInstallerDlg& wizard_;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // The sheet's notifications; the result goes back through DWLP_MSGRESULT.
  LRESULT OnNotify(const NMHDR& header);

  uint16_t templateId_;
  std::u16string title_;
  PROPSHEETPAGEW sheetPage_{};
  HWND window_ = nullptr;
};

class CWelcomePage : public CInstallerDlgPage {
 public:
  explicit CWelcomePage(CInstallerDlg& wizard);
  void SetText(const std::u16string& text);

 protected:
  void OnInitDialog() override;
};

class CDestinationPage : public CInstallerDlgPage {
 public:
  explicit CDestinationPage(CInstallerDlg& wizard);
  std::u16string Field() const;
  void SetField(const std::u16string& text);

 protected:
  void OnInitDialog() override;
  void DoDataExchange(bool save) override;
  bool OnCommand(int id, int code) override;
};

class CProgressPage : public CInstallerDlgPage {
 public:
  explicit CProgressPage(CInstallerDlg& wizard);

 protected:
  void OnInitDialog() override;
  void DoDataExchange(bool save) override;
};

class CCancelPage : public CInstallerDlgPage {
 public:
  explicit CCancelPage(CInstallerDlg& wizard);

 protected:
  void OnInitDialog() override;
};

class CErrorPage : public CInstallerDlgPage {
 public:
  explicit CErrorPage(CInstallerDlg& wizard);

 protected:
  void OnInitDialog() override;
};

class CSuccessPage : public CInstallerDlgPage {
 public:
  explicit CSuccessPage(CInstallerDlg& wizard);
  bool Checked() const;

 protected:
  void OnInitDialog() override;
  void DoDataExchange(bool save) override;
};

}  // namespace setup
