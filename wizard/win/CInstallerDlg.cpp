#include "wizard/win/CInstallerDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include "platform/Text.h"
#include "wizard/win/CChooseDirDialog.h"
#include "wizard/win/ResourceIds.h"
#include "wizard/win/ResourceLookup.h"
#include "wizard/win/WinText.h"

namespace setup {
namespace {

// Posted to the sheet: select a page once the notification in hand is over,
// and set the buttons once the sheet has finished its own page change.
constexpr UINT kMsgSelectPage = WM_APP + 1;
constexpr UINT kMsgApplyButtons = WM_APP + 2;
constexpr UINT_PTR kPollTimer = 0;      // 500 ms while a run goes on
constexpr UINT_PTR kAdvanceTimer = 1;   // 2 000 ms on a silent run's welcome page
constexpr UINT kPollPeriod = 500;
constexpr UINT kAdvancePeriod = 2000;
constexpr UINT_PTR kSubclassId = 1;

// A message box is as wide as its text, and a short text leaves the caption
// cut off: the box is widened until the caption fits, its buttons kept in
// the middle.
HHOOK g_boxHook = nullptr;

void FitCaption(HWND box) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return;
  wchar_t title[256] = {};
  const int length = GetWindowTextW(box, title, 256);
  HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
  HDC dc = GetDC(box);
  HGDIOBJ previous = SelectObject(dc, font);
  SIZE text{};
  GetTextExtentPoint32W(dc, title, length, &text);
  SelectObject(dc, previous);
  ReleaseDC(box, dc);
  DeleteObject(font);
  const int needed = text.cx + metrics.iCaptionWidth + 4 * GetSystemMetrics(SM_CXFRAME) + 24;
  RECT r{};
  GetWindowRect(box, &r);
  const int grow = needed - (r.right - r.left);
  if (grow <= 0) return;
  SetWindowPos(box, nullptr, r.left - grow / 2, r.top, needed, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    if (_wcsicmp(name, L"Button") != 0) continue;
    RECT c{};
    GetWindowRect(child, &c);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&c), 2);
    SetWindowPos(child, nullptr, c.left + grow / 2, c.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

LRESULT CALLBACK WatchForBox(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND window = reinterpret_cast<HWND>(wParam);
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (wcscmp(name, L"#32770") == 0 && g_boxHook) {
      UnhookWindowsHookEx(g_boxHook);
      g_boxHook = nullptr;
      FitCaption(window);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

CInstallerDlg::CInstallerDlg(SetupContext& context, uint16_t language, WindowTrace& trace)
    : context_(context), trace_(trace), pageSet_(PageSetFor(WizardStyle::PropertySheet, context.silent)) {
  HINSTANCE module = GetModuleHandleW(nullptr);
  // A language with texts but no pages of its own is laid out in English.
  language = res::ResourceLanguage(language, module);
  const std::u16string title = CatalogueText(res::kStringTitleInstaller);
  for (const WizardPage page : pageSet_) {
    std::unique_ptr<CInstallerDlgPage> made;
    switch (page) {
      case WizardPage::Welcome: made = std::make_unique<CWelcomePage>(*this); break;
      case WizardPage::Destination: made = std::make_unique<CDestinationPage>(*this); break;
      case WizardPage::Progress: made = std::make_unique<CProgressPage>(*this); break;
      case WizardPage::Cancel: made = std::make_unique<CCancelPage>(*this); break;
      case WizardPage::Error: made = std::make_unique<CErrorPage>(*this); break;
      case WizardPage::Success: made = std::make_unique<CSuccessPage>(*this); break;
    }
    SetLastError(0);
    if (!made->Construct(module, language, title)) {
      constructionError_ = GetLastError() ? GetLastError() : ERROR_RESOURCE_NAME_NOT_FOUND;
      return;
    }
    pages_.push_back(std::move(made));
  }
  welcome_ = static_cast<CWelcomePage*>(PageAt(PositionOf(WizardPage::Welcome)));
  destination_ = static_cast<CDestinationPage*>(PageAt(PositionOf(WizardPage::Destination)));
  progress_ = static_cast<CProgressPage*>(PageAt(PositionOf(WizardPage::Progress)));
  icon_ = LoadIconW(module, MAKEINTRESOURCEW(res::kIconMain));
}

CInstallerDlg::~CInstallerDlg() = default;

int CInstallerDlg::PositionOf(WizardPage page) const {
  for (size_t i = 0; i < pageSet_.size(); ++i) {
    if (pageSet_[i] == page) return static_cast<int>(i);
  }
  return -1;
}

CInstallerDlgPage* CInstallerDlg::PageAt(int position) const {
  return position >= 0 && position < static_cast<int>(pages_.size()) ? pages_[position].get() : nullptr;
}

int CInstallerDlg::ActivePosition() const {
  if (!sheet_) return -1;
  HWND page = PropSheet_GetCurrentPageHwnd(sheet_);
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (page && pages_[i]->Window() == page) return static_cast<int>(i);
  }
  return -1;
}

void CInstallerDlg::Run(const EngineSettings& settings) {
  flow_ = std::make_unique<WizardFlow>(context_, *this, settings, WizardStyle::PropertySheet);
  std::vector<PROPSHEETPAGEW> records;
  for (const auto& page : pages_) records.push_back(page->SheetPage());
  PROPSHEETHEADERW header{};
  header.dwSize = sizeof header;
  // The title bar shows the pages' titles; the sheet's own caption is never seen.
  header.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_HASHELP | PSH_NOAPPLYNOW;
  header.hwndParent = nullptr;
  header.hInstance = GetModuleHandleW(nullptr);
  header.pszCaption = L"Caption";
  header.nPages = static_cast<UINT>(records.size());
  header.nStartPage = 0;
  header.ppsp = records.data();
  PropertySheetW(&header);
  sheet_ = nullptr;
  // A run still going (the sheet closed under it) is cancelled and waited for.
  flow_.reset();
}

void CInstallerDlg::OnPageCreated(CInstallerDlgPage& page) {
  if (!sheet_) OnSheetInit(GetParent(page.Window()));
}

void CInstallerDlg::OnSheetInit(HWND sheet) {
  sheet_ = sheet;
  SetWindowSubclass(sheet_, SheetProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  SetDlgItemTextW(sheet_, res::kWizardBack, Wide(CatalogueText(res::kStringWizardBack)));
  SetDlgItemTextW(sheet_, res::kWizardNext, Wide(CatalogueText(res::kStringWizardNext)));
  SetDlgItemTextW(sheet_, res::kWizardCancel, Wide(CatalogueText(res::kStringWizardCancel)));
  EnableWindow(GetDlgItem(sheet_, res::kWizardHelp), FALSE);
  if (icon_) {
    SendMessageW(sheet_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(sheet_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  }
  context_.progressPercent = 0;
  flow_->Start();
}

LRESULT CALLBACK CInstallerDlg::SheetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
  auto* wizard = reinterpret_cast<CInstallerDlg*>(self);
  switch (message) {
    case WM_TIMER:
      if (wParam == kPollTimer || wParam == kAdvanceTimer) {
        wizard->OnTimer(wParam);
        return 0;
      }
      break;
    case kMsgSelectPage:
      if (static_cast<int>(wParam) != wizard->ActivePosition()) {
        PropSheet_SetCurSel(window, nullptr, static_cast<int>(wParam));
      }
      return 0;
    case kMsgApplyButtons:
      if (!wizard->placed_) {
        // Once the sheet has its final size: in the middle of the screen,
        // where the eye looks for a window that appeared by itself.
        wizard->placed_ = true;
        RECT r{};
        GetWindowRect(window, &r);
        SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      }
      wizard->ApplyButtons();
      return 0;
    case WM_NCDESTROY:
      RemoveWindowSubclass(window, SheetProc, kSubclassId);
      KillTimer(window, kPollTimer);
      KillTimer(window, kAdvanceTimer);
      wizard->sheet_ = nullptr;
      break;
    default:
      break;
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

void CInstallerDlg::OnTimer(UINT_PTR id) {
  if (!flow_) return;
  flow_->Tick();
  if (id == kAdvanceTimer && (flow_->CurrentPage() != WizardPage::Welcome || flow_->Closed())) {
    KillTimer(sheet_, kAdvanceTimer);
  }
}

void CInstallerDlg::OnSetActive(CInstallerDlgPage& page) {
  int position = -1;
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i].get() == &page) position = static_cast<int>(i);
  }
  if (position < 0) return;
  const WizardPage shown = pageSet_[position];
  switch (shown) {
    case WizardPage::Welcome:
      if (context_.silent) SetTimer(sheet_, kAdvanceTimer, kAdvancePeriod, nullptr);
      break;
    case WizardPage::Progress:
      SetTimer(sheet_, kPollTimer, kPollPeriod, nullptr);
      break;
    case WizardPage::Cancel:
    case WizardPage::Error:
    case WizardPage::Success:
      KillTimer(sheet_, kPollTimer);
      break;
    case WizardPage::Destination:
      break;
  }
  // Now and once more after the sheet has finished its own page change.
  ApplyButtons();
  PostMessageW(sheet_, kMsgApplyButtons, 0, 0);
  trace_.Event("page", Utf8ToUtf16(PageName(shown)));
}

void CInstallerDlg::ApplyButtons() {
  if (!sheet_) return;
  const int position = ActivePosition();
  if (position < 0) return;
  const ButtonStates buttons = ButtonsFor(pageSet_[position], context_.silent);
  HWND back = GetDlgItem(sheet_, res::kWizardBack), next = GetDlgItem(sheet_, res::kWizardNext),
       finish = GetDlgItem(sheet_, res::kWizardFinish), cancel = GetDlgItem(sheet_, res::kWizardCancel);
  HWND target = nullptr;
  if (buttons.nextIsFinish) {
    // Finish stands in place of Back and Next.
    SendMessageW(sheet_, PSM_SETFINISHTEXTW, 0, reinterpret_cast<LPARAM>(Wide(CatalogueText(res::kStringWizardFinish))));
    EnableWindow(cancel, FALSE);
    target = finish;
  } else if (!buttons.backVisible && !buttons.nextVisible) {
    for (HWND button : {back, next, finish}) ShowWindow(button, SW_HIDE);
    target = cancel;
  } else {
    SendMessageW(sheet_, PSM_SETWIZBUTTONS, 0,
                 (buttons.backSensitive ? PSWIZB_BACK : 0) | (buttons.nextSensitive ? PSWIZB_NEXT : 0));
    target = buttons.nextSensitive ? next : cancel;
  }
  EnableWindow(GetDlgItem(sheet_, res::kWizardHelp), FALSE);
  // A disabled or hidden button that kept the focus would take Enter and
  // Escape with it.
  HWND focus = GetFocus();
  if (!focus || !IsWindowEnabled(focus) || !IsWindowVisible(focus) || GetAncestor(focus, GA_ROOT) != sheet_) {
    SendMessageW(sheet_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
  }
}

template <typename Handler>
LRESULT CInstallerDlg::Navigate(Handler handler) {
  navigating_ = true;
  navigationTarget_ = -1;
  handler();
  navigating_ = false;
  CInstallerDlgPage* target = PageAt(navigationTarget_);
  if (!target || navigationTarget_ == ActivePosition()) return -1;
  return target->SelectionResult();
}

LRESULT CInstallerDlg::OnWizardBack() {
  return Navigate([this] { flow_->Back(); });
}

LRESULT CInstallerDlg::OnWizardNext() {
  return Navigate([this] { flow_->Next(); });
}

bool CInstallerDlg::OnWizardFinish() {
  inFinish_ = true;
  flow_->Next();
  inFinish_ = false;
  return closing_;
}

bool CInstallerDlg::OnQueryCancel() {
  if (closing_) return true;
  flow_->Cancel(CancelSource::CancelButton);
  return closing_;
}

void CInstallerDlg::OnDestinationEdited(const std::u16string& text) {
  if (flow_) flow_->DestinationEdited(text);
}

void CInstallerDlg::ChooseDirectory() {
  destination_->UpdateData(true);
  CChooseDirDialog chooser(context_.templateDirectory);
  chooser_ = &chooser;
  trace_.Event("chooser", context_.templateDirectory);
  const bool chosen = chooser.DoModal(GetModuleHandleW(nullptr), sheet_);
  chooser_ = nullptr;
  // A folder whose path did not fit leaves the field as it was.
  if (!chosen || chooser.ChosenPath().empty() || closing_) return;
  destination_->SetField(chooser.ChosenPath());
  destination_->UpdateData(true);
}

// ---- FrontEnd and WizardView ---------------------------------------------

bool CInstallerDlg::ShowMessage(MessageKind kind, const std::u16string& text) {
  UINT type = MB_OK;
  const char* name = "message.plain";
  if (kind == MessageKind::Error) {
    type = MB_OK | MB_ICONERROR;
    name = "message.error";
  } else if (kind == MessageKind::Question) {
    type = MB_YESNO | MB_ICONQUESTION;
    name = "message.question";
  }
  // Before the sheet exists (a failed preparation) the box has no owner to
  // bring it forward.
  if (!sheet_) type |= MB_SETFOREGROUND;
  trace_.Event(name, text);
  const bool outer = messageOpen_;
  const MessageKind outerKind = openKind_;
  messageOpen_ = true;
  openKind_ = kind;
  if (!g_boxHook) g_boxHook = SetWindowsHookExW(WH_CBT, WatchForBox, nullptr, GetCurrentThreadId());
  const int answer = MessageBoxW(sheet_, Wide(text), Wide(context_.applicationTitle), type);
  if (g_boxHook) {
    UnhookWindowsHookEx(g_boxHook);
    g_boxHook = nullptr;
  }
  messageOpen_ = outer;
  openKind_ = outerKind;
  trace_.Event("answer", answer == IDYES ? u"yes" : answer == IDNO ? u"no" : answer == IDOK ? u"ok" : u"none");
  // Only Yes is consent; closing the box counts as No.
  return answer == IDYES;
}

void CInstallerDlg::DismissMessage() {
  if (!messageOpen_) return;
  struct Search {
    HWND sheet;
    HWND found;
  } search{sheet_, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM data) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(data);
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (window != s.sheet && IsWindowVisible(window) && wcscmp(name, L"#32770") == 0) {
          s.found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  if (search.found) PostMessageW(search.found, WM_COMMAND, openKind_ == MessageKind::Question ? IDNO : IDOK, 0);
}

void CInstallerDlg::ShowPage(WizardPage page) {
  // The success page offers the description only when it is there; the
  // cancel and error pages never do.
  if (page == WizardPage::Success) openDescription_ = flow_ && flow_->DescriptionOffered();
  if (page == WizardPage::Cancel || page == WizardPage::Error) openDescription_ = false;
  const int position = PositionOf(page);
  if (position < 0) return;
  if (navigating_) {
    navigationTarget_ = position;
    return;
  }
  if (sheet_) PostMessageW(sheet_, kMsgSelectPage, static_cast<WPARAM>(position), 0);
}

void CInstallerDlg::ShowProgress(uint32_t percentage, const std::u16string& label) {
  progressPercent_ = percentage;
  progressLabel_ = label;
  if (progress_) progress_->UpdateData(false);
}

void CInstallerDlg::OpenFile(const std::u16string& path) {
  trace_.Event("open", path);
  // Whether anything opens is not reported.
  ShellExecuteW(nullptr, nullptr, Wide(path), nullptr, nullptr, SW_SHOWNORMAL);
}

void CInstallerDlg::Close() {
  closing_ = true;
  if (chooser_) chooser_->EndCancelled();
  // Finish closes the sheet by itself; anything else presses its Cancel,
  // which the cancel query now lets through.
  if (inFinish_ || !sheet_) return;
  PostMessageW(sheet_, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
}

void CInstallerDlg::SetWelcomeText(const std::u16string& text) {
  welcomeText_ = text;
  if (welcome_) welcome_->SetText(text);
}

std::u16string CInstallerDlg::DestinationText() {
  return destination_ && destination_->Window() ? destination_->Field() : context_.templateDirectory;
}

void CInstallerDlg::SetDestinationText(const std::u16string& text) {
  if (destination_) destination_->SetField(text);
}

bool CInstallerDlg::OpenDescriptionChecked() { return openDescription_; }

}  // namespace setup
