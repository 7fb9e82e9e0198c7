#include "runtime/mof_parser.h"

#include <unordered_set>
#include <utility>

#include "runtime/mof_lexer.h"
#include "common/names.h"

namespace qmx {
namespace {

// Members (inherited copies included) one file may create: a few bytes of
// input can otherwise ask for a deep chain of huge classes. Real schemas
// have hundreds.
constexpr size_t kMaxMembers = 100000;

// The qualifiers of one declaration that the object model uses.
struct Qualifiers {
  bool in = false;
  bool out = false;
  bool embedded = false;      // EmbeddedInstance or EmbeddedObject
  std::string embeddedClass;  // empty: any class
};

// Names already used in one scope, compared without regard to case.
class NameSet {
 public:
  bool Add(const std::string& name) {
    return m_names.insert(LowerCase(name)).second;
  }

 private:
  std::unordered_set<std::string> m_names;
};

// The parameter classes of the method being read.
struct Signature {
  ClassDef* in = nullptr;
  ClassDef* out = nullptr;
  NameSet inNames;
  NameSet outNames;
};

bool TypeOf(const std::string& word, CIMTYPE* type) {
  static const std::pair<const char*, CIMTYPE> kTypes[] = {
      {"string", CIM_STRING},
      {"sint32", CIM_SINT32},
      {"uint32", CIM_UINT32},
      {"boolean", CIM_BOOLEAN},
  };
  for (const auto& known : kTypes) {
    if (EqualsNoCase(word, known.first)) {
      *type = known.second;
      return true;
    }
  }
  return false;
}

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

std::string DescribeToken(const Token& token) {
  switch (token.kind) {
    case TokenKind::kEnd: return "end of file";
    case TokenKind::kString: return "a string";
    default: return Quoted(token.text);
  }
}

// A recursive-descent reader over the lexer's tokens, one token of look-ahead.
// Every method returns false once an error is recorded.
class MofParser {
 public:
  MofParser(const std::string& text, const std::string& file, Schema* schema)
      : m_lexer(text), m_file(file), m_schema(schema) {}

  bool Parse(std::string* error);

 private:
  bool Advance();
  bool Fail(int line, const std::string& reason);
  bool FailExpected(const std::string& what);
  bool AtPunct(char c) const;
  bool ExpectPunct(char c, const std::string& context);
  bool ExpectIdentifier(const std::string& what, std::string* name);
  bool CountMembers(size_t added, int line);

  bool ParseQualifiers(Qualifiers* qualifiers);
  bool ParseQualifier(Qualifiers* qualifiers);
  bool ParseQualifierValues(std::string* first, bool* isString);
  bool ParseLiteral(std::string* value, bool* isString);
  bool ParseClass();
  bool BeginClass(const std::string& name, int line, const ClassDef* super,
                  ClassDef** def);
  bool ParseDeclaration(const Qualifiers& qualifiers, PropertyDef* decl);
  bool ParseMember(ClassDef* def);
  bool ParseMethod(ClassDef* def, const PropertyDef& decl);
  bool ParseParameter(Signature* signature);
  bool AddParameter(ClassDef* cls, NameSet* names, const PropertyDef& decl);

