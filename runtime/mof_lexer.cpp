#include "runtime/mof_lexer.h"

#include <cstdio>
#include <cstring>

namespace qmx {
namespace {

bool IsWordStart(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsWordChar(int c) { return IsWordStart(c) || (c >= '0' && c <= '9'); }

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// How a byte that starts no token is named in an error.
std::string Describe(int c) {
  char text[32];
  if (c > ' ' && c < 0x7f) {
    std::snprintf(text, sizeof(text), "unexpected character '%c'", c);
  } else {
    std::snprintf(text, sizeof(text), "unexpected byte 0x%02x", c);
  }
  return text;
}

}  // namespace

int MofLexer::Peek(size_t ahead) const {
  size_t at = m_pos + ahead;
  return at < m_text.size() ? static_cast<unsigned char>(m_text[at]) : -1;
}

Token MofLexer::MakeError(int line, const std::string& reason) const {
  Token token;
  token.kind = TokenKind::kError;
  token.text = reason;
  token.line = line;
  return token;
}

void MofLexer::SkipToEndOfLine() {
  while (Peek() != -1 && Peek() != '\n') ++m_pos;
}

bool MofLexer::SkipIgnored(Token* error) {
  for (;;) {
    int c = Peek();
    if (c == '\n') {
      ++m_line;
      ++m_pos;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++m_pos;
    } else if (c == '/' && Peek(1) == '/') {
      SkipToEndOfLine();
    } else if (c == '/' && Peek(1) == '*') {
      size_t end = m_text.find("*/", m_pos + 2);
      if (end == std::string::npos) {
        *error = MakeError(m_line, "unterminated comment");
        return false;
      }
      for (size_t i = m_pos; i < end; ++i) m_line += m_text[i] == '\n';
      m_pos = end + 2;
    } else if (c == '#') {
      if (m_text.compare(m_pos, 7, "#pragma") != 0) {
        *error = MakeError(m_line, "unexpected '#' (only #pragma lines)");
        return false;
      }
      SkipToEndOfLine();
    } else {
      return true;
    }
  }
}

Token MofLexer::ReadString() {
  Token token;
  token.kind = TokenKind::kString;
  token.line = m_line;
  ++m_pos;  // the opening quote
  for (;;) {
    int c = Peek();
    if (c == -1 || c == '\n') return MakeError(token.line, "unterminated string");
    ++m_pos;
    if (c == '"') return token;
    if (c == '\\') {
      int escaped = Peek();
      if (escaped == -1 || escaped == '\n') {
        return MakeError(token.line, "unterminated string");
      }
      ++m_pos;
      if (escaped == 'n') escaped = '\n';
      if (escaped == 't') escaped = '\t';
      c = escaped;
    }
    token.text.push_back(static_cast<char>(c));
  }
}

Token MofLexer::ReadWord(TokenKind kind) {
  Token token;
  token.kind = kind;
  token.line = m_line;
  size_t start = m_pos;
  ++m_pos;  // the first character was checked by the caller
  while (IsWordChar(Peek()) || (kind == TokenKind::kNumber && Peek() == '.')) {
    ++m_pos;
  }
  token.text = m_text.substr(start, m_pos - start);
  return token;
}

Token MofLexer::Next() {
  Token error;
  if (!SkipIgnored(&error)) return error;
  int c = Peek();
  if (c == -1) {
    Token end;
    end.line = m_line;
    return end;
  }
  if (c == '"') return ReadString();
  if (IsWordStart(c)) return ReadWord(TokenKind::kIdentifier);
  if (IsDigit(c) || ((c == '-' || c == '+') && IsDigit(Peek(1)))) {
    return ReadWord(TokenKind::kNumber);
  }
  if (c != 0 && std::strchr("[](){},;:=", c) != nullptr) {
    Token token;
    token.kind = TokenKind::kPunct;
    token.text = std::string(1, static_cast<char>(c));
    token.line = m_line;
    ++m_pos;
    return token;
  }
  return MakeError(m_line, Describe(c));
}

}  // namespace qmx
