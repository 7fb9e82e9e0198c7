#include "service/files.h"

#include <cstdio>

namespace qmx {
namespace service {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EscapeLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

bool UnescapeLine(const std::string& line, std::string* text) {
  text->clear();
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(line[i]);
    if (byte < 0x20 || byte == 0x7f) return false;
    if (line[i] != '\\') {
      *text += line[i];
      continue;
    }
    if (i + 1 < line.size() && line[i + 1] == '\\') {
      *text += '\\';
      i += 1;
      continue;
    }
    if (i + 3 >= line.size() || line[i + 1] != 'x') return false;
    int high = HexValue(line[i + 2]);
    int low = HexValue(line[i + 3]);
    if (high < 0 || low < 0) return false;
    *text += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return true;
}

}  // namespace service
}  // namespace qmx
