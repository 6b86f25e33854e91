#include "wizard/gtk/InstallerWindow.h"

#include <gdk/gdkkeysyms.h>

#include <algorithm>
#include <cstdlib>

#include "i18n/Catalogue.h"
#include "platform/FileFinder.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "wizard/gtk/DesktopLauncher.h"
#include "wizard/gtk/GraphicalFrontEnd.h"
#include "wizard/gtk/Pictures.h"

namespace setup {
namespace {

// Every widget text goes through here: GTK takes UTF-8 whatever the locale.
std::string Utf8(const std::u16string& text) { return Utf16ToUtf8(text); }
std::string Message(const char* identifier) { return Utf8(LookUpMessage(identifier)); }

// Where the pieces of the fixed layout stand.
constexpr int kMargin = 10;
constexpr int kTextX = 170, kTextY = 10, kTextWidth = 330, kTextHeight = 250;
constexpr int kCaptionY = 255;
constexpr int kEntryY = 275, kEntryWidth = 280, kEntryHeight = 30;
constexpr int kBrowseX = 460, kBrowseSize = 30;
constexpr int kCheckY = 170;
// The check box's mark and its gap come before the label.
constexpr int kCheckLabelWidth = kWindowWidth - kTextX - kMargin - 24;
constexpr int kProgressLabelX = 10, kProgressLabelY = 130;
constexpr int kProgressBarY = 150, kProgressBarHeight = 20;
constexpr int kSeparatorY = 310;
constexpr int kButtonY = 320;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 30;
constexpr int kButtonGap = 20;  // between Next and Cancel
constexpr int kMessageBoxMinWidth = 360;

// The text of a page: wrapped, from the top left of its 330 x 250 box.
GtkWidget* WrappedLabel(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.0f);
  gtk_widget_set_size_request(label, kTextWidth, kTextHeight);
  return label;
}

// "Type:x,y,WxH" per visible widget, the size being what GtkFixed gives it
// (its request); a label adds the size its text takes ("text=WxH"), which
// shows a text too large for its box.
std::string WidgetsLayout(GtkFixed* container, const std::vector<GtkWidget*>& widgets) {
  std::string layout;
  for (GtkWidget* widget : widgets) {
    if (!gtk_widget_get_visible(widget)) continue;
    gint x = 0, y = 0;
    gtk_container_child_get(GTK_CONTAINER(container), widget, "x", &x, "y", &y, nullptr);
    GtkRequisition size{};
    gtk_widget_size_request(widget, &size);
    layout += std::string(layout.empty() ? "" : " ") + G_OBJECT_TYPE_NAME(widget) + ":" + std::to_string(x) + "," +
              std::to_string(y) + "," + std::to_string(size.width) + "x" + std::to_string(size.height);
    GtkWidget* label = GTK_IS_LABEL(widget) ? widget
                       : GTK_IS_BIN(widget) && GTK_IS_LABEL(gtk_bin_get_child(GTK_BIN(widget)))
                           ? gtk_bin_get_child(GTK_BIN(widget))
                           : nullptr;
    if (label) {
      int width = 0, height = 0;
      pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &width, &height);
      layout += ",text=" + std::to_string(width) + "x" + std::to_string(height);
    }
  }
  return layout;
}

std::string ButtonState(GtkWidget* button) {
  if (!gtk_widget_get_visible(button)) return "hidden";
  std::string state = gtk_widget_get_sensitive(button) ? "on:" : "off:";
  const char* label = gtk_button_get_label(GTK_BUTTON(button));
  return state + (label ? label : "");
}

}  // namespace

// ---- pages ----------------------------------------------------------------

void WizardDialogPage::Show() {
  for (GtkWidget* widget : widgets_) gtk_widget_show(widget);
  OnShown();
}

void WizardDialogPage::Hide() {
  for (GtkWidget* widget : widgets_) gtk_widget_hide(widget);
}

std::string WizardDialogPage::Layout() const { return WidgetsLayout(container_, widgets_); }

GtkWidget* WizardDialogPage::Put(GtkWidget* widget, int x, int y, int width, int height) {
  if (width >= 0 || height >= 0) gtk_widget_set_size_request(widget, width, height);
  gtk_fixed_put(container_, widget, x, y);
  widgets_.push_back(widget);
  return widget;
}

