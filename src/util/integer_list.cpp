#include "util/integer_list.h"

#include <charconv>
#include <unordered_set>

namespace brevalon {

namespace {

constexpr const char* kSortedListMessage = "Операция недоступна для сотированного списка";

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameAt(std::string_view text, std::size_t pos, std::string_view what) {
  if (text.size() - pos < what.size()) return false;
  for (std::size_t i = 0; i < what.size(); ++i) {
    if (AsciiLower(text[pos + i]) != AsciiLower(what[i])) return false;
  }
  return true;
}

}  // namespace

bool TryStrToInt(std::string_view text, int32_t& value) {
  std::string_view s = text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return false;
  int32_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  value = v;
  return true;
}

int32_t StrToInt(std::string_view text) {
  int32_t v = 0;
  if (!TryStrToInt(text, v)) {
    throw EIntegerConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return v;
}

TIntegerList::TIntegerList(bool ASorted, bool AAcceptDuplicates)
    : FSorted(ASorted), FAcceptDuplicates(AAcceptDuplicates) {}

void TIntegerList::CheckIndex(int Index, int Limit) const {
  if (Index < 0 || Index > Limit) {
    throw EListIndexError("List index out of bounds (" + std::to_string(Index) + ")");
  }
}

void TIntegerList::CheckUnsorted() const {
  if (FSorted) throw EIntegerListException(kSortedListMessage);
}

bool TIntegerList::Find(int32_t ACont, int& Index) const {
  int lo = 0;
  int hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    if (FList[static_cast<std::size_t>(mid)] < ACont) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (FList[static_cast<std::size_t>(mid)] == ACont) {
        found = true;
        if (!FAcceptDuplicates) lo = mid;
      }
    }
  }
  Index = lo;
  return found;
}

void TIntegerList::SetItems(int Index, int32_t ACont) {
  CheckUnsorted();
  CheckIndex(Index, Count() - 1);
  FList[static_cast<std::size_t>(Index)] = ACont;
}

int TIntegerList::Add(int32_t ACont) {
  if (!FSorted) {
    FList.push_back(ACont);
    return Count() - 1;
  }
  int pos = 0;
  if (Find(ACont, pos) && !FAcceptDuplicates) return pos;
  FList.insert(FList.begin() + pos, ACont);
  return pos;
}

int TIntegerList::Extract(int32_t Item) {
  int pos = IndexOf(Item);
  if (pos >= 0) Delete(pos);
  return pos;
}

int TIntegerList::Remove(int32_t ACont) {
  int pos = IndexOf(ACont);
  if (pos >= 0) Delete(pos);
  return pos;
}

void TIntegerList::AddItems(const TIntegerList& AddList) {
  // A copy, so that adding a list to itself sees the items as they were.
  const std::vector<int32_t> items = AddList.FList;
  for (int32_t v : items) Add(v);
}

void TIntegerList::Insert(int Index, int32_t ACont) {
  CheckUnsorted();
  CheckIndex(Index, Count());
  FList.insert(FList.begin() + Index, ACont);
}

int32_t TIntegerList::GetItems(int Index) const {
  CheckIndex(Index, Count() - 1);
  return FList[static_cast<std::size_t>(Index)];
}

void TIntegerList::Delete(int Index) {
  CheckIndex(Index, Count() - 1);
  FList.erase(FList.begin() + Index);
}

void TIntegerList::Clear() { FList.clear(); }

int TIntegerList::IndexOf(int32_t ACont) const {
  if (FSorted) {
    int pos = 0;
    return Find(ACont, pos) ? pos : -1;
  }
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (FList[i] == ACont) return static_cast<int>(i);
  }
  return -1;
}

int32_t TIntegerList::First() const { return GetItems(0); }

int32_t TIntegerList::Last() const { return GetItems(Count() - 1); }

std::string TIntegerList::GetAsString(std::string_view stDelimiter) const {
  std::string out;
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (i > 0) out += stDelimiter;
    out += std::to_string(FList[i]);
  }
  return out;
}

void TIntegerList::SetAsString(std::string_view stValues, std::string_view stDelimiter) {
  // The delimiter and CR, LF or CR LF all end a piece; the text after the last
  // separator is a piece only when it is not empty.
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < stValues.size()) {
    std::size_t sep = 0;
    if (!stDelimiter.empty() && SameAt(stValues, i, stDelimiter)) {
      sep = stDelimiter.size();
    } else if (stValues[i] == '\r') {
      sep = (i + 1 < stValues.size() && stValues[i + 1] == '\n') ? 2 : 1;
    } else if (stValues[i] == '\n') {
      sep = 1;
    }
    if (sep == 0) {
      ++i;
      continue;
    }
    Add(StrToInt(stValues.substr(start, i - start)));
    i += sep;
    start = i;
  }
  if (start < stValues.size()) Add(StrToInt(stValues.substr(start)));
}

void TIntegerList::SetAcceptDuplicates(bool Value) {
  FAcceptDuplicates = Value;
  if (Value) return;
  std::unordered_set<int32_t> seen;
  std::vector<int32_t> kept;
  kept.reserve(FList.size());
  for (int32_t v : FList) {
    if (seen.insert(v).second) kept.push_back(v);
  }
  FList.swap(kept);
}

}  // namespace brevalon
