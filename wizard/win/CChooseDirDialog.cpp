#include "wizard/win/CChooseDirDialog.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "wizard/win/ResourceIds.h"
#include "wizard/win/WinText.h"

namespace setup {
namespace {

// A pattern no file has: the list then shows folders only.
constexpr wchar_t kNoFileMask[] = L"*.orvik_private_choose_directory_mask";
// One filter entry, then the end of the list. Its description is never
// seen (the type box is hidden) but must not be empty: an empty one ends the
// list before the entry, and the list then shows every file.
constexpr wchar_t kFilter[] = L" \0*.orvik_private_choose_directory_mask\0";
constexpr size_t kInitialDirectoryLength = 259;
constexpr size_t kLongestInitialDirectory = 257;
constexpr int kFileNameEdit = 1152;
constexpr int kShellView = 1121;
// Posted to our part of the dialog once the dialog has placed its focus.
constexpr UINT kMsgFocusList = WM_APP + 1;

RECT ClientRectIn(HWND control, HWND parent) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace

CChooseDirDialog::CChooseDirDialog(std::u16string initialDirectory)
    : initialDirectory_(std::move(initialDirectory)) {
  if (initialDirectory_.size() > kInitialDirectoryLength) initialDirectory_.resize(kInitialDirectoryLength);
  // The dialog adds to the folder's path in buffers of MAX_PATH characters,
  // and Wine's crashes on a folder of 258 or more; such a start is taken
  // back to the folder above it that fits.
  if (initialDirectory_.size() > kLongestInitialDirectory) {
    const size_t separator = initialDirectory_.find_last_of(u"\\/", kLongestInitialDirectory);
    initialDirectory_.resize(separator == std::u16string::npos ? 0 : separator);
  }
}

bool CChooseDirDialog::DoModal(HINSTANCE module, HWND owner) {
  std::vector<wchar_t> file(MAX_PATH, L'\0');
  wcscpy(file.data(), kNoFileMask);
  OPENFILENAMEW dialog{};
  // The record of the classic dialog, without the places bar of later ones.
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
  // Owned by the wizard, which must not move on under an open chooser.
  dialog.hwndOwner = owner;
  dialog.hInstance = module;
  dialog.lpstrFilter = kFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = Wide(initialDirectory_);
  dialog.lpstrDefExt = kNoFileMask;
  dialog.Flags = OFN_EXPLORER | OFN_ENABLEHOOK | OFN_ENABLETEMPLATE | OFN_LONGNAMES;
  dialog.lpfnHook = HookProc;
  dialog.lpTemplateName = MAKEINTRESOURCEW(res::kTemplateChooseDirectory);
  dialog.lCustData = reinterpret_cast<LPARAM>(this);
  selected_ = false;
  GetOpenFileNameW(&dialog);
  window_ = nullptr;
  // Only Select chooses: whatever else ended the dialog, nothing was taken.
  return selected_;
}

void CChooseDirDialog::EndCancelled() {
  if (window_) EndDialog(CommonDialog(), IDCANCEL);
}

UINT_PTR CALLBACK CChooseDirDialog::HookProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CChooseDirDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CChooseDirDialog*>(reinterpret_cast<const OPENFILENAMEW*>(lParam)->lCustData);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
    return TRUE;
  }
  if (!self) return 0;
  switch (message) {
    case kMsgFocusList:
      if (HWND view = GetDlgItem(self->CommonDialog(), kShellView)) {
        HWND list = GetWindow(view, GW_CHILD);
        SetFocus(list ? list : view);
      }
      return 1;
    case WM_NOTIFY:
      switch (reinterpret_cast<const NMHDR*>(lParam)->code) {
        case CDN_INITDONE: self->OnInitDone(); break;
        case CDN_FOLDERCHANGE: self->OnFolderChange(); break;
        default: break;
      }
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == res::kControlChooserSelect && HIWORD(wParam) == BN_CLICKED) {
        self->OnSelect();
        return 1;
      }
      if (LOWORD(wParam) == res::kControlChooserCancel && HIWORD(wParam) == BN_CLICKED) {
        self->OnCancel();
        return 1;
      }
      return 0;
    default:
      return 0;
  }
}

