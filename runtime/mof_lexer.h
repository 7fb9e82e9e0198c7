// Splits MOF text into tokens for the MOF parser. Comments and #pragma
// lines are skipped. Every byte sequence ends in kEnd or kError after at most
// one pass over the text.

#ifndef QMX_RUNTIME_MOF_LEXER_H_
#define QMX_RUNTIME_MOF_LEXER_H_

#include <string>

namespace qmx {

enum class TokenKind { kEnd, kIdentifier, kString, kNumber, kPunct, kError };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  // Identifier or number text, the decoded string, the punctuation
  // character, or for kError the reason.
  std::string text;
  int line = 1;
};

class MofLexer {
 public:
  explicit MofLexer(const std::string& text) : m_text(text) {}

  Token Next();

 private:
  // Skips blanks, comments and #pragma lines; false (with *error) on an
  // unterminated comment or a '#' that starts no pragma.
  bool SkipIgnored(Token* error);
  void SkipToEndOfLine();
  Token ReadString();
  Token ReadWord(TokenKind kind);
  Token MakeError(int line, const std::string& reason) const;
  int Peek(size_t ahead = 0) const;

  const std::string& m_text;
  size_t m_pos = 0;
  int m_line = 1;
};

}  // namespace qmx

#endif  // QMX_RUNTIME_MOF_LEXER_H_