  MofLexer m_lexer;
  Token m_token;        // the current token
  int m_prevLine = 1;   // line of the token before it
  const std::string& m_file;
  Schema* m_schema;
  std::string m_error;
  NameSet m_properties;  // of the class being read
  NameSet m_methods;
  size_t m_members = 0;
};

bool MofParser::Advance() {
  m_prevLine = m_token.line;
  m_token = m_lexer.Next();
  if (m_token.kind != TokenKind::kError) return true;
  return Fail(m_token.line, m_token.text);
}

bool MofParser::Fail(int line, const std::string& reason) {
  if (m_error.empty()) {
    m_error = m_file + ":" + std::to_string(line) + ": " + reason;
  }
  return false;
}

// Something missing belongs to the line of what came before it.
bool MofParser::FailExpected(const std::string& what) {
  return Fail(m_prevLine,
              "expected " + what + " but found " + DescribeToken(m_token));
}

bool MofParser::AtPunct(char c) const {
  return m_token.kind == TokenKind::kPunct && m_token.text[0] == c;
}

bool MofParser::ExpectPunct(char c, const std::string& context) {
  if (!AtPunct(c)) return FailExpected("'" + std::string(1, c) + "' " + context);
  return Advance();
}

bool MofParser::ExpectIdentifier(const std::string& what, std::string* name) {
  if (m_token.kind != TokenKind::kIdentifier) return FailExpected(what);
  *name = m_token.text;
  return Advance();
}

bool MofParser::CountMembers(size_t added, int line) {
  m_members += added;
  if (m_members <= kMaxMembers) return true;
  return Fail(line, "too many members (more than " +
                        std::to_string(kMaxMembers) + ")");
}

bool MofParser::Parse(std::string* error) {
  bool ok = Advance();
  while (ok && m_token.kind != TokenKind::kEnd) {
    Qualifiers ignored;
    ok = ParseQualifiers(&ignored);
    if (!ok) break;
    if (m_token.kind != TokenKind::kIdentifier ||
        !EqualsNoCase(m_token.text, "class")) {
      ok = Fail(m_token.line,
                "expected 'class' but found " + DescribeToken(m_token));
      break;
    }
    ok = ParseClass();
  }
  if (!ok) *error = m_error;
  return ok;
}

bool MofParser::ParseQualifiers(Qualifiers* qualifiers) {
  if (!AtPunct('[')) return true;
  if (!Advance()) return false;
  for (;;) {
    if (!ParseQualifier(qualifiers)) return false;
    if (!AtPunct(',')) return ExpectPunct(']', "to close the qualifiers");
    if (!Advance()) return false;
  }
}

bool MofParser::ParseQualifier(Qualifiers* qualifiers) {
  int line = m_token.line;
  std::string name;
  if (!ExpectIdentifier("a qualifier name", &name)) return false;
  std::string value;
  bool isString = false;
  if ((AtPunct('(') || AtPunct('{')) &&
      !ParseQualifierValues(&value, &isString)) {
    return false;
  }
  if (EqualsNoCase(name, "In")) qualifiers->in = true;
  if (EqualsNoCase(name, "Out")) qualifiers->out = true;
  if (EqualsNoCase(name, "EmbeddedObject")) qualifiers->embedded = true;
  if (EqualsNoCase(name, "EmbeddedInstance")) {
    if (!isString || value.empty()) {
      return Fail(line, "EmbeddedInstance needs a class name in quotes");
    }
    qualifiers->embedded = true;
    qualifiers->embeddedClass = value;
  }
  return true;
}

// "(value)" or "{value, ...}"; *first gets the first value.
bool MofParser::ParseQualifierValues(std::string* first, bool* isString) {
  char close = AtPunct('(') ? ')' : '}';
  if (!Advance() || !ParseLiteral(first, isString)) return false;
  while (AtPunct(',')) {
    std::string ignored;
    bool ignoredIsString;
    if (!Advance() || !ParseLiteral(&ignored, &ignoredIsString)) return false;
  }
  return ExpectPunct(close, "to close the qualifier value");
}

// A number, a word (true, false, null) or adjacent strings joined.
bool MofParser::ParseLiteral(std::string* value, bool* isString) {
  *isString = m_token.kind == TokenKind::kString;
  if (m_token.kind == TokenKind::kNumber ||
      m_token.kind == TokenKind::kIdentifier) {
    *value = m_token.text;
    return Advance();
  }
  if (!*isString) return FailExpected("a qualifier value");
  value->clear();
  while (m_token.kind == TokenKind::kString) {
    *value += m_token.text;
    if (!Advance()) return false;
  }
  return true;
}

bool MofParser::ParseClass() {
  if (!Advance()) return false;  // "class"
  int line = m_token.line;
  std::string name;
  if (!ExpectIdentifier("a class name", &name)) return false;
  const ClassDef* super = nullptr;
  if (AtPunct(':')) {
    if (!Advance()) return false;
    int superLine = m_token.line;
    std::string superName;
    if (!ExpectIdentifier("a superclass name", &superName)) return false;
    super = m_schema->Find(superName);
    if (super == nullptr) {
      return Fail(superLine, "unknown superclass " + Quoted(superName));
    }
  }
  if (!ExpectPunct('{', "to open class " + Quoted(name))) return false;
  ClassDef* def;
  if (!BeginClass(name, line, super, &def)) return false;
  while (!AtPunct('}')) {
    if (m_token.kind == TokenKind::kEnd) {
      return Fail(line, "class " + Quoted(name) + " is not closed with '}'");
    }
    if (!ParseMember(def)) return false;
  }
  return Advance() && ExpectPunct(';', "after class " + Quoted(name));
}

// Adds the class with its inherited members and starts its name scopes.
bool MofParser::BeginClass(const std::string& name, int line,
                           const ClassDef* super, ClassDef** def) {
  *def = m_schema->AddClass(name);
  if (*def == nullptr) return Fail(line, "duplicate class " + Quoted(name));
  m_properties = NameSet();
  m_methods = NameSet();
  if (super == nullptr) return true;
  (*def)->super = super;
  (*def)->properties = super->properties;
  (*def)->methods = super->methods;
  for (const PropertyDef& property : super->properties) {
    m_properties.Add(property.name);
  }
  for (const MethodDef& method : super->methods) m_methods.Add(method.name);
  return CountMembers(super->properties.size() + super->methods.size(), line);
}

// "type Name" with the qualifiers applied: an embedded object is a string
// with EmbeddedInstance or EmbeddedObject.
bool MofParser::ParseDeclaration(const Qualifiers& qualifiers,
                                 PropertyDef* decl) {
  if (m_token.kind != TokenKind::kIdentifier) return FailExpected("a type");
  if (!TypeOf(m_token.text, &decl->type)) {
    return Fail(m_token.line, "unknown type " + Quoted(m_token.text));
  }
  if (!Advance()) return false;
  decl->line = m_token.line;
  decl->file = m_file;
  if (!ExpectIdentifier("a name", &decl->name)) return false;
  if (AtPunct('[')) return Fail(m_token.line, "arrays are not supported");
  if (!qualifiers.embedded) return true;
  if (decl->type != CIM_STRING) {
    return Fail(decl->line, "an embedded object must be declared as string");
  }
  decl->type = CIM_OBJECT;
  decl->embeddedClass = qualifiers.embeddedClass;
  return true;
}

bool MofParser::ParseMember(ClassDef* def) {
  Qualifiers qualifiers;
  PropertyDef decl;
  if (!ParseQualifiers(&qualifiers) || !ParseDeclaration(qualifiers, &decl)) {
    return false;
  }
  if (AtPunct('(')) return ParseMethod(def, decl);
  if (!ExpectPunct(';', "after property " + Quoted(decl.name))) return false;
  if (!m_properties.Add(decl.name)) {
    return Fail(decl.line, "duplicate property " + Quoted(decl.name));
  }
  int line = decl.line;
  def->properties.push_back(std::move(decl));
  return CountMembers(1, line);
}

bool MofParser::ParseMethod(ClassDef* def, const PropertyDef& decl) {
  if (decl.type != CIM_UINT32) {
    return Fail(decl.line, "method " + Quoted(decl.name) + " must return uint32");
  }
  if (!m_methods.Add(decl.name)) {
    return Fail(decl.line, "duplicate method " + Quoted(decl.name));
  }
  Signature signature;
  signature.out = m_schema->AddParameterClass();
  PropertyDef returnValue;
  returnValue.name = "ReturnValue";
  returnValue.type = CIM_UINT32;
  if (!AddParameter(signature.out, &signature.outNames, returnValue) ||
      !Advance()) {
    return false;
  }
  while (!AtPunct(')')) {
    if (!ParseParameter(&signature)) return false;
    if (!AtPunct(',')) break;
    if (!Advance()) return false;
  }
  std::string context = "after the parameters of " + Quoted(decl.name);
  if (!ExpectPunct(')', context) || !ExpectPunct(';', context)) return false;
  def->methods.push_back(MethodDef{decl.name, signature.in, signature.out});
  return CountMembers(1, decl.line);
}

// A parameter without In or Out is an input.
bool MofParser::ParseParameter(Signature* signature) {
  Qualifiers qualifiers;
  PropertyDef decl;
  if (!ParseQualifiers(&qualifiers) || !ParseDeclaration(qualifiers, &decl)) {
    return false;
  }
  if (qualifiers.in || !qualifiers.out) {
    if (signature->in == nullptr) signature->in = m_schema->AddParameterClass();
    if (!AddParameter(signature->in, &signature->inNames, decl)) return false;
  }
  if (qualifiers.out) {
    return AddParameter(signature->out, &signature->outNames, decl);
  }
  return true;
}

bool MofParser::AddParameter(ClassDef* cls, NameSet* names,
                             const PropertyDef& decl) {
  if (!names->Add(decl.name)) {
    return Fail(decl.line, "duplicate parameter " + Quoted(decl.name));
  }
  cls->properties.push_back(decl);
  return CountMembers(1, decl.line);
}

}  // namespace

bool ParseMof(const std::string& text, const std::string& fileName,
              Schema* schema, std::string* error) {
  return MofParser(text, fileName, schema).Parse(error);
}

bool ResolveEmbeddedClasses(Schema* schema, std::string* error) {
  for (const auto& def : schema->All()) {
    for (PropertyDef& property : def->properties) {
      if (property.embeddedClass.empty()) continue;
      const ClassDef* embedded = schema->Find(property.embeddedClass);
      if (embedded == nullptr) {
        *error = property.file + ":" + std::to_string(property.line) +
                 ": unknown embedded class " + Quoted(property.embeddedClass);
        return false;
      }
      property.embeddedClass = embedded->name;
    }
  }
  return true;
}

}  // namespace qmx
