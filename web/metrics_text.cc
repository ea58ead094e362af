#include "web/metrics_text.h"

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, 0 when
// there is none (RFC 3629: no overlong forms, surrogates or code points past
// U+10FFFF).
size_t utf8Length(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(0);
  if (b < 0x80) return 1;
  size_t n;
  unsigned char low = 0x80, high = 0xbf;  // the second byte's range
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3;
    if (b == 0xe0) low = 0xa0;
    if (b == 0xed) high = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4;
    if (b == 0xf0) low = 0x90;
    if (b == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  }
  return n;
}

// HELP text: backslash and line feed escaped.
void appendHelp(std::string& out, std::string_view help) {
  for (char c : help) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
}

}  // namespace

std::string labelValueText(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  while (!value.empty()) {
    const char c = value.front();
    size_t n = 1;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if ((n = utf8Length(value)) != 0) {
      out.append(value.substr(0, n));
    } else {
      out += "\xef\xbf\xbd";  // U+FFFD
      n = 1;
    }
    value.remove_prefix(n);
  }
  return out;
}

std::string metricsText(const std::vector<MetricFamily>& families) {
  std::string out;
  for (const MetricFamily& f : families) {
    out += "# HELP " + f.name + " ";
    appendHelp(out, f.help);
    out += "\n# TYPE " + f.name + " " + f.type + "\n";
    for (const MetricSample& s : f.samples) {
      out += f.name;
      if (!s.labels.empty()) {
        out += '{';
        for (size_t i = 0; i < s.labels.size(); ++i) {
          if (i > 0) out += ',';
          out += s.labels[i].first + "=\"" + labelValueText(s.labels[i].second) + '"';
        }
        out += '}';
      }
      out += ' ' + std::to_string(s.value) + '\n';
    }
  }
  return out;
}
