#pragma once
// Small text utilities shared by the subsystems. Pure functions; any thread.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A number read as the C library's atoi reads it (leading blanks, a sign, leading digits; 0 when
// there are none), except that a value beyond int's range is clamped to it rather than left
// undefined.
int ReadNumber(const char* text);

// strtok over a view: the next token after any run of delimiters, consuming the delimiter that
// ends it. Nothing when the text is used up. The tokens borrow from the text.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : m_text(text) {}

  std::optional<std::string_view> Next(std::string_view delimiters);

 private:
  std::string_view m_text;
  size_t m_position = 0;
};

// `text` without the white space (isspace) at its start and end.
std::string_view TrimBlanks(std::string_view text);

// `text` with every byte but ASCII letters, digits and "-_.~" written as %XX: a URL's query value.
std::string PercentEncoded(std::string_view text);
