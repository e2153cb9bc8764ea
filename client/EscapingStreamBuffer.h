#pragma once

#include <streambuf>
#include <string>
#include <string_view>

// An output buffer that passes text on to another with its control
// characters escaped as escapeControls writes them, line ends excepted: what
// the client prints of the service's answers (another user's image path, a
// volume's mount point, an error's message) reaches a terminal as text, never
// as a control sequence. Text is passed on as it is written.
class EscapingStreamBuffer : public std::streambuf {
 public:
  explicit EscapingStreamBuffer(std::streambuf& target) : target_(target) {}
  ~EscapingStreamBuffer() override;
  EscapingStreamBuffer(const EscapingStreamBuffer&) = delete;
  EscapingStreamBuffer& operator=(const EscapingStreamBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  bool pass(std::string_view text);

  std::streambuf& target_;
  std::string pending_;  // a first byte of a two-byte character, until its second comes
};
