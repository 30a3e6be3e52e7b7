// IniFile: an ini file held in memory. Lines "[Section]" open a section and
// lines "key=value" hold values; section and key names match without regard to
// ASCII letter case, values are kept exactly as written (blanks around the key
// and the value are dropped, inner text is kept). CR LF line ends, a UTF-8 BOM,
// comment lines (";" or "#") and lines without "=" are tolerated; comments and
// other lines that hold no value are carried through a save unchanged.
//
// The whole file is read when the object is built and nothing links it to the
// file afterwards; SaveToFile replaces the file atomically. One instance belongs
// to one thread; distinct instances share nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/exception.h"

namespace brevalon {

// A settings file larger than this is refused rather than read into memory.
inline constexpr std::size_t kMaxIniFileSize = 4u * 1024u * 1024u;

class IniFile {
 public:
  // An empty file (no sections).
  IniFile() = default;

  // Reads the file at `path`. Raises brevalon::Exception when the file cannot
  // be opened or read, or is larger than kMaxIniFileSize.
  static IniFile LoadFromFile(const std::string& path);
  // Parses ini text held in memory (same size limit as a file).
  static IniFile FromText(std::string_view text);

  // The value of `key` in `section`, or `def` when either is absent. When a
  // key appears twice in a section, the first one wins.
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // The value as a decimal 32-bit integer (optional sign, nothing else); `def`
  // when absent or when the value is not such an integer.
  int ReadInteger(std::string_view section, std::string_view key, int def) const;
  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  // Section names in file order.
  std::vector<std::string> Sections() const;

  // Sets the value, creating the section (at the end) and the key (at the end
  // of its section) when missing; every other line stays as it was.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int value);

  // The file's text, every line ended by LF.
  std::string ToText() const;
  // Writes ToText() to a temporary file beside `path` and renames it over
  // `path`, so a reader sees the old file or the new one, never a torn one.
  void SaveToFile(const std::string& path) const;

 private:
  struct Line {
    enum class Kind { Other, Value };
    Kind kind = Kind::Other;
    std::string text;   // the raw line, for Other
    std::string key;    // for Value
    std::string value;  // for Value
  };
  struct Section {
    std::string name;         // as written; empty for lines before the first section
    bool has_header = false;  // false only for the leading unnamed block
    std::vector<Line> lines;
  };

  const Section* FindSection(std::string_view name) const;
  Section* FindSection(std::string_view name);
  static const Line* FindValue(const Section& s, std::string_view key);

  std::vector<Section> sections_;
};

}  // namespace brevalon
