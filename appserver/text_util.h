// Small pure helpers of the reference application servers: SHA-256
// for stored passwords, date-time texts and day counts, letter-case folding
// for Latin and Cyrillic, and the %/_ pattern match used by the searches.
// Stateless; safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/crc32.h"

namespace brevalon::appserver {

// SHA-256 digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view data);

// Day count since 1899-12-30 (local time) of a text "YYYY-MM-DD",
// "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS"; nullopt when it is not one.
std::optional<double> ParseDateTime(std::string_view text);

// The current local time as a day count since 1899-12-30.
double NowDateTime();

// Lower case of Latin and Cyrillic letters (Ё/ё included) in UTF-8 text;
// every other character, and invalid UTF-8 bytes, unchanged.
std::string FoldCase(std::string_view text);

// Whether `text` matches `pattern`, in which "%" stands for any run of
// characters and "_" for one character, letter case ignored (FoldCase).
// Works by UTF-8 character, in time O(|pattern| * |text|).
bool LikeMatch(std::string_view pattern, std::string_view text);

// Case-insensitive equality under FoldCase.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace brevalon::appserver
