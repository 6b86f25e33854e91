#pragma once
// The directory chooser: the common Open dialog in its Explorer-style form,
// with a hook and our child template 772. A filter that matches no file
// leaves only folders in the list; the file-name and file-type boxes and the
// dialog's own buttons are hidden; a read-only field follows the folder the
// user navigates to, and Select takes the folder shown there.
#include <windows.h>

#include <string>

namespace setup {

class CChooseDirDialog {
 public:
  // Opens in `initialDirectory` (at most its first 259 characters).
  explicit CChooseDirDialog(std::u16string initialDirectory);
  CChooseDirDialog(const CChooseDirDialog&) = delete;
  CChooseDirDialog& operator=(const CChooseDirDialog&) = delete;

  // True when the user pressed Select; ChosenPath then holds the folder.
  // The owner stays disabled while the dialog is up.
  bool DoModal(HINSTANCE module, HWND owner);
  const std::u16string& ChosenPath() const { return chosenPath_; }
  // Ends the dialog as if cancelled (the wizard is closing).
  void EndCancelled();

 private:
  static UINT_PTR CALLBACK HookProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDone();
  void FitLabel();
  void OnFolderChange();
  void OnSelect();
  void OnCancel();
  // Field 4203 <-> the chosen path.
  void DoDataExchange(bool save);
  HWND CommonDialog() const { return GetParent(window_); }

  std::u16string initialDirectory_;
  std::u16string chosenPath_;
  HWND window_ = nullptr;  // our child template inside the common dialog
  bool selected_ = false;
};

}  // namespace setup
