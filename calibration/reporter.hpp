#pragma once
// Where the readers and the run send their lines. stereo-rectify prints every
// line on standard output; other front ends supply their own reporter.

#include <string>
#include <string_view>

namespace rectify {

class Reporter {
  public:
    virtual ~Reporter() = default;
    // A failure or a result: text is printed exactly as given, line ends included.
    virtual void report(std::string_view text) = 0;
    // A progress line ("Warping left image..."); printed like any other line
    // unless a front end routes progress elsewhere.
    virtual void progress(std::string_view text) { report(text); }
};

// Writes each text to standard output and flushes it, so progress shows at once
// and nothing is lost if the process is killed later.
class StdoutReporter : public Reporter {
  public:
    void report(std::string_view text) override;
};

// Collects every text; for front ends that route lines elsewhere, and tests.
class CollectingReporter : public Reporter {
  public:
    void report(std::string_view text) override { text_ += text; }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

// A JSON string literal for any bytes: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 as \u00XX of their value.
std::string json_string(std::string_view text);

// printf-style formatting into a std::string.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace rectify
