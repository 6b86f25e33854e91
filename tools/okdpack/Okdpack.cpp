// okdpack: builds distribution kits from a directory tree and lists them.
#include <string>
#include <vector>

#include "KitPacker.h"
#include "ProgramText.h"
#include "TimeText.h"
#include "core/KitReader.h"
#include "core/Version.h"

namespace okdpack {

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
    "  --time WHEN    give every file the time WHEN instead of its own\n"
    "                 last-write time: seconds since 1970-01-01 UTC (as in\n"
    "                 SOURCE_DATE_EPOCH) or YYYY-MM-DDThh:mm:ssZ\n"
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
  std::string text = "okdpack: ";
  text += message;
  text += "\nTry 'okdpack --help'.\n";
  Print(Stream::Error, text);
  return 2;
}

int Failure(const std::string& message) {
  std::string text = "okdpack: ";
  text += message;
  text += '\n';
  Print(Stream::Error, text);
  return 1;
}

std::string Printable(const std::u16string& text) {
  std::string out = FromWide(text);
  // Keep one line per record even for texts with line breaks or tabs in them.
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return out;
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
  setup::ErrorCode error = reader.Read(ToWide(kit));
  if (error) {
    return Failure(kit + ": " + Reason(error, reader.FailurePlace()) + " (error " + std::to_string(error) + ")");
  }
  bool printed = true;
  for (const setup::KitDescription& d : reader.Descriptions()) {
    std::string line = "description\t";
    line += Printable(d.language);
    line += '\t';
    line += Printable(d.product);
    line += '\t';
    line += Printable(d.vendor);
    line += '\t';
    line += Printable(d.description);
    line += '\n';
    printed = Print(Stream::Output, line) && printed;
  }
  for (const setup::KitFileEntry& f : reader.Files()) {
    std::string line = "file\t";
    line += std::to_string(f.size);
    line += '\t';
    line += FormatTime(f.lastWriteTime);
    line += '\t';
    line += Printable(f.name);
    line += '\n';
    printed = Print(Stream::Output, line) && printed;
  }
  reader.Close();
  if (!FlushOutput() || !printed) return Failure("cannot write the listing");
  return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args) {
  PackOptions options;
  std::vector<std::string> positional;
  std::string list;
  bool haveSingle = false;
  bool haveSeparator = false;
  bool haveLevel = false;
  bool optionsDone = false;
  const size_t argc = args.size();
  for (size_t i = 0; i < argc; ++i) {
    const std::string& arg = args[i];
    auto need = [&](size_t count) { return i + count < argc; };
    if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
    } else if (arg == "--") {
      optionsDone = true;
    } else if (arg == "--help") {
      Print(Stream::Output, kUsage);
      return 0;
    } else if (arg == "--version") {
      Print(Stream::Output, setup::VersionLine("okdpack") + "\n");
      return 0;
    } else if (arg == "--list") {
      if (!need(1)) return UsageError("--list needs a kit");
      list = args[++i];
    } else if (arg == "--describe") {
      if (!need(4)) return UsageError("--describe needs LANG PRODUCT VENDOR DESCRIPTION");
      setup::KitDescription d;
      d.language = ToWide(args[++i]);
      d.product = ToWide(args[++i]);
      d.vendor = ToWide(args[++i]);
      d.description = ToWide(args[++i]);
      if (d.language.empty()) return UsageError("--describe needs a language code");
      options.descriptions.push_back(std::move(d));
    } else if (arg == "--single") {
      if (!need(3)) return UsageError("--single needs PRODUCT VENDOR DESCRIPTION");
      if (haveSingle) return UsageError("--single given twice");
      haveSingle = true;
      setup::KitDescription d;
      d.language = u"en";
      d.product = ToWide(args[++i]);
      d.vendor = ToWide(args[++i]);
      d.description = ToWide(args[++i]);
      options.descriptions.insert(options.descriptions.begin(), std::move(d));
    } else if (arg == "--separator") {
      if (!need(1)) return UsageError("--separator needs '\\' or '/'");
      const std::string& s = args[++i];
      if (s != "\\" && s != "/") return UsageError("--separator takes '\\' or '/'");
      options.separator = s == "/" ? u'/' : u'\\';
      haveSeparator = true;
    } else if (arg == "--level") {
      if (!need(1)) return UsageError("--level needs a number");
      const std::string& s = args[++i];
      if (s.size() != 1 || s[0] < '0' || s[0] > '9') return UsageError("--level takes 0 to 9");
      options.level = s[0] - '0';
      haveLevel = true;
    } else if (arg == "--time") {
      if (!need(1)) return UsageError("--time needs a time");
      setup::FileTime time = 0;
      if (!ParseTime(args[++i], time)) {
        return UsageError("--time takes seconds since 1970-01-01 UTC or YYYY-MM-DDThh:mm:ssZ");
      }
      options.time = time;
    } else {
      return UsageError("unknown option " + arg);
    }
  }

  if (!list.empty()) {
    if (!positional.empty() || !options.descriptions.empty() || haveSeparator || haveLevel || options.time) {
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
  if (Pack(options, message) != 0) return Failure(message);
  return 0;
}

}  // namespace okdpack
