// The system's error texts: one line, one form, on every platform.

#include "sys/error_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

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
    EXPECT_EQ(one_line_error_text(c.system_text, 42), c.text)
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
  expect_one_line(c_runtime_error_text(ENOENT));
  expect_one_line(c_runtime_error_text(EACCES));
}

}  // namespace
}  // namespace quorvex::sys
