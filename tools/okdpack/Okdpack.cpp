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
    "       okdpack --verify KIT\n"
    "\n"
    "Packs the regular files below DIR into the distribution kit KIT, with a\n"
    "trailer of checksums by which setup proves the kit whole.\n"
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
    "  --verify KIT   check KIT against its checksums: status 0 when it is\n"
    "                 whole, 1 when it is damaged or has no checksum\n"
    "  --help         print this text\n"
    "  --version      print the version and the commit\n"
    "  --             take every later argument as DIR or KIT\n"
    "\n"
    "Exit status: 0 done, 1 the kit could not be written or read, 2 wrong usage.\n"
    "'man okdpack' has more, and how to ship a kit.\n";

int Failure(const std::string& message) {
  std::string text = "okdpack: ";
  text += message;
  text += '\n';
  Print(Stream::Error, text);
  return 1;
}

int UsageError(const std::string& message) {
  Failure(message + "\nTry 'okdpack --help'.");
  return 2;
}

std::string Printable(std::u16string_view text) {
  std::string out = FromWide(text);
  // Keep one line per record even for texts with line breaks or tabs in them.
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return out;
}

const char* Reason(setup::ErrorCode code, setup::KitFailurePlace place, setup::KitIntegrity integrity) {
  switch (integrity) {
    case setup::KitIntegrity::Mismatch: return "damaged: it does not match its checksum";
    case setup::KitIntegrity::DamagedTrailer:
      return "damaged: its checksum trailer is cut or altered, or comes from a later okdpack";
    default: break;
  }
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

// Reads `kit` as setup would; false, with the reason said, when it cannot.
bool ReadKit(const std::string& kit, setup::KitReader& reader) {
  const setup::ErrorCode error = reader.Read(ToWide(kit));
  if (!error) return true;
  Failure(kit + ": " + Reason(error, reader.FailurePlace(), reader.Integrity()) + " (error " + std::to_string(error) +
          ")");
  return false;
}

// Whole only when the kit's trailer proves it: a kit of an older okdpack
// reads, but nothing shows that it is the kit that was packed.
int Verify(const std::string& kit) {
  setup::KitReader reader;
  if (!ReadKit(kit, reader)) return 1;
  if (reader.Integrity() != setup::KitIntegrity::Verified) {
    return Failure(kit + ": cannot be proven whole: it carries no checksum (an older okdpack packed it); pack it "
                         "again");
  }
  std::string line = kit;
  line += ": whole: ";
  line += std::to_string(reader.Files().size());
  line += reader.Files().size() == 1 ? " file" : " files";
  line += ", and the checksums of its stream and image match\n";
  if (!Print(Stream::Output, line) || !FlushOutput()) return Failure("cannot write the verdict");
  return 0;
}

int List(const std::string& kit) {
  setup::KitReader reader;
  if (!ReadKit(kit, reader)) return 1;
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
  bool verify = false;
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
    } else if (arg == "--list" || arg == "--verify") {
      if (!need(1)) return UsageError(arg + " needs a kit");
      if (!list.empty()) return UsageError("--list and --verify take one kit, once");
      verify = arg == "--verify";
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
      return UsageError(verify ? "--verify takes nothing but the kit" : "--list takes nothing but the kit");
    }
    return verify ? Verify(list) : List(list);
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
