#pragma once
#include <string>
#include <vector>

namespace kavlo {

std::string Trim(const std::string& s);
std::string ToLower(std::string s);
std::string ToUpper(std::string s);
// ASCII comparison without regard to case.
bool SameText(const std::string& a, const std::string& b);
// The last n characters of text (the whole text when shorter).
std::string RightStr(const std::string& text, int n);
// printf-style formatting into a std::string of any length.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::vector<std::string> Split(const std::string& s, char sep);
// Text tests of the parameter boxes: a whole number (optional sign), a decimal number.
// Whole number in the 32-bit range: optional blanks around, optional sign, decimal digits.
bool TryParseInt(const std::string& s, int& value);
bool IsInteger(const std::string& s);
bool IsNumber(const std::string& s);

} // namespace kavlo