MessagePage::MessagePage(GtkFixed* container, GdkPixbuf* sidePicture, const std::u16string& text)
    : WizardDialogPage(container) {
  Put(gtk_image_new_from_pixbuf(sidePicture), 0, 0);
  label_ = Put(WrappedLabel(Utf8(text)), kTextX, kTextY);
}

void MessagePage::SetText(const std::u16string& text) { gtk_label_set_text(GTK_LABEL(label_), Utf8(text).c_str()); }

std::string MessagePage::Text() const { return gtk_label_get_text(GTK_LABEL(label_)); }

SuccessFinalPage::SuccessFinalPage(GtkFixed* container, GdkPixbuf* sidePicture, const std::u16string& text,
                                   const std::u16string& checkText)
    : MessagePage(container, sidePicture, text) {
  // Deliberately not at its natural width: a long language's label would run
  // past the window's right edge and be cut off there, so it wraps instead.
  check_ = gtk_check_button_new_with_label(Utf8(checkText).c_str());
  GtkWidget* checkLabel = gtk_bin_get_child(GTK_BIN(check_));
  gtk_label_set_line_wrap(GTK_LABEL(checkLabel), TRUE);
  gtk_widget_set_size_request(checkLabel, kCheckLabelWidth, -1);
  Put(check_, kTextX, kCheckY);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_), TRUE);
}

bool SuccessFinalPage::Checked() const { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check_)); }

DirSelectPage::DirSelectPage(GtkFixed* container, GdkPixbuf* sidePicture) : WizardDialogPage(container) {
  Put(gtk_image_new_from_pixbuf(sidePicture), 0, 0);
  prompt_ = Put(WrappedLabel(Message("IDS_DESTINATION_PROMPT")), kTextX, kTextY);
  caption_ = Put(gtk_label_new(Message("IDS_TEMPLATE_CATALOG").c_str()), kTextX, kCaptionY);
  entry_ = Put(gtk_entry_new(), kTextX, kEntryY, kEntryWidth, kEntryHeight);
  // Return in the field confirms it, like Next.
  gtk_entry_set_activates_default(GTK_ENTRY(entry_), TRUE);
  browse_ = Put(gtk_button_new_with_label("..."), kBrowseX, kEntryY, kBrowseSize, kBrowseSize);
}

std::u16string DirSelectPage::Text() const { return Utf8ToUtf16(gtk_entry_get_text(GTK_ENTRY(entry_))); }

void DirSelectPage::SetText(const std::u16string& text) { gtk_entry_set_text(GTK_ENTRY(entry_), Utf8(text).c_str()); }

ProgressPage::ProgressPage(GtkFixed* container) : WizardDialogPage(container) {
  label_ = Put(gtk_label_new(Message("IDS_PROGRESS_START").c_str()), kProgressLabelX, kProgressLabelY);
  bar_ = Put(gtk_progress_bar_new(), kMargin, kProgressBarY, kWindowWidth - 2 * kMargin, kProgressBarHeight);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), 0.0);
}

void ProgressPage::Update(uint32_t percentage, const std::u16string& label) {
  // Redraw only what changed: the poll runs twenty times a second.
  percentage = std::min<uint32_t>(percentage, 100);
  if (shownPercentage_ != percentage) {
    shownPercentage_ = percentage;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), percentage / 100.0);
  }
  if (label != shownLabel_) {
    shownLabel_ = label;
    gtk_label_set_text(GTK_LABEL(label_), Utf8(label).c_str());
  }
}

// ---- the window -------------------------------------------------------------

CInstallerDlg::CInstallerDlg(SetupContext& context) : context_(context) {
  // The main thread holds the GDK lock whenever it is not waiting in a loop;
  // GTK's loops release it while they wait.
  gdk_threads_enter();
  sidePicture_ = LoadSidePicture();
  icon_ = LoadWindowIcon();
  // Message boxes shown before the window exists carry the icon too.
  gtk_window_set_default_icon(icon_);
}

