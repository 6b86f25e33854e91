#pragma once
// Numbers of the Windows program's resources: dialog templates, their
// controls, the pictures and the string table entries. The resource script is
// generated from the same numbers (wizard/win/resources/), so a change here
// must be made there as well; the resource tests check that both agree.
#include <cstdint>

namespace setup::res {

// Dialog templates, one copy per user-interface language.
inline constexpr uint16_t kTemplateWelcome = 129;
inline constexpr uint16_t kTemplateDestination = 135;
inline constexpr uint16_t kTemplateProgress = 133;
inline constexpr uint16_t kTemplateCancel = 134;
inline constexpr uint16_t kTemplateError = 131;
inline constexpr uint16_t kTemplateSuccess = 132;
// The child template of the directory chooser (common Open dialog).
inline constexpr uint16_t kTemplateChooseDirectory = 772;

// The six page templates in the order of the normal page set.
inline constexpr uint16_t kPageTemplates[] = {kTemplateWelcome, kTemplateDestination, kTemplateProgress,
                                              kTemplateCancel,  kTemplateError,       kTemplateSuccess};

// Pictures.
inline constexpr uint16_t kBitmapSidePicture = 103;  // 158 x 286, 8 bits per pixel
inline constexpr uint16_t kIconMain = 128;           // icon group: 16, 32, 40, 48, 256 px
// The application manifest (RT_MANIFEST, the id a program's loader reads).
inline constexpr uint16_t kManifest = 1;

// Controls of the page templates.
inline constexpr int kControlUnnamed = -1;             // the side picture of every page but progress
inline constexpr int kControlWelcomeText = 1005;       // 129
inline constexpr int kControlDestinationPrompt = 1009; // 135
inline constexpr int kControlPathField = 1001;         // 135, EDIT
inline constexpr int kControlBrowseButton = 1002;      // 135, "..."
inline constexpr int kControlPathLabel = 1010;         // 135, shows IDS_TEMPLATE_CATALOG
inline constexpr int kControlProgressLabel = 0xFFFF;   // 133
inline constexpr int kControlProgressBar = 1003;       // 133, msctls_progress32
inline constexpr int kControlCancelText = 1008;        // 134
inline constexpr int kControlErrorText = 1007;         // 131
inline constexpr int kControlSuccessText = 1006;       // 132
inline constexpr int kControlOpenDescription = 1004;   // 132, check box

// Controls of the chooser template 772.
inline constexpr int kControlChooserSelect = 4206;       // default push button
inline constexpr int kControlChooserCancel = 2;          // IDCANCEL
inline constexpr int kControlChooserFolderField = 4203;  // read-only EDIT
inline constexpr int kControlChooserPlaceholder = 1119;  // where the common dialog's own controls go
inline constexpr int kControlChooserFolderLabel = 4204;  // shows IDS_BROWSE_SELDIR

// Controls of the common Open dialog around the chooser template.
inline constexpr int kCommonFileNameBox = 1148;
inline constexpr int kCommonFileNameLabel = 1090;
inline constexpr int kCommonFileTypeLabel = 1089;
inline constexpr int kCommonFileTypeBox = 1136;
inline constexpr int kCommonReadOnlyCheck = 1040;
inline constexpr int kCommonOk = 1;
inline constexpr int kCommonCancel = 2;
inline constexpr int kCommonHelp = 1038;
inline constexpr int kCommonLookInLabel = 1091;
inline constexpr int kCommonDirectoryList = 1121;

// Buttons of the wizard (property sheet) window.
inline constexpr int kWizardBack = 0x3023;
inline constexpr int kWizardNext = 0x3024;
inline constexpr int kWizardFinish = 0x3025;
inline constexpr int kWizardCancel = 2;
inline constexpr int kWizardHelp = 9;

// String table numbers, one table per language. i18n/tables/ids.txt is the
// source the resource script is written from.
inline constexpr uint16_t kStringWizardBack = 102;
inline constexpr uint16_t kStringWizardNext = 103;
inline constexpr uint16_t kStringWizardFinish = 104;
inline constexpr uint16_t kStringWizardCancel = 105;
inline constexpr uint16_t kStringAcceptCancel = 106;
inline constexpr uint16_t kStringTitleInstaller = 107;
inline constexpr uint16_t kStringPrepareCopy = 108;
inline constexpr uint16_t kStringInstallError = 109;
inline constexpr uint16_t kStringErrorNoSource = 110;
inline constexpr uint16_t kStringErrorNoTarget = 111;
inline constexpr uint16_t kStringSetupEmptyTarget = 112;
inline constexpr uint16_t kStringInstallFinish = 113;
inline constexpr uint16_t kStringErrorDamagedSource = 114;
inline constexpr uint16_t kStringDefProduct = 115;
inline constexpr uint16_t kStringDefProvider = 116;
inline constexpr uint16_t kStringSuccessFinish = 117;
inline constexpr uint16_t kStringSuccessOpenDescr = 118;
inline constexpr uint16_t kStringProgressStart = 119;
inline constexpr uint16_t kStringErrorFinish = 120;
inline constexpr uint16_t kStringCancelFinish = 121;
inline constexpr uint16_t kStringBrowseSelDir = 123;
inline constexpr uint16_t kStringBrowseOk = 124;
inline constexpr uint16_t kStringBrowseCancel = 125;
inline constexpr uint16_t kStringMainFrame = 128;  // IDR_MAINFRAME, the window title
inline constexpr uint16_t kStringErrorNoSpace = 136;
inline constexpr uint16_t kStringTemplateCatalog = 194;
inline constexpr uint16_t kStringSetupExistedTarget = 337;
inline constexpr uint16_t kStringChooseDirFolder = 786;
inline constexpr uint16_t kStringChooseDirTitle = 787;
inline constexpr uint16_t kStringWelcomeTitle = 1005;
inline constexpr uint16_t kStringDestinationPrompt = 1009;

}  // namespace setup::res
