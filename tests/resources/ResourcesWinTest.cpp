// The Windows program's resources, read back from this test program, which
// links the same resource objects as setup.exe: every dialog template in every
// language with its exact layout, the string tables against the catalogue,
// the side picture, the icon and the manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "i18n/Catalogue.h"
#include "wizard/win/ResourceIds.h"
#include "wizard/win/ResourceLookup.h"

namespace setup::res {
namespace {

constexpr uint16_t kPortugueseBrazil = 1046;

// A DLGTEMPLATEEX taken apart. Texts and classes given by number come back
// as "#N"; the predefined control classes by their names.
struct Item {
  uint32_t id = 0;
  std::u16string windowClass;
  std::u16string text;
  int x = 0, y = 0, width = 0, height = 0;
  uint32_t style = 0, exStyle = 0, helpId = 0;
};
struct Template {
  uint16_t version = 0, signature = 0;
  uint32_t style = 0, exStyle = 0;
  int x = 0, y = 0, width = 0, height = 0;
  std::u16string menu, windowClass, caption, font;
  uint16_t points = 0, weight = 0;
  uint8_t italic = 0, charset = 0;
  std::vector<Item> items;
};

class Reader {
 public:
  Reader(const void* data, size_t size) : base_(static_cast<const uint8_t*>(data)), size_(size) {}
  template <typename T>
  T Get() {
    T value{};
    if (at_ + sizeof value > size_) {
      ADD_FAILURE() << "template ends at " << at_;
      at_ = size_;
      return value;
    }
    std::memcpy(&value, base_ + at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  // sz_Or_Ord: 0 for none, 0xFFFF and a number, or a terminated string.
  std::u16string NameOrNumber() {
    const auto first = Get<char16_t>();
    if (first == 0xFFFF) return u"#" + Number(Get<uint16_t>());
    std::u16string text;
    for (char16_t c = first; c != 0 && at_ < size_; c = Get<char16_t>()) text += c;
    return text;
  }
  void AlignTo(size_t bytes) { at_ = (at_ + bytes - 1) / bytes * bytes; }
  size_t Offset() const { return at_; }

  static std::u16string Number(unsigned value) {
    std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
  }

 private:
  const uint8_t* base_;
  size_t size_;
  size_t at_ = 0;
};

std::u16string ClassName(std::u16string name) {
  if (name == u"#128") return u"BUTTON";
  if (name == u"#129") return u"EDIT";
  if (name == u"#130") return u"STATIC";
  for (char16_t& c : name) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
  return name;
}

Template Parse(const DialogResource& resource) {
  Reader r(resource.dialog, resource.size);
  Template t;
  t.version = r.Get<uint16_t>();
  t.signature = r.Get<uint16_t>();
  r.Get<uint32_t>();  // help id
  t.exStyle = r.Get<uint32_t>();
  t.style = r.Get<uint32_t>();
  const auto count = r.Get<uint16_t>();
  t.x = r.Get<int16_t>();
  t.y = r.Get<int16_t>();
  t.width = r.Get<int16_t>();
  t.height = r.Get<int16_t>();
  t.menu = r.NameOrNumber();
  t.windowClass = r.NameOrNumber();
  t.caption = r.NameOrNumber();
  if (t.style & DS_SETFONT) {
    t.points = r.Get<uint16_t>();
    t.weight = r.Get<uint16_t>();
    t.italic = r.Get<uint8_t>();
    t.charset = r.Get<uint8_t>();
    t.font = r.NameOrNumber();
  }
  for (unsigned i = 0; i < count; ++i) {
    r.AlignTo(4);
    Item item;
    item.helpId = r.Get<uint32_t>();
    item.exStyle = r.Get<uint32_t>();
    item.style = r.Get<uint32_t>();
    item.x = r.Get<int16_t>();
    item.y = r.Get<int16_t>();
    item.width = r.Get<int16_t>();
    item.height = r.Get<int16_t>();
    item.id = r.Get<uint32_t>();
    item.windowClass = ClassName(r.NameOrNumber());
    item.text = r.NameOrNumber();
    const auto extra = r.Get<uint16_t>();
    for (unsigned b = 0; b < extra; ++b) r.Get<uint8_t>();
    t.items.push_back(item);
  }
  EXPECT_LE(r.Offset(), resource.size);
  return t;
}

// The layout the wizard is drawn with, control by control in tab order.
struct Control {
  int id;
  const char16_t* windowClass;
  int x, y, width, height;
  uint32_t style;
  const char* text;  // a catalogue identifier, "..." as it stands, "#103", or ""
};
struct Layout {
  uint16_t id;
  int width, height;
  uint32_t style;
  const char16_t* font;
  std::vector<Control> controls;
};

const std::vector<Layout>& Layouts() {
  static const std::vector<Layout> layouts = {
      {kTemplateWelcome, 315, 176, 0x40000048, u"MS Shell Dlg",
       {{kControlWelcomeText, u"STATIC", 115, 0, 193, 169, 0x50020000, "IDS_WELCOME_TITLE"},
        {kControlUnnamed, u"STATIC", 0, 0, 105, 176, 0x50000A0E, "#103"}}},
      {kTemplateDestination, 315, 176, 0x40000048, u"MS Shell Dlg",
       {{kControlDestinationPrompt, u"STATIC", 115, 0, 200, 30, 0x50020000, "IDS_DESTINATION_PROMPT"},
        {kControlUnnamed, u"STATIC", 0, 0, 105, 176, 0x50000A0E, "#103"},
        {kControlPathField, u"EDIT", 115, 161, 178, 14, 0x50810080, ""},
        {kControlBrowseButton, u"BUTTON", 296, 161, 19, 14, 0x50010000, "..."},
        {kControlPathLabel, u"STATIC", 115, 151, 149, 8, 0x50020000, "IDS_TEMPLATE_CATALOG"}}},
      {kTemplateProgress, 315, 176, 0x40000048, u"MS Shell Dlg",
       {{kControlProgressLabel, u"STATIC", 7, 69, 301, 8, 0x50020000, "IDS_PROGRESS_START"},
        {kControlProgressBar, u"MSCTLS_PROGRESS32", 7, 80, 301, 12, 0x50000001, ""}}},
      {kTemplateCancel, 315, 176, 0x40000048, u"MS Shell Dlg",
       {{kControlCancelText, u"STATIC", 115, 0, 200, 19, 0x50020000, "IDS_CANCEL_FINISH"},
        {kControlUnnamed, u"STATIC", 0, 0, 105, 176, 0x50000A0E, "#103"}}},
      {kTemplateError, 315, 176, 0x40000048, u"MS Shell Dlg",
       {{kControlErrorText, u"STATIC", 115, 0, 200, 19, 0x50020000, "IDS_ERROR_FINISH"},
        {kControlUnnamed, u"STATIC", 0, 0, 105, 176, 0x50000A0E, "#103"}}},
      {kTemplateSuccess, 315, 176, 0x40000048, u"MS Shell Dlg",
       {{kControlSuccessText, u"STATIC", 115, 0, 200, 60, 0x50020000, "IDS_SUCCESS_FINISH"},
        {kControlUnnamed, u"STATIC", 0, 0, 105, 176, 0x50000A0E, "#103"},
        {kControlOpenDescription, u"BUTTON", 117, 68, 197, 64, 0x50010403, "IDS_SUCCESS_OPENDESCR"}}},
      {kTemplateChooseDirectory, 339, 62, 0x44000C44, u"MS Sans Serif",
       {{kControlChooserSelect, u"BUTTON", 283, 20, 50, 14, 0x50010001, "IDS_BROWSE_OK"},
        {kControlChooserCancel, u"BUTTON", 283, 38, 50, 14, 0x50010000, "IDS_BROWSE_CANCEL"},
        {kControlChooserFolderField, u"EDIT", 76, 45, 200, 12, 0x50830880, ""},
        {kControlChooserPlaceholder, u"STATIC", 0, 0, 281, 42, 0x50020000, ""},
        {kControlChooserFolderLabel, u"STATIC", 2, 45, 72, 8, 0x50020000, "IDS_BROWSE_SELDIR"}}},
  };
  return layouts;
}

std::vector<const LanguageEntry*> WindowsLanguages() {
  std::vector<const LanguageEntry*> languages;
  for (const LanguageEntry& language : SupportedLanguages()) {
    if (language.lcid != kPortugueseBrazil) languages.push_back(&language);
  }
  return languages;
}

std::u16string FromUtf8(std::string_view text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
  std::u16string wide(size_t(length), u'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()),
                      reinterpret_cast<wchar_t*>(wide.data()), length);
  return wide;
}

std::string ToUtf8(const std::u16string& text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, int(text.size()), bytes.data(), length, nullptr, nullptr);
  return bytes;
}

TEST(WindowsResources, EveryTemplateOfEveryLanguageHasTheWizardsLayout) {
  const auto languages = WindowsLanguages();
  ASSERT_EQ(languages.size(), 23u);
  for (const LanguageEntry* language : languages) {
    for (const Layout& layout : Layouts()) {
      SCOPED_TRACE(std::string(language->code) + ", template " + std::to_string(layout.id));
      const DialogResource found = FindDialogTemplate(layout.id, language->lcid);
      ASSERT_TRUE(found);
      EXPECT_EQ(found.instance, GetModuleHandleW(nullptr));
      const Template t = Parse(found);
      EXPECT_EQ(t.version, 1);
      EXPECT_EQ(t.signature, 0xFFFF);
      EXPECT_EQ(t.style, layout.style);
      EXPECT_EQ(t.exStyle, 0u);
      EXPECT_EQ(t.x, 0);
      EXPECT_EQ(t.y, 0);
      EXPECT_EQ(t.width, layout.width);
      EXPECT_EQ(t.height, layout.height);
      EXPECT_EQ(t.menu, u"");
      EXPECT_EQ(t.windowClass, u"");
      EXPECT_EQ(t.caption, u"");
      EXPECT_EQ(t.points, 8);
      EXPECT_EQ(t.weight, 0);
      EXPECT_EQ(t.italic, 0);
      EXPECT_EQ(t.charset, DEFAULT_CHARSET);
      EXPECT_EQ(t.font, layout.font);
      ASSERT_EQ(t.items.size(), layout.controls.size());
      for (size_t i = 0; i < t.items.size(); ++i) {
        const Item& item = t.items[i];
        const Control& want = layout.controls[i];
        SCOPED_TRACE("control " + std::to_string(want.id));
        // Ids are stored in 32 bits; the unnamed one is -1 in all of them.
        EXPECT_EQ(item.id, uint32_t(want.id));
        EXPECT_EQ(item.windowClass, want.windowClass);
        EXPECT_EQ(item.style, want.style);
        EXPECT_EQ(item.exStyle, 0u);
        EXPECT_EQ(item.x, want.x);
        EXPECT_EQ(item.y, want.y);
        EXPECT_EQ(item.width, want.width);
        EXPECT_EQ(item.height, want.height);
        const std::string text = want.text;
        if (text.rfind("IDS_", 0) == 0) {
          EXPECT_EQ(ToUtf8(item.text), LookUpMessageUtf8(language->number, text));
        } else {
          EXPECT_EQ(ToUtf8(item.text), text);
        }
      }
    }
  }
}

TEST(WindowsResources, TemplatesAreFoundOnlyInTheirOwnLanguage) {
  // Portuguese (Brazil) has its texts in the catalogue but no resources, and
  // a language the program does not know has none either.
  EXPECT_FALSE(FindDialogTemplate(kTemplateWelcome, kPortugueseBrazil));
  EXPECT_FALSE(FindDialogTemplate(kTemplateWelcome, 1041));
  EXPECT_FALSE(FindDialogTemplate(kTemplateWelcome, 0));
  // A number that is no template, and a module that has none.
  EXPECT_FALSE(FindDialogTemplate(130, 1033));
  EXPECT_FALSE(FindDialogTemplate(kTemplateWelcome, 1049, {GetModuleHandleW(L"kernel32.dll")}));
  // The first module that has it wins.
  const DialogResource found =
      FindDialogTemplate(kTemplateWelcome, 1049, {GetModuleHandleW(L"kernel32.dll"), GetModuleHandleW(nullptr)});
  ASSERT_TRUE(found);
  EXPECT_EQ(found.instance, GetModuleHandleW(nullptr));
  // The copies differ by language.
  EXPECT_NE(Parse(FindDialogTemplate(kTemplateSuccess, 1049)).items[0].text,
            Parse(FindDialogTemplate(kTemplateSuccess, 1033)).items[0].text);
}

TEST(WindowsResources, LanguagesWithoutResourcesAreLaidOutInEnglish) {
  for (const LanguageEntry* language : WindowsLanguages()) {
    EXPECT_EQ(ResourceLanguage(language->lcid), language->lcid) << language->code;
  }
  EXPECT_EQ(ResourceLanguage(kPortugueseBrazil), 1033);
  EXPECT_EQ(ResourceLanguage(1041), 1033);
  EXPECT_EQ(ResourceLanguage(0), 1033);
}

TEST(WindowsResources, StringTablesHoldTheCatalogueTextsOfEveryLanguage) {
  for (const LanguageEntry* language : WindowsLanguages()) {
    for (const MessageIdentifier& identifier : MessageIdentifiers()) {
      EXPECT_EQ(LoadResourceString(identifier.windowsNumber, language->lcid),
                FromUtf8(LookUpMessageUtf8(language->number, identifier.name)))
          << language->code << " " << identifier.name;
    }
  }
  // Spot checks that hold even if the catalogue and the resources were both
  // decoded wrongly: byte for byte, as the translators wrote them.
  EXPECT_EQ(LoadResourceString(kStringWizardBack, 1033), u"< Back");
  EXPECT_EQ(LoadResourceString(kStringErrorNoSpace, 1033), u"Insufficient space available in the directory Temp.");
  EXPECT_EQ(LoadResourceString(kStringMainFrame, 1049), u"Установка конфигурации");
  EXPECT_EQ(LoadResourceString(kStringAcceptCancel, 1049), u"Вы действительно хотите отменить установку?");
  EXPECT_EQ(LoadResourceString(kStringChooseDirFolder, 1049), u"&Папка:");
  EXPECT_EQ(LoadResourceString(kStringWizardBack, 1031), u"< Zurück");
  EXPECT_EQ(LoadResourceString(kStringBrowseSelDir, 1031), u"Ausgewähltes Verzeichnis:");
  EXPECT_EQ(LoadResourceString(kStringChooseDirFolder, 2052), u"文件夹(&F)：");
  EXPECT_EQ(LoadResourceString(kStringTemplateCatalog, 2052), u"模板目录：");
  EXPECT_EQ(LoadResourceString(kStringTemplateCatalog, 1036), u"Répertoire des modèles\u00A0:");
}

TEST(WindowsResources, MissingStringsAreEmpty) {
  // 122 shares a block with the texts around it, 100 and 129 lie in blocks
  // that exist, 4000 in one that does not.
  for (uint16_t number : {uint16_t(100), uint16_t(122), uint16_t(129), uint16_t(4000)}) {
    EXPECT_EQ(LoadResourceString(number, 1033), u"") << number;
  }
  EXPECT_EQ(LoadResourceString(kStringWizardBack, kPortugueseBrazil), u"");
  EXPECT_EQ(LoadResourceString(kStringWizardBack, 1041), u"");
}

const void* ResourceBytes(LPCWSTR type, uint16_t id, DWORD& size) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
  if (!found) return nullptr;
  size = SizeofResource(module, found);
  return LockResource(LoadResource(module, found));
}

TEST(WindowsResources, SidePictureIs158By286With256Colours) {
  DWORD size = 0;
  const auto* header = static_cast<const BITMAPINFOHEADER*>(ResourceBytes(RT_BITMAP, kBitmapSidePicture, size));
  ASSERT_NE(header, nullptr);
  ASSERT_GE(size, sizeof *header);
  EXPECT_EQ(header->biWidth, 158);
  EXPECT_EQ(header->biHeight, 286);  // bottom-up
  EXPECT_EQ(header->biBitCount, 8);
  EXPECT_EQ(header->biCompression, DWORD(BI_RGB));
  EXPECT_EQ(header->biClrUsed, 256u);
  // Header, 256 palette entries and rows of 160 bytes.
  EXPECT_EQ(size, sizeof *header + 256 * 4 + 160u * 286u);

  // As the static control loads it.
  HANDLE picture = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kBitmapSidePicture), IMAGE_BITMAP, 0, 0,
                              LR_CREATEDIBSECTION);
  ASSERT_NE(picture, nullptr);
  DIBSECTION dib{};
  ASSERT_EQ(GetObjectW(picture, sizeof dib, &dib), int(sizeof dib));
  EXPECT_EQ(dib.dsBm.bmWidth, 158);
  EXPECT_EQ(dib.dsBm.bmHeight, 286);
  EXPECT_EQ(dib.dsBm.bmBitsPixel, 8);
  DeleteObject(picture);
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST(WindowsResources, IconGroupHasFiveSizesInSeveralDepths) {
  DWORD size = 0;
  const auto* group = static_cast<const BYTE*>(ResourceBytes(RT_GROUP_ICON, kIconMain, size));
  ASSERT_NE(group, nullptr);
  ASSERT_GE(size, 6u);
  WORD reserved, type, count;
  std::memcpy(&reserved, group, 2);
  std::memcpy(&type, group + 2, 2);
  std::memcpy(&count, group + 4, 2);
  EXPECT_EQ(type, 1);
  ASSERT_EQ(size, 6u + count * sizeof(GroupIconEntry));
  std::map<int, std::set<int>> depths;  // size -> bits per pixel
  for (WORD i = 0; i < count; ++i) {
    GroupIconEntry entry;
    std::memcpy(&entry, group + 6 + i * sizeof entry, sizeof entry);
    const int side = entry.width == 0 ? 256 : entry.width;
    EXPECT_EQ(entry.width, entry.height);
    depths[side].insert(entry.bitCount);
    DWORD imageSize = 0;
    EXPECT_NE(ResourceBytes(RT_ICON, entry.id, imageSize), nullptr) << side;
    EXPECT_EQ(imageSize, entry.bytes) << side;
  }
  const std::map<int, std::set<int>> expected = {
      {16, {8, 32}}, {32, {8, 32}}, {40, {32}}, {48, {8, 32}}, {256, {32}}};
  EXPECT_EQ(depths, expected);

  // Each size is what the system picks when asked for it, and each decodes
  // into an icon of that size (the 256 one is a PNG).
  for (int side : {16, 32, 40, 48, 256}) {
    const int id = LookupIconIdFromDirectoryEx(const_cast<BYTE*>(group), TRUE, side, side, LR_DEFAULTCOLOR);
    ASSERT_NE(id, 0) << side;
    DWORD imageSize = 0;
    const void* image = ResourceBytes(RT_ICON, uint16_t(id), imageSize);
    ASSERT_NE(image, nullptr);
    HICON icon = CreateIconFromResourceEx(static_cast<BYTE*>(const_cast<void*>(image)), imageSize, TRUE, 0x00030000,
                                          side, side, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << side;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP mask{};
    GetObjectW(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(mask.bmWidth, side);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  // The window icon as the wizard loads it.
  HICON large = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconMain));
  EXPECT_NE(large, nullptr);
}

TEST(WindowsResources, ManifestAsksForCommonControls6PerMonitorDpiAndNoElevation) {
  DWORD size = 0;
  const auto* bytes = static_cast<const char*>(ResourceBytes(RT_MANIFEST, kManifest, size));
  ASSERT_NE(bytes, nullptr);
  const std::string manifest(bytes, size);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor<"), std::string::npos);
  EXPECT_NE(manifest.find(">true/pm<"), std::string::npos);

  // The loader read it: this program got version 6 of the common controls,
  // which lives in the side-by-side store, not beside the system's version 5.
  HMODULE controls = LoadLibraryW(L"comctl32.dll");
  ASSERT_NE(controls, nullptr);
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(controls, path, MAX_PATH), 0u);
  CharLowerW(path);
  EXPECT_NE(std::wstring(path).find(L"common-controls_6595b64144ccf1df_6."), std::wstring::npos)
      << ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(path)));
  FreeLibrary(controls);

  // And made the program aware of each monitor's DPI.
  HMODULE user = GetModuleHandleW(L"user32.dll");
  using GetContext = HANDLE(WINAPI*)();
  using GetAwareness = int(WINAPI*)(HANDLE);
  auto getContext = reinterpret_cast<GetContext>(
      reinterpret_cast<void*>(GetProcAddress(user, "GetThreadDpiAwarenessContext")));
  auto getAwareness = reinterpret_cast<GetAwareness>(
      reinterpret_cast<void*>(GetProcAddress(user, "GetAwarenessFromDpiAwarenessContext")));
  ASSERT_NE(getContext, nullptr);
  ASSERT_NE(getAwareness, nullptr);
  EXPECT_EQ(getAwareness(getContext()), 2);  // DPI_AWARENESS_PER_MONITOR_AWARE
}

}  // namespace
}  // namespace setup::res