void CChooseDirDialog::OnInitDone() {
  HWND common = CommonDialog();
  // The file-name box is a combo box (1148) in the system's dialog and a
  // plain edit box (1152) in older ones and Wine's.
  HWND nameBox = GetDlgItem(common, res::kCommonFileNameBox);
  if (!nameBox) nameBox = GetDlgItem(common, kFileNameEdit);
  const RECT nameRect = ClientRectIn(nameBox, window_);
  ShowWindow(nameBox, SW_HIDE);
  for (int id : {res::kCommonFileNameLabel, res::kCommonFileTypeLabel, res::kCommonFileTypeBox,
                 res::kCommonReadOnlyCheck, res::kCommonOk, res::kCommonCancel, res::kCommonHelp}) {
    ShowWindow(GetDlgItem(common, id), SW_HIDE);
  }
  SetDlgItemTextW(common, res::kCommonLookInLabel, Wide(CatalogueText(res::kStringChooseDirFolder)));

  // Our controls move up to where the file-name box was.
  HWND placeholder = GetDlgItem(window_, res::kControlChooserPlaceholder);
  const RECT placeholderRect = ClientRectIn(placeholder, window_);
  SetWindowPos(placeholder, nullptr, 0, 0, placeholderRect.right - placeholderRect.left,
               nameRect.top - placeholderRect.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  HWND label = GetDlgItem(window_, res::kControlChooserFolderLabel);
  const RECT labelRect = ClientRectIn(label, window_);
  const LONG labelHeight = labelRect.bottom - labelRect.top;
  SetWindowPos(label, nullptr, labelRect.left, nameRect.top + labelHeight / 3, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  HWND field = GetDlgItem(window_, res::kControlChooserFolderField);
  const RECT fieldRect = ClientRectIn(field, window_);
  SetWindowPos(field, nullptr, fieldRect.left, nameRect.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  // The dialog ends 10 pixels below the field and stands in the middle of
  // the screen.
  RECT fieldOnScreen{}, dialogRect{};
  GetWindowRect(field, &fieldOnScreen);
  GetWindowRect(common, &dialogRect);
  const int width = dialogRect.right - dialogRect.left;
  const int height = fieldOnScreen.bottom + 10 - dialogRect.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  SetWindowPos(common, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);

  // The focus would stay in the hidden file-name box, where typing shows nothing.
  PostMessageW(window_, kMsgFocusList, 0, 0);

  SetDlgItemTextW(window_, res::kControlChooserFolderLabel, Wide(CatalogueText(res::kStringBrowseSelDir)));
  SetDlgItemTextW(window_, res::kControlChooserSelect, Wide(CatalogueText(res::kStringBrowseOk)));
  SetDlgItemTextW(window_, res::kControlChooserCancel, Wide(CatalogueText(res::kStringBrowseCancel)));
  FitLabel();
}

void CChooseDirDialog::FitLabel() {
  // A label longer than its place (German, say) pushes the field's left edge
  // to the right instead of being cut off.
  HWND label = GetDlgItem(window_, res::kControlChooserFolderLabel);
  HWND field = GetDlgItem(window_, res::kControlChooserFolderField);
  wchar_t text[256] = {};
  const int length = GetWindowTextW(label, text, 256);
  HDC dc = GetDC(label);
  HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
  RECT need{};
  DrawTextW(dc, text, length, &need, DT_CALCRECT | DT_SINGLELINE);
  SelectObject(dc, previous);
  ReleaseDC(label, dc);
  const RECT labelRect = ClientRectIn(label, window_);
  const RECT fieldRect = ClientRectIn(field, window_);
  const LONG width = need.right - need.left + 2;
  if (width <= labelRect.right - labelRect.left) return;
  SetWindowPos(label, nullptr, 0, 0, width, labelRect.bottom - labelRect.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  const LONG left = std::min<LONG>(labelRect.left + width + 4, fieldRect.right - 40);
  SetWindowPos(field, nullptr, left, fieldRect.top, fieldRect.right - left, fieldRect.bottom - fieldRect.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void CChooseDirDialog::OnFolderChange() {
  wchar_t folder[MAX_PATH] = {};
  const LRESULT length = SendMessageW(CommonDialog(), CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(folder));
  // A folder whose path does not fit shows nothing rather than a piece of it.
  chosenPath_ = length > 0 && length <= MAX_PATH ? FromWide(folder) : std::u16string();
  DoDataExchange(false);
}

void CChooseDirDialog::OnSelect() {
  DoDataExchange(true);
  selected_ = true;
  EndDialog(CommonDialog(), IDOK);
}

void CChooseDirDialog::OnCancel() { EndDialog(CommonDialog(), IDCANCEL); }

void CChooseDirDialog::DoDataExchange(bool save) {
  HWND field = GetDlgItem(window_, res::kControlChooserFolderField);
  if (save) {
    const int length = GetWindowTextLengthW(field);
    std::u16string text(static_cast<size_t>(length) + 1, u'\0');
    const int got = GetWindowTextW(field, reinterpret_cast<wchar_t*>(text.data()), length + 1);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    chosenPath_ = text;
  } else {
    SetWindowTextW(field, Wide(chosenPath_));
  }
}

}  // namespace setup