CInstallerDlg::~CInstallerDlg() {
  flow_.reset();  // joins a run that is still going before the widgets go
  if (timer_) g_source_remove(timer_);
  if (window_) gtk_widget_destroy(window_);
  if (sidePicture_) g_object_unref(sidePicture_);
  if (icon_) g_object_unref(icon_);
  gdk_threads_leave();
}

void CInstallerDlg::BuildWindow() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  GdkGeometry hints{};
  hints.min_width = hints.max_width = hints.base_width = kWindowWidth;
  hints.min_height = hints.max_height = hints.base_height = kWindowHeight;
  hints.win_gravity = GDK_GRAVITY_NORTH_WEST;
  gtk_window_set_geometry_hints(GTK_WINDOW(window_), window_, &hints,
                                GdkWindowHints(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE | GDK_HINT_BASE_SIZE));
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_modal(GTK_WINDOW(window_), TRUE);
  // Window managers draw no frame around a menu window: the wizard looks the
  // same on every desktop. The title still names it in task lists.
  gtk_window_set_type_hint(GTK_WINDOW(window_), GDK_WINDOW_TYPE_HINT_MENU);
  gtk_window_set_icon(GTK_WINDOW(window_), icon_);
  gtk_window_set_title(GTK_WINDOW(window_), Utf8(context_.applicationTitle).c_str());

  fixed_ = GTK_FIXED(gtk_fixed_new());
  gtk_widget_set_size_request(GTK_WIDGET(fixed_), kWindowWidth, kWindowHeight);
  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(fixed_));
  g_signal_connect(window_, "key-press-event", G_CALLBACK(OnKeyPress), this);
  // The window is only ever destroyed by this object, after its loop ended.
  g_signal_connect(window_, "delete-event", G_CALLBACK(OnDeleteEvent), this);

  GtkWidget* separator = gtk_hseparator_new();
  gtk_widget_set_size_request(separator, kWindowWidth - 2 * kMargin, 5);
  gtk_fixed_put(fixed_, separator, kMargin, kSeparatorY);
  back_ = gtk_button_new_with_label(Message("IDS_WIZARD_BACK").c_str());
  next_ = gtk_button_new_with_label(Message("IDS_WIZARD_NEXT").c_str());
  cancel_ = gtk_button_new_with_label(Message("IDS_WIZARD_CANCEL").c_str());
  for (GtkWidget* button : {back_, next_, cancel_}) gtk_fixed_put(fixed_, button, 0, kButtonY);
  gtk_widget_set_can_default(next_, TRUE);
  gtk_window_set_default(GTK_WINDOW(window_), next_);
  LayOutButtons();
  g_signal_connect(back_, "clicked", G_CALLBACK(OnBack), this);
  g_signal_connect(next_, "clicked", G_CALLBACK(OnNext), this);
  g_signal_connect(cancel_, "clicked", G_CALLBACK(OnCancel), this);

  gtk_widget_show_all(GTK_WIDGET(fixed_));
  gtk_widget_show(window_);
  trace_.Write("window " + Utf8(context_.applicationTitle));
}

void CInstallerDlg::LayOutButtons() {
  // 80 pixels each, flush with the right margin: Cancel, a gap, then Next
  // with Back against it. Deliberately wider where a language's label needs
  // more: at 80 pixels such a label would be cut off.
  auto width = [](GtkWidget* button) {
    GtkRequisition natural{};
    gtk_widget_set_size_request(button, -1, -1);
    gtk_widget_size_request(button, &natural);
    return std::max(kButtonWidth, natural.width);
  };
  const int cancelWidth = width(cancel_), nextWidth = width(next_), backWidth = width(back_);
  const int cancelX = kWindowWidth - kMargin - cancelWidth;
  const int nextX = cancelX - kButtonGap - nextWidth;
  const int backX = nextX - backWidth;
  gtk_widget_set_size_request(cancel_, cancelWidth, kButtonHeight);
  gtk_widget_set_size_request(next_, nextWidth, kButtonHeight);
  gtk_widget_set_size_request(back_, backWidth, kButtonHeight);
  gtk_fixed_move(fixed_, cancel_, cancelX, kButtonY);
  gtk_fixed_move(fixed_, next_, nextX, kButtonY);
  gtk_fixed_move(fixed_, back_, backX, kButtonY);
}

