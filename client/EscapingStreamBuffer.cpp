#include "EscapingStreamBuffer.h"

#include "common/LogFormatter.h"

namespace {

// The first byte of the two-byte UTF-8 characters U+0080 to U+00BF, the C1
// controls among them.
constexpr char kC1Lead = '\xC2';

}  // namespace

EscapingStreamBuffer::~EscapingStreamBuffer() {
  // A first byte still waiting for its second never gets it: passed on as it is.
  const std::string left = escapeControls(pending_);
  target_.sputn(left.data(), static_cast<std::streamsize>(left.size()));
  target_.pubsync();
}

EscapingStreamBuffer::int_type EscapingStreamBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  return pass(std::string_view(&byte, 1)) ? c : traits_type::eof();
}

std::streamsize EscapingStreamBuffer::xsputn(const char* text, std::streamsize count) {
  return pass(std::string_view(text, static_cast<size_t>(count))) ? count : 0;
}

// A first byte waiting for its second stays: the character is judged whole.
int EscapingStreamBuffer::sync() { return target_.pubsync(); }

bool EscapingStreamBuffer::pass(std::string_view text) {
  std::string whole = pending_ + std::string(text);
  pending_.clear();
  if (!whole.empty() && whole.back() == kC1Lead) {
    pending_ = kC1Lead;
    whole.pop_back();
  }
  std::string escaped;
  size_t begin = 0;
  while (begin < whole.size()) {
    const size_t end = whole.find('\n', begin);
    escaped += escapeControls(std::string_view(whole).substr(begin, end - begin));
    if (end == std::string::npos) break;
    escaped += '\n';
    begin = end + 1;
  }
  return target_.sputn(escaped.data(), static_cast<std::streamsize>(escaped.size())) ==
         static_cast<std::streamsize>(escaped.size());
}
