// TIntegerList: a small ordered list of 32-bit signed integers that can keep
// itself sorted (ascending, signed) and can refuse duplicates. Id lists travel
// to and from the application servers as delimited text or as an integer
// variant array, so the list converts to and from both.
//
// Not synchronised: an instance belongs to one session's worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/exception.h"

namespace brevalon {

// An operation that a sorted list does not allow (Insert, SetItems).
class EIntegerListException : public Exception {
 public:
  using Exception::Exception;
};

// An index outside the list. The list is left unchanged.
class EListIndexError : public Exception {
 public:
  using Exception::Exception;
};

// A text that is not a decimal 32-bit integer.
class EIntegerConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Strict conversion of a decimal 32-bit integer: an optional sign and digits,
// nothing else (no blanks, no hexadecimal). False on anything else.
bool TryStrToInt(std::string_view text, int32_t& value);
// As TryStrToInt; raises EIntegerConvertError "'<text>' is not a valid integer
// value" on failure.
int32_t StrToInt(std::string_view text);

class TIntegerList {
 public:
  explicit TIntegerList(bool ASorted = false, bool AAcceptDuplicates = true);
  virtual ~TIntegerList() = default;

  TIntegerList(const TIntegerList&) = default;
  TIntegerList& operator=(const TIntegerList&) = default;

  // Binary search; meaningful on a sorted list. Index receives the position
  // of the value (its first occurrence when duplicates are accepted) or the
  // position where it would be inserted.
  bool Find(int32_t ACont, int& Index) const;

  // Replaces the item at Index. EIntegerListException on a sorted list.
  virtual void SetItems(int Index, int32_t ACont);
  // Unsorted: appends and returns Count - 1. Sorted: inserts in order (before
  // equal values) and returns the position; when the value is held already
  // and duplicates are refused, adds nothing and returns its position.
  virtual int Add(int32_t ACont);
  // Both delete the first occurrence of the value and return the position it
  // had, or -1 (list unchanged) when absent.
  virtual int Extract(int32_t Item);
  virtual int Remove(int32_t ACont);

  // Add of every item of AddList, in its order.
  void AddItems(const TIntegerList& AddList);
  // Inserts at Index (0..Count). EIntegerListException on a sorted list.
  void Insert(int Index, int32_t ACont);
  int32_t GetItems(int Index) const;
  void Delete(int Index);
  void Clear();
  // Position of the first equal item, or -1.
  int IndexOf(int32_t ACont) const;
  bool HaveItem(int32_t ACont) const { return IndexOf(ACont) >= 0; }
  int32_t First() const;
  int32_t Last() const;

  // The items as decimal numbers joined by stDelimiter; empty for no items.
  std::string GetAsString(std::string_view stDelimiter) const;
  // Appends the values of stValues split at stDelimiter (matched without
  // regard to ASCII letter case) and at line breaks; a final separator adds
  // nothing. An invalid piece, an empty one between two separators included,
  // raises EIntegerConvertError; the values added before it stay.
  void SetAsString(std::string_view stValues, std::string_view stDelimiter);

  bool Sorted() const { return FSorted; }
  bool AcceptDuplicates() const { return FAcceptDuplicates; }
  // Switching duplicates off removes every later copy of a value; the first
  // occurrences keep their order.
  void SetAcceptDuplicates(bool Value);
  int Count() const { return static_cast<int>(FList.size()); }
  const std::vector<int32_t>& Items() const { return FList; }

 private:
  void CheckIndex(int Index, int Limit) const;
  void CheckUnsorted() const;

  std::vector<int32_t> FList;
  bool FSorted;
  bool FAcceptDuplicates;
};

}  // namespace brevalon