void CInstallerDlg::ApplyButtons(const ButtonStates& buttons) {
  gtk_widget_set_visible(back_, buttons.backVisible);
  gtk_widget_set_sensitive(back_, buttons.backSensitive);
  gtk_widget_set_visible(next_, buttons.nextVisible);
  gtk_widget_set_sensitive(next_, buttons.nextSensitive);
  gtk_button_set_label(GTK_BUTTON(next_), Message(buttons.nextIsFinish ? "IDS_WIZARD_FINISH" : "IDS_WIZARD_NEXT").c_str());
  gtk_widget_set_sensitive(cancel_, buttons.cancelSensitive);
  LayOutButtons();
  if (buttons.nextVisible && buttons.nextSensitive) {
    gtk_widget_grab_default(next_);
    gtk_widget_grab_focus(next_);
  } else if (buttons.cancelSensitive) {
    gtk_widget_grab_focus(cancel_);
  }
}

void CInstallerDlg::Run(const EngineSettings& settings) {
  if (!window_) BuildWindow();
  flow_ = std::make_unique<WizardFlow>(context_, *this, settings);
  // One timer for the whole life of the window: it follows a run and notices
  // termination signals; between its ticks the main thread sleeps in poll().
  timer_ = gdk_threads_add_timeout(static_cast<guint>(kPollInterval.count()), OnTick, this);
  flow_->Start();
  if (!closing_) gtk_main();
  g_source_remove(timer_);
  timer_ = 0;
  gtk_widget_destroy(window_);
  window_ = nullptr;
  gdk_flush();
}

bool CInstallerDlg::ShowMessage(MessageKind kind, const std::u16string& text) {
  const uint32_t flags = kind == MessageKind::Error      ? kMessageBoxError
                         : kind == MessageKind::Question ? kMessageBoxQuestion
                                                         : kMessageBoxPlain;
  return ShowMessage(text, flags) == kAnswerYes;
}

int CInstallerDlg::ShowMessage(const std::u16string& text, uint32_t flags) {
  const uint32_t icon = flags >> 24, buttons = flags & 0xFF;
  const GtkMessageType type = icon == 1 ? GTK_MESSAGE_ERROR : icon == 2 ? GTK_MESSAGE_QUESTION : GTK_MESSAGE_OTHER;
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type,
                                             buttons == 2 ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s",
                                             Utf8(text).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), Utf8(context_.applicationTitle).c_str());
  // Wide enough for the caption, which window managers cut short on a box
  // sized to a two-word message; a longer message still widens the box.
  GtkRequisition natural{};
  gtk_widget_size_request(dialog, &natural);
  if (natural.width < kMessageBoxMinWidth) gtk_widget_set_size_request(dialog, kMessageBoxMinWidth, natural.height);
  if (trace_.Enabled()) {
    // What the box really shows: an icon or none, and its buttons.
    const char* kindName = type == GTK_MESSAGE_ERROR ? "error" : type == GTK_MESSAGE_QUESTION ? "question" : "plain";
    GtkWidget* image = gtk_message_dialog_get_image(GTK_MESSAGE_DIALOG(dialog));
    const bool hasIcon = image && gtk_image_get_storage_type(GTK_IMAGE(image)) != GTK_IMAGE_EMPTY;
    std::string names;
    GList* children = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))));
    for (GList* child = children; child; child = child->next) {
      if (!GTK_IS_BUTTON(child->data)) continue;
      GtkStockItem item;
      const char* label = gtk_button_get_label(GTK_BUTTON(child->data));
      if (gtk_button_get_use_stock(GTK_BUTTON(child->data)) && label && gtk_stock_lookup(label, &item)) {
        label = item.label;
      }
      std::string name = label ? label : "";
      name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
      names += (names.empty() ? "" : ",") + name;
    }
    g_list_free(children);
    trace_.Write(std::string("message ") + kindName + " icon=" + (hasIcon ? "yes" : "no") + " buttons=" + names + " " +
                 Utf8(text));
  }
  const gint response = RunDialog(dialog);
  gtk_widget_destroy(dialog);
  const int answer = response == GTK_RESPONSE_YES  ? kAnswerYes
                     : response == GTK_RESPONSE_NO ? kAnswerNo
                     : response == GTK_RESPONSE_OK ? kAnswerOk
                                                   : kAnswerNone;
  static const char* const kAnswerNames[] = {"none", "yes", "no", "ok"};
  trace_.Write(std::string("answer ") + kAnswerNames[answer]);
  return answer;
}

