#include "common/LogFormatter.h"

#include "common/WideString.h"

namespace {

struct Conversion {
  bool leftAlign = false;
  bool zeroPad = false;
  size_t width = 0;
  bool wide64 = false;
  char16_t type = 0;
};

// Parses the conversion after a '%' at format[pos]; returns the position after
// it, or npos when the text there is not a conversion this formatter knows.
size_t parseConversion(std::u16string_view format, size_t pos, Conversion& conv) {
  for (; pos < format.size() && (format[pos] == u'-' || format[pos] == u'0'); ++pos) {
    (format[pos] == u'-' ? conv.leftAlign : conv.zeroPad) = true;
  }
  for (; pos < format.size() && format[pos] >= u'0' && format[pos] <= u'9'; ++pos) {
    conv.width = std::min<size_t>(conv.width * 10 + (format[pos] - u'0'), 1024);
  }
  if (format.substr(pos, 2) == u"ll") {
    conv.wide64 = true;
    pos += 2;
  }
  if (pos >= format.size()) return std::u16string_view::npos;
  conv.type = format[pos];
  switch (conv.type) {
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X': return pos + 1;
    case u's': return conv.wide64 ? std::u16string_view::npos : pos + 1;
    default: return std::u16string_view::npos;
  }
}

std::u16string renderInteger(const Conversion& conv, uint64_t bits) {
  if (!conv.wide64) bits &= 0xFFFFFFFFu;
  bool negative = false;
  if (conv.type == u'd' || conv.type == u'i') {
    const int64_t value = conv.wide64 ? static_cast<int64_t>(bits)
                                      : static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(bits)));
    negative = value < 0;
    bits = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  }
  const bool hex = conv.type == u'x' || conv.type == u'X';
  const char16_t* digits = conv.type == u'X' ? u"0123456789ABCDEF" : u"0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), digits[bits % (hex ? 16 : 10)]);
    bits /= hex ? 16 : 10;
  } while (bits != 0);
  if (conv.zeroPad && !conv.leftAlign) {
    const size_t room = conv.width > (negative ? 1 : 0) ? conv.width - (negative ? 1 : 0) : 0;
    if (text.size() < room) text.insert(0, room - text.size(), u'0');
  }
  if (negative) text.insert(text.begin(), u'-');
  return text;
}

std::u16string renderString(std::u16string_view text) {
  if (text.size() <= kMaxLoggedArgument) return escapeLogText(text);
  const std::string more = "...(" + std::to_string(text.size() - kMaxLoggedArgument) + " more)";
  return escapeLogText(text.substr(0, kMaxLoggedArgument)) + std::u16string(more.begin(), more.end());
}

constexpr char kHex[] = "0123456789ABCDEF";

template <class Char>
void appendEscape(std::basic_string<Char>& out, uint32_t unit) {
  if (unit == '\n' || unit == '\r' || unit == '\t') {
    out.push_back(Char('\\'));
    out.push_back(Char(unit == '\n' ? 'n' : unit == '\r' ? 'r' : 't'));
    return;
  }
  for (const char escaped : {'\\', 'x', kHex[unit >> 4], kHex[unit & 0xF]}) out.push_back(Char(escaped));
}

template <class Char>
void appendCodePoint(std::basic_string<Char>& out, uint32_t codePoint) {
  std::string digits;
  do {
    digits.insert(digits.begin(), kHex[codePoint & 0xF]);
    codePoint >>= 4;
  } while (codePoint != 0);
  for (const char c : "\\u{" + digits + "}") out.push_back(Char(c));
}

bool isControl(uint32_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::u16string render(const Conversion& conv, const LogArg* arg) {
  if (!arg) return u"(missing)";
  const bool wantsString = conv.type == u's';
  if (wantsString != (arg->kind() == LogArg::Kind::String)) return u"(bad argument)";
  std::u16string text = wantsString ? renderString(wide::untilZero(arg->text())) : renderInteger(conv, arg->bits());
  if (text.size() < conv.width) {
    const size_t pad = conv.width - text.size();
    conv.leftAlign ? text.append(pad, u' ') : text.insert(0, pad, u' ');
  }
  return text;
}

}  // namespace

std::u16string formatLogMessage(std::u16string_view format, std::span<const LogArg> args) {
  std::u16string out;
  out.reserve(format.size() + 32 * args.size());
  size_t next = 0;
  size_t pos = 0;
  while (pos < format.size()) {
    const size_t percent = format.find(u'%', pos);
    out.append(format.substr(pos, percent - pos));
    if (percent == std::u16string_view::npos) break;
    if (format.substr(percent, 2) == u"%%") {
      out.push_back(u'%');
      pos = percent + 2;
      continue;
    }
    Conversion conv;
    const size_t end = parseConversion(format, percent + 1, conv);
    if (end == std::u16string_view::npos) {
      out.push_back(u'%');
      pos = percent + 1;
      continue;
    }
    out.append(render(conv, next < args.size() ? &args[next] : nullptr));
    ++next;
    pos = end;
  }
  return out;
}

std::u16string formatLogMessage(std::u16string_view format, std::initializer_list<LogArg> args) {
  return formatLogMessage(format, std::span<const LogArg>(args.begin(), args.size()));
}

std::u16string escapeLogText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    const char16_t unit = text[at];
    if (isControl(unit)) {
      appendEscape(out, unit);
    } else if (unit <= 0xFF) {
      out.push_back(unit);
    } else if (isHighSurrogate(unit) && at + 1 < text.size() && isLowSurrogate(text[at + 1])) {
      appendCodePoint(out, 0x10000 + ((unit - 0xD800u) << 10) + (text[++at] - 0xDC00u));
    } else {
      appendCodePoint(out, unit);
    }
  }
  return out;
}

std::string escapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const auto next = at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0u;
    if (byte < 0x20 || byte == 0x7F) {
      appendEscape(out, byte);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F in UTF-8
      appendCodePoint(out, next);
      ++at;
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

std::string toLogBytes(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) {
    if (c <= 0xFF) bytes.push_back(static_cast<char>(c));
  }
  return bytes;
}
