// okdpack: builds distribution kits from a directory tree and lists them.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KitPacker.h"
#include "core/KitReader.h"
#include "core/Version.h"
#include "platform/Text.h"

namespace {

const char kUsage[] =
    "Usage: okdpack [options] DIR KIT\n"
    "       okdpack --list KIT\n"
    "\n"
    "Packs the regular files below DIR into the distribution kit KIT.\n"
    "\n"
    "  --describe LANG PRODUCT VENDOR DESCRIPTION\n"
    "                 describe the package in language LANG; repeat for more\n"
    "                 languages (the multi-language layout)\n"
    "  --single PRODUCT VENDOR DESCRIPTION\n"
    "                 one description, taken as English (the single layout)\n"
    "  --separator S  separator of the stored names, '\\' (default) or '/'\n"
    "  --level N      compression level 0-9 (default 9)\n"
    "  --list KIT     print the descriptions and the file table of KIT, one\n"
    "                 tab-separated line each: description LANG PRODUCT VENDOR\n"
    "                 DESCRIPTION, and file SIZE UTC-TIME NAME\n"
    "  --help         print this text\n"
    "  --version      print the version and the commit\n"
    "  --             take every later argument as DIR or KIT\n"
    "\n"
    "Exit status: 0 done, 1 the kit could not be written or read, 2 wrong usage.\n"
    "'man okdpack' has more, and how to ship a kit.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "okdpack: %s\nTry 'okdpack --help'.\n", message.c_str());
  return 2;
}

std::string Printable(const std::u16string& text) {
  std::string out = setup::WideToMultiByte(text);
  // Keep one line per record even for texts with line breaks or tabs in them.
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return out;
}

// 100-ns ticks since 1601 as "YYYY-MM-DDThh:mm:ss.fffffffZ".
std::string IsoTime(setup::FileTime time) {
  uint64_t seconds = time / 10000000;
  unsigned fraction = unsigned(time % 10000000);
  int64_t days = int64_t(seconds / 86400) - 134774;  // days from 1601-01-01 to 1970-01-01
  unsigned secondOfDay = unsigned(seconds % 86400);
  // Civil date from a day count (proleptic Gregorian calendar).
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  unsigned dayOfEra = unsigned(days - era * 146097);
  unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t year = int64_t(yearOfEra) + era * 400;
  unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  unsigned mp = (5 * dayOfYear + 2) / 153;
  unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  unsigned month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%07uZ", static_cast<long long>(year), month, day,
                secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60, fraction);
  return text;
}

const char* Reason(setup::ErrorCode code, setup::KitFailurePlace place) {
  switch (code) {
    case setup::kErrorInvalidData: return "damaged, or not a kit";
    case setup::kErrorDiskFull: return "the temporary directory is full";
    default: break;
  }
  if (place == setup::KitFailurePlace::Image) return "the temporary directory cannot be written";
  switch (code) {
    case setup::kErrorFileNotFound: return "no such file";
    case setup::kErrorPathNotFound: return "no such directory";
    case setup::kErrorAccessDenied: return "permission denied";
    case setup::kErrorReadFault: return "read error";
    default: return "cannot read the kit";
  }
}

int List(const std::string& kit) {
  setup::KitReader reader;
  setup::ErrorCode error = reader.Read(setup::MultiByteToWide(kit));
  if (error) {
    std::fprintf(stderr, "okdpack: %s: %s (error %u)\n", kit.c_str(), Reason(error, reader.FailurePlace()),
                 unsigned(error));
    return 1;
  }
  for (const setup::KitDescription& d : reader.Descriptions()) {
    std::printf("description\t%s\t%s\t%s\t%s\n", Printable(d.language).c_str(), Printable(d.product).c_str(),
                Printable(d.vendor).c_str(), Printable(d.description).c_str());
  }
  for (const setup::KitFileEntry& f : reader.Files()) {
    std::printf("file\t%u\t%s\t%s\n", unsigned(f.size), IsoTime(f.lastWriteTime).c_str(), Printable(f.name).c_str());
  }
  reader.Close();
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "okdpack: cannot write the listing\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  okdpack::PackOptions options;
  std::vector<std::string> positional;
  std::string list;
  bool haveSingle = false;
  bool haveSeparator = false;
  bool haveLevel = false;
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto need = [&](int count) { return i + count < argc; };
    if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
    } else if (arg == "--") {
      optionsDone = true;
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("%s\n", setup::VersionLine("okdpack").c_str());
      return 0;
    } else if (arg == "--list") {
      if (!need(1)) return UsageError("--list needs a kit");
      list = argv[++i];
    } else if (arg == "--describe") {
      if (!need(4)) return UsageError("--describe needs LANG PRODUCT VENDOR DESCRIPTION");
      setup::KitDescription d;
      d.language = setup::MultiByteToWide(argv[++i]);
      d.product = setup::MultiByteToWide(argv[++i]);
      d.vendor = setup::MultiByteToWide(argv[++i]);
      d.description = setup::MultiByteToWide(argv[++i]);
      if (d.language.empty()) return UsageError("--describe needs a language code");
      options.descriptions.push_back(std::move(d));
    } else if (arg == "--single") {
      if (!need(3)) return UsageError("--single needs PRODUCT VENDOR DESCRIPTION");
      if (haveSingle) return UsageError("--single given twice");
      haveSingle = true;
      setup::KitDescription d;
      d.language = u"en";
      d.product = setup::MultiByteToWide(argv[++i]);
      d.vendor = setup::MultiByteToWide(argv[++i]);
      d.description = setup::MultiByteToWide(argv[++i]);
      options.descriptions.insert(options.descriptions.begin(), std::move(d));
    } else if (arg == "--separator") {
      if (!need(1)) return UsageError("--separator needs '\\' or '/'");
      std::string s = argv[++i];
      if (s != "\\" && s != "/") return UsageError("--separator takes '\\' or '/'");
      options.separator = s == "/" ? u'/' : u'\\';
      haveSeparator = true;
    } else if (arg == "--level") {
      if (!need(1)) return UsageError("--level needs a number");
      std::string s = argv[++i];
      if (s.size() != 1 || s[0] < '0' || s[0] > '9') return UsageError("--level takes 0 to 9");
      options.level = s[0] - '0';
      haveLevel = true;
    } else {
      return UsageError("unknown option " + arg);
    }
  }

  if (!list.empty()) {
    if (!positional.empty() || !options.descriptions.empty() || haveSeparator || haveLevel) {
      return UsageError("--list takes nothing but the kit");
    }
    return List(list);
  }
  if (positional.size() != 2) return UsageError("expected DIR and KIT");
  if (haveSingle && options.descriptions.size() > 1) return UsageError("--single and --describe exclude each other");
  if (options.descriptions.empty()) return UsageError("describe the package with --single or --describe");
  options.single = haveSingle;
  options.directory = positional[0];
  options.kit = positional[1];

  std::string message;
  if (okdpack::Pack(options, message) != 0) {
    std::fprintf(stderr, "okdpack: %s\n", message.c_str());
    return 1;
  }
  return 0;
}
