#include "session/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "util/integer_list.h"

namespace brevalon {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// Closes a descriptor when the scope ends.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace

IniFile IniFile::LoadFromFile(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    throw Exception("Can not open ini file [" + path + "]: " + ErrnoText(errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    throw Exception("Can not read ini file [" + path + "]: " + ErrnoText(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw Exception("Ini file [" + path + "] is not a regular file");
  }
  // The size is checked again while reading: the file may grow in between.
  std::string text;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Exception("Can not read ini file [" + path + "]: " + ErrnoText(errno));
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > kMaxIniFileSize) {
      throw Exception("Ini file [" + path + "] is larger than " +
                      std::to_string(kMaxIniFileSize) + " bytes");
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  return FromText(text);
}

IniFile IniFile::FromText(std::string_view text) {
  if (text.size() > kMaxIniFileSize) {
    throw Exception("Ini text is larger than " + std::to_string(kMaxIniFileSize) + " bytes");
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

  IniFile ini;
  ini.sections_.push_back(Section{});  // lines before the first section header
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view raw = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);

    std::string_view t = Trim(raw);
    Line line;
    line.text = std::string(raw);
    if (t.empty() || t.front() == ';' || t.front() == '#') {
      ini.sections_.back().lines.push_back(std::move(line));
      continue;
    }
    if (t.front() == '[') {
      std::string_view name = t.substr(1);
      name = name.substr(0, name.find(']'));
      Section s;
      s.name = std::string(Trim(name));
      s.has_header = true;
      ini.sections_.push_back(std::move(s));
      continue;
    }
    std::size_t eq = t.find('=');
    std::string_view key = eq == std::string_view::npos ? std::string_view{} : Trim(t.substr(0, eq));
    // A value before any section header belongs to no section and cannot be
    // read, like a line without "=" or with an empty key; all are kept as text.
    if (!key.empty() && ini.sections_.back().has_header) {
      line.kind = Line::Kind::Value;
      line.key = std::string(key);
      line.value = std::string(Trim(t.substr(eq + 1)));
      line.text.clear();
    }
    ini.sections_.back().lines.push_back(std::move(line));
  }
  return ini;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  for (const Section& s : sections_) {
    if (s.has_header && SameName(s.name, name)) return &s;
  }
  return nullptr;
}

IniFile::Section* IniFile::FindSection(std::string_view name) {
  return const_cast<Section*>(std::as_const(*this).FindSection(name));
}

const IniFile::Line* IniFile::FindValue(const Section& s, std::string_view key) {
  for (const Line& l : s.lines) {
    if (l.kind == Line::Kind::Value && SameName(l.key, key)) return &l;
  }
  return nullptr;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                const std::string& def) const {
  // A section written twice reads as one: its first occurrence of the key wins.
  for (const Section& s : sections_) {
    if (!s.has_header || !SameName(s.name, section)) continue;
    if (const Line* l = FindValue(s, key)) return l->value;
  }
  return def;
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
  if (!ValueExists(section, key)) return def;
  int32_t v = 0;
  return TryStrToInt(ReadString(section, key, std::string()), v) ? v : def;
}

bool IniFile::SectionExists(std::string_view section) const {
  return FindSection(section) != nullptr;
}

bool IniFile::ValueExists(std::string_view section, std::string_view key) const {
  for (const Section& s : sections_) {
    if (s.has_header && SameName(s.name, section) && FindValue(s, key)) return true;
  }
  return false;
}

std::vector<std::string> IniFile::Sections() const {
  std::vector<std::string> names;
  for (const Section& s : sections_) {
    if (s.has_header) names.push_back(s.name);
  }
  return names;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  std::string_view k = Trim(key);
  std::string_view v = Trim(value);
  std::string_view sec = Trim(section);
  // What cannot be read back the same way is refused instead of being written
  // as a different key or a broken line.
  if (k.empty() || k.find_first_of("=\r\n") != std::string_view::npos || k.front() == '[' ||
      k.front() == ';' || k.front() == '#') {
    throw Exception("Invalid ini key name [" + std::string(key) + "]");
  }
  if (sec.find_first_of("]\r\n") != std::string_view::npos) {
    throw Exception("Invalid ini section name [" + std::string(section) + "]");
  }
  if (v.find_first_of("\r\n") != std::string_view::npos) {
    throw Exception("Invalid ini value for key [" + std::string(key) + "]");
  }

  for (Section& s : sections_) {
    if (!s.has_header || !SameName(s.name, sec)) continue;
    for (Line& l : s.lines) {
      if (l.kind == Line::Kind::Value && SameName(l.key, k)) {
        l.value = std::string(v);
        return;
      }
    }
  }

  Line line;
  line.kind = Line::Kind::Value;
  line.key = std::string(k);
  line.value = std::string(v);

  Section* target = FindSection(sec);
  if (target == nullptr) {
    // Keep a blank line between the previous section and the new one.
    if (!sections_.empty()) {
      Section& last = sections_.back();
      bool empty_block = !last.has_header && last.lines.empty();
      if (!empty_block && (last.lines.empty() || !Trim(last.lines.back().text).empty() ||
                           last.lines.back().kind == Line::Kind::Value)) {
        last.lines.push_back(Line{});
      }
    }
    Section s;
    s.name = std::string(sec);
    s.has_header = true;
    s.lines.push_back(std::move(line));
    sections_.push_back(std::move(s));
    return;
  }
  // A new key goes after the section's last non-blank line, before the blank
  // lines that separate it from the next section.
  auto pos = target->lines.end();
  while (pos != target->lines.begin()) {
    const Line& prev = *(pos - 1);
    if (prev.kind == Line::Kind::Value || !Trim(prev.text).empty()) break;
    --pos;
  }
  target->lines.insert(pos, std::move(line));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  WriteString(section, key, std::to_string(value));
}

std::string IniFile::ToText() const {
  std::string out;
  for (const Section& s : sections_) {
    if (s.has_header) out += "[" + s.name + "]\n";
    for (const Line& l : s.lines) {
      if (l.kind == Line::Kind::Value) {
        out += l.key + "=" + l.value + "\n";
      } else {
        out += l.text + "\n";
      }
    }
  }
  return out;
}

void IniFile::SaveToFile(const std::string& path) const {
  static std::atomic<unsigned> counter{0};
  const std::string text = ToText();
  const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." +
                          std::to_string(counter.fetch_add(1, std::memory_order_relaxed));

  auto fail = [&](const std::string& what, int err) {
    ::unlink(tmp.c_str());
    throw Exception("Can not write ini file [" + path + "]: " + what + ": " + ErrnoText(err));
  };

  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    int err = errno;
    throw Exception("Can not write ini file [" + path + "]: " + ErrnoText(err));
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write", errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd.get()) != 0) fail("fsync", errno);
  if (::close(fd.release()) != 0) fail("close", errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail("rename", errno);
}

}  // namespace brevalon
