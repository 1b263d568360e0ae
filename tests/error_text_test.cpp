// The system's error texts: one line, one form, on every platform.

#include "sys/error_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace quorvex::sys {
namespace {

TEST(ErrorText, CutsLineBreaksAndTheFinalPeriod) {
  struct Case {
    const char* system_text;
    const char* text;
  };
  const Case cases[] = {
      {"Access is denied.\r\n", "Access is denied"},
      {"No such file or directory", "No such file or directory"},
      {"Text. More text. \n", "Text. More text"},
      {"", "error 42"},
      {" .\r\n", "error 42"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_text(c.system_text, 42), c.text)
        << "'" << c.system_text << "'";
  }
}

// The system's own texts differ by platform and language: only their form
// is checked.
TEST(ErrorText, SystemTextsAreOneLineWithoutAFinalPeriod) {
  const auto expect_one_line = [](const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(text.back(), ' ') << text;
  };
  // Codes 1 to 5 have texts on every system (the first errno values; on
  // Windows "Incorrect function" to "Access is denied").
  for (int code = 1; code <= 5; ++code) {
    SCOPED_TRACE(code);
    expect_one_line(error_text(code));
  }
  // The C runtime's texts, as a trace that cannot be written reports them.
  for (const int value : {ENOENT, EACCES}) {
    SCOPED_TRACE(value);
    expect_one_line(error_text(std::generic_category().message(value), value));
  }
}

}  // namespace
}  // namespace quorvex::sys
