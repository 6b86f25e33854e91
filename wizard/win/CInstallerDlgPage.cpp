#include "wizard/win/CInstallerDlgPage.h"

#include <algorithm>

#include "wizard/win/CInstallerDlg.h"
#include "wizard/win/ResourceIds.h"
#include "wizard/win/ResourceLookup.h"
#include "wizard/win/WinText.h"

namespace setup {

CInstallerDlgPage::CInstallerDlgPage(CInstallerDlg& wizard, uint16_t templateId)
    : wizard_(wizard), templateId_(templateId) {}

bool CInstallerDlgPage::Construct(HINSTANCE module, uint16_t language, const std::u16string& title) {
  const res::DialogResource found = res::FindDialogTemplate(templateId_, language, {module});
  if (!found) return false;
  title_ = title;
  sheetPage_.dwSize = sizeof sheetPage_;
  sheetPage_.dwFlags = PSP_DLGINDIRECT | PSP_USETITLE;
  // The side picture named by the template loads from the module holding it.
  sheetPage_.hInstance = found.instance;
  sheetPage_.pResource = found.dialog;
  sheetPage_.pszTitle = Wide(title_);
  sheetPage_.pfnDlgProc = DialogProc;
  sheetPage_.lParam = reinterpret_cast<LPARAM>(this);
  return true;
}

INT_PTR CALLBACK CInstallerDlgPage::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* page = reinterpret_cast<CInstallerDlgPage*>(GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    page = reinterpret_cast<CInstallerDlgPage*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
    SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
    page->window_ = window;
    page->wizard_.OnPageCreated(*page);
    // Controls from the data first, then the page's own texts.
    page->DoDataExchange(false);
    page->OnInitDialog();
    return TRUE;
  }
  if (!page) return FALSE;
  switch (message) {
    case WM_NOTIFY: {
      const NMHDR& header = *reinterpret_cast<const NMHDR*>(lParam);
      if (header.code > PSN_FIRST || header.code < PSN_LAST) return FALSE;  // not from the sheet
      SetWindowLongPtrW(window, DWLP_MSGRESULT, page->OnNotify(header));
      return TRUE;
    }
    case WM_COMMAND:
      return page->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_NCDESTROY:
      page->window_ = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

LRESULT CInstallerDlgPage::OnNotify(const NMHDR& header) {
  switch (header.code) {
    case PSN_SETACTIVE:
      wizard_.OnSetActive(*this);
      return 0;
    case PSN_QUERYCANCEL:
      return wizard_.OnQueryCancel() ? FALSE : TRUE;
    case PSN_WIZBACK:
      return wizard_.OnWizardBack();
    case PSN_WIZNEXT:
      return wizard_.OnWizardNext();
    case PSN_WIZFINISH:
      UpdateData(true);
      return wizard_.OnWizardFinish() ? FALSE : TRUE;
    default:
      return 0;
  }
}

void CInstallerDlgPage::SetItemText(int id, const std::u16string& text) { SetDlgItemTextW(window_, id, Wide(text)); }

void CInstallerDlgPage::FitTextHeight(int id) {
  HWND item = Item(id);
  if (!item) return;
  RECT r{};
  GetWindowRect(item, &r);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
  const std::u16string text = ItemText(id);
  RECT need{0, 0, r.right - r.left, 0};
  HDC dc = GetDC(item);
  HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(item, WM_GETFONT, 0, 0)));
  DrawTextW(dc, Wide(text), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  SelectObject(dc, previous);
  ReleaseDC(item, dc);
  const LONG height = need.bottom - need.top;
  if (height <= r.bottom - r.top) return;
  RECT page{};
  GetClientRect(window_, &page);
  LONG limit = page.bottom;
  for (HWND other = GetWindow(window_, GW_CHILD); other; other = GetWindow(other, GW_HWNDNEXT)) {
    RECT o{};
    GetWindowRect(other, &o);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&o), 2);
    if (other != item && o.top >= r.bottom && o.left < r.right && o.right > r.left && o.top < limit) limit = o.top;
  }
  SetWindowPos(item, nullptr, 0, 0, r.right - r.left, std::min(height, limit - r.top),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::u16string CInstallerDlgPage::ItemText(int id) const {
  HWND item = Item(id);
  if (!item) return {};
  const int length = GetWindowTextLengthW(item);
  std::u16string text(static_cast<size_t>(length) + 1, u'\0');
  const int got = GetWindowTextW(item, reinterpret_cast<wchar_t*>(text.data()), length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

// ---- the six pages ---------------------------------------------------------

CWelcomePage::CWelcomePage(CInstallerDlg& wizard) : CInstallerDlgPage(wizard, res::kTemplateWelcome) {}

void CWelcomePage::OnInitDialog() {
  SetItemText(res::kControlWelcomeText, wizard_.WelcomeText());
  FitTextHeight(res::kControlWelcomeText);
}

void CWelcomePage::SetText(const std::u16string& text) {
  if (Window()) SetItemText(res::kControlWelcomeText, text);
}

CDestinationPage::CDestinationPage(CInstallerDlg& wizard) : CInstallerDlgPage(wizard, res::kTemplateDestination) {}

void CDestinationPage::OnInitDialog() {
  SetItemText(res::kControlDestinationPrompt, CatalogueText(res::kStringDestinationPrompt));
  SetItemText(res::kControlPathLabel, CatalogueText(res::kStringTemplateCatalog));
  FitTextHeight(res::kControlDestinationPrompt);
}

void CDestinationPage::DoDataExchange(bool save) {
  if (save) {
    wizard_.OnDestinationEdited(ItemText(res::kControlPathField));
  } else {
    SetItemText(res::kControlPathField, wizard_.Context().templateDirectory);
  }
}

bool CDestinationPage::OnCommand(int id, int code) {
  if (id == res::kControlPathField && code == EN_CHANGE) {
    UpdateData(true);  // every edit counts at once
    return true;
  }
  if (id == res::kControlBrowseButton && code == BN_CLICKED) {
    wizard_.ChooseDirectory();
    return true;
  }
  return false;
}

std::u16string CDestinationPage::Field() const { return ItemText(res::kControlPathField); }

void CDestinationPage::SetField(const std::u16string& text) {
  if (Window()) SetItemText(res::kControlPathField, text);
}

CProgressPage::CProgressPage(CInstallerDlg& wizard) : CInstallerDlgPage(wizard, res::kTemplateProgress) {}

void CProgressPage::OnInitDialog() {
  SendMessageW(Item(res::kControlProgressBar), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(Item(res::kControlProgressBar), PBM_SETPOS, 0, 0);
  // The label shows the file being written; a long path loses its middle
  // instead of running off the page.
  HWND label = Item(res::kControlProgressLabel);
  SetWindowLongPtrW(label, GWL_STYLE, GetWindowLongPtrW(label, GWL_STYLE) | SS_PATHELLIPSIS);
  SetItemText(res::kControlProgressLabel, CatalogueText(res::kStringProgressStart));
}

void CProgressPage::DoDataExchange(bool save) {
  if (save) return;
  SetItemText(res::kControlProgressLabel, wizard_.ProgressLabel());
  SendMessageW(Item(res::kControlProgressBar), PBM_SETPOS, wizard_.ProgressPercent(), 0);
}

CCancelPage::CCancelPage(CInstallerDlg& wizard) : CInstallerDlgPage(wizard, res::kTemplateCancel) {}

void CCancelPage::OnInitDialog() {
  SetItemText(res::kControlCancelText, CatalogueText(res::kStringCancelFinish));
  FitTextHeight(res::kControlCancelText);
}

CErrorPage::CErrorPage(CInstallerDlg& wizard) : CInstallerDlgPage(wizard, res::kTemplateError) {}

void CErrorPage::OnInitDialog() {
  SetItemText(res::kControlErrorText, CatalogueText(res::kStringErrorFinish));
  FitTextHeight(res::kControlErrorText);
}

CSuccessPage::CSuccessPage(CInstallerDlg& wizard) : CInstallerDlgPage(wizard, res::kTemplateSuccess) {}

void CSuccessPage::OnInitDialog() {
  if (!wizard_.OpenDescriptionFlag()) {
    EnableWindow(Item(res::kControlOpenDescription), FALSE);
    ShowWindow(Item(res::kControlOpenDescription), SW_HIDE);
  }
  SetItemText(res::kControlSuccessText, CatalogueText(res::kStringSuccessFinish));
  SetItemText(res::kControlOpenDescription, CatalogueText(res::kStringSuccessOpenDescr));
  FitTextHeight(res::kControlSuccessText);
}

void CSuccessPage::DoDataExchange(bool save) {
  if (save) {
    wizard_.SetOpenDescriptionFlag(Checked());
  } else {
    SendMessageW(Item(res::kControlOpenDescription), BM_SETCHECK,
                 wizard_.OpenDescriptionFlag() ? BST_CHECKED : BST_UNCHECKED, 0);
  }
}

bool CSuccessPage::Checked() const {
  return SendMessageW(Item(res::kControlOpenDescription), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

}  // namespace setup