gint CInstallerDlg::RunDialog(GtkWidget* dialog) {
  GtkWidget* outer = openDialog_;
  openDialog_ = dialog;
  // The box watches for a termination signal itself: the wizard's own timer
  // cannot, before the window exists and while the box was opened from
  // inside that timer's callback (GLib holds a source back while it runs).
  const guint watch = gdk_threads_add_timeout(static_cast<guint>(kPollInterval.count()), OnDialogWatch, dialog);
  const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  g_source_remove(watch);
  openDialog_ = outer;
  return response;
}

gboolean CInstallerDlg::OnDialogWatch(gpointer dialog) {
  if (TerminationRequested()) gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_NONE);
  return TRUE;
}

void CInstallerDlg::DismissMessage() {
  if (openDialog_) gtk_dialog_response(GTK_DIALOG(openDialog_), GTK_RESPONSE_NONE);
}

void CInstallerDlg::ShowPage(WizardPage page) {
  if (!window_) return;  // a silent run's start-up has nothing to show yet
  WizardDialogPage* next = nullptr;
  switch (page) {
    case WizardPage::Welcome:
      if (!welcomePage_) welcomePage_ = std::make_unique<MessagePage>(fixed_, sidePicture_, welcomeText_);
      next = welcomePage_.get();
      break;
    case WizardPage::Destination:
      if (!dirSelectPage_) {
        dirSelectPage_ = std::make_unique<DirSelectPage>(fixed_, sidePicture_);
        g_signal_connect(dirSelectPage_->BrowseButton(), "clicked", G_CALLBACK(OnBrowse), this);
      }
      next = dirSelectPage_.get();
      break;
    case WizardPage::Progress:
      if (!progressPage_) progressPage_ = std::make_unique<ProgressPage>(fixed_);
      next = progressPage_.get();
      break;
    case WizardPage::Success:
      if (!successPage_) {
        successPage_ = std::make_unique<SuccessFinalPage>(fixed_, sidePicture_, LookUpMessage("IDS_SUCCESS_FINISH"),
                                                          LookUpMessage("IDS_SUCCESS_OPENDESCR"));
      }
      next = successPage_.get();
      break;
    case WizardPage::Error:
      if (!errorPage_) errorPage_ = std::make_unique<MessagePage>(fixed_, sidePicture_, LookUpMessage("IDS_ERROR_FINISH"));
      next = errorPage_.get();
      break;
    case WizardPage::Cancel:
      return;  // the window's page set has none: a cancel closes it
  }
  if (currentPage_) currentPage_->Hide();
  currentPage_ = next;
  ApplyButtons(ButtonsFor(page, context_.silent));
  currentPage_->Show();
  TracePage(page);
}

void CInstallerDlg::TracePage(WizardPage page) {
  if (!trace_.Enabled()) return;
  std::string line = std::string("page ") + PageName(page) + " back=" + ButtonState(back_) + " next=" +
                     ButtonState(next_) + " cancel=" + ButtonState(cancel_);
  if (page == WizardPage::Success) {
    line += std::string(" check=") + (successPage_->Checked() ? "on" : "off");
  }
  trace_.Write(line);
  if (page == WizardPage::Welcome) trace_.Write("text " + welcomePage_->Text());
  if (page == WizardPage::Destination) trace_.Write("entry " + Utf8(dirSelectPage_->Text()));
  trace_.Write("layout " + currentPage_->Layout() + " | " + WidgetsLayout(fixed_, {back_, next_, cancel_}));
}

void CInstallerDlg::ShowProgress(uint32_t percentage, const std::u16string& label) {
  if (!progressPage_) return;
  progressPage_->Update(percentage, label);
  if (trace_.Enabled() && static_cast<int64_t>(percentage) != tracedPercentage_) {
    tracedPercentage_ = percentage;
    trace_.Write("progress " + std::to_string(percentage));
  }
}

void CInstallerDlg::OpenFile(const std::u16string& path) {
  trace_.Write("open " + Utf8(path));
  OpenWithDesktop(path);
}

void CInstallerDlg::Close() {
  closing_ = true;
  // A folder chooser still open would keep the loop from returning.
  if (openDialog_) gtk_dialog_response(GTK_DIALOG(openDialog_), GTK_RESPONSE_NONE);
  if (gtk_main_level() > 0) gtk_main_quit();
}

void CInstallerDlg::SetWelcomeText(const std::u16string& text) {
  welcomeText_ = text;
  if (welcomePage_) welcomePage_->SetText(text);
}

std::u16string CInstallerDlg::DestinationText() { return dirSelectPage_ ? dirSelectPage_->Text() : std::u16string(); }

void CInstallerDlg::SetDestinationText(const std::u16string& text) {
  if (!dirSelectPage_) {
    dirSelectPage_ = std::make_unique<DirSelectPage>(fixed_, sidePicture_);
    g_signal_connect(dirSelectPage_->BrowseButton(), "clicked", G_CALLBACK(OnBrowse), this);
    dirSelectPage_->Hide();
  }
  dirSelectPage_->SetText(text);
}

bool CInstallerDlg::OpenDescriptionChecked() { return successPage_ && successPage_->Checked(); }

void CInstallerDlg::ChooseDirectory() {
  // It opens in GTK's default folder, whatever the field holds.
  GtkWidget* chooser =
      gtk_file_chooser_dialog_new(nullptr, nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, GTK_STOCK_CANCEL,
                                  GTK_RESPONSE_CANCEL, GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  trace_.Write("chooser");
  if (RunDialog(chooser) == GTK_RESPONSE_ACCEPT) {
    // A local path in the file system's bytes; none for remote locations.
    if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
      dirSelectPage_->SetText(MultiByteToWide(name));
      trace_.Write("entry " + Utf8(dirSelectPage_->Text()));
      g_free(name);
    }
  }
  gtk_widget_destroy(chooser);
}

gboolean CInstallerDlg::OnTick(gpointer self) {
  static_cast<CInstallerDlg*>(self)->flow_->Tick();
  return TRUE;
}

void CInstallerDlg::OnBack(GtkButton*, gpointer self) { static_cast<CInstallerDlg*>(self)->flow_->Back(); }

void CInstallerDlg::OnNext(GtkButton*, gpointer self) { static_cast<CInstallerDlg*>(self)->flow_->Next(); }

void CInstallerDlg::OnCancel(GtkButton*, gpointer self) {
  static_cast<CInstallerDlg*>(self)->flow_->Cancel(CancelSource::CancelButton);
}

void CInstallerDlg::OnBrowse(GtkButton*, gpointer self) { static_cast<CInstallerDlg*>(self)->ChooseDirectory(); }

gboolean CInstallerDlg::OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer self) {
  if (event->keyval != GDK_KEY_Escape) return FALSE;
  static_cast<CInstallerDlg*>(self)->flow_->Cancel(CancelSource::EscapeKey);
  return TRUE;
}

gboolean CInstallerDlg::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
  static_cast<CInstallerDlg*>(self)->flow_->Cancel(CancelSource::CloseRequest);
  return TRUE;
}

// ---- creation -----------------------------------------------------------------

std::unique_ptr<WizardFrontEnd> CreateGraphicalFrontEnd(SetupContext& context, int& argc, char**& argv) {
  // GTK 2 draws on X only. Without a display name GTK is not even started:
  // its start-up can print warnings, and a headless run prints nothing but
  // its messages.
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return nullptr;
  // GDK's lock exists before GTK starts; the window's main thread holds it
  // except while one of GTK's loops waits.
  gdk_threads_init();
  if (!gtk_init_check(&argc, &argv)) return nullptr;
  return std::make_unique<CInstallerDlg>(context);
}

}  // namespace setup
