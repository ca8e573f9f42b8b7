// tessary-idlgen: reads typelib/tessary.idl and writes what C++ needs beside
// the interface header that widl makes from the same file:
//   tessary.h             widl's header, with string defaults made valid C++
//   tessary_stubs.h       InterfaceId<I> for every interface, and
//                         NotImplemented<I>: every member answers E_NOTIMPL,
//                         so a class overrides only what it provides
//   tessary_classes.cpp   the GUID definitions and the class table (from the
//                         coclasses: CLSID, ProgIDs, display name)
//   tessary_dispatch.cpp  per interface, the member table that
//                         IDispatch is answered from (names, DISPIDs, kinds,
//                         parameter types and defaults) and one thunk per
//                         member that makes the typed vtable call
//
// It reads the subset of IDL the project writes: imports, enum typedefs,
// forward declarations, interfaces with attribute lists, and one library
// block with coclasses. Anything else is an error, reported with its line.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
  enum Kind { kIdent, kNumber, kString, kPunct, kEnd } kind;
  std::string text;
  int line;
};

[[noreturn]] void Fail(int line, const std::string& message) {
  std::fprintf(stderr, "tessary.idl:%d: %s\n", line, message.c_str());
  std::exit(1);
}

std::vector<Token> Tokenize(const std::string& src) {
  std::vector<Token> out;
  int line = 1;
  size_t i = 0;
  while (i < src.size()) {
    char c = src[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
      while (i < src.size() && src[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
      i += 2;
      while (i + 1 < src.size() && !(src[i] == '*' && src[i + 1] == '/')) {
        if (src[i] == '\n') ++line;
        ++i;
      }
      i += 2;
    } else if (c == '"') {
      size_t j = i + 1;
      std::string text;
      while (j < src.size() && src[j] != '"') {
        if (src[j] == '\\' && j + 1 < src.size()) ++j;
        text += src[j++];
      }
      if (j >= src.size()) Fail(line, "unterminated string");
      out.push_back({Token::kString, text, line});
      i = j + 1;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '-' && i + 1 < src.size() && std::isdigit(static_cast<unsigned char>(src[i + 1])))) {
      size_t j = i + 1;
      while (j < src.size() && (std::isalnum(static_cast<unsigned char>(src[j])) || src[j] == '-'))
        ++j;
      out.push_back({Token::kNumber, src.substr(i, j - i), line});
      i = j;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t j = i;
      while (j < src.size() && (std::isalnum(static_cast<unsigned char>(src[j])) || src[j] == '_'))
        ++j;
      out.push_back({Token::kIdent, src.substr(i, j - i), line});
      i = j;
    } else {
      out.push_back({Token::kPunct, std::string(1, c), line});
      ++i;
    }
  }
  out.push_back({Token::kEnd, "", line});
  return out;
}

// One attribute: a name and, when it has one, its raw argument text.
struct Attribute {
  std::string name;
  std::string arg;
  bool has_arg = false;
};
using Attributes = std::vector<Attribute>;

const Attribute* FindAttr(const Attributes& attrs, const std::string& name) {
  for (const Attribute& a : attrs)
    if (a.name == name) return &a;
  return nullptr;
}

struct Param {
  Attributes attrs;
  std::string type;  // as written, with '*' for each pointer level
  std::string name;
  int line = 0;
};

struct Member {
  Attributes attrs;
  std::string name;
  std::vector<Param> params;
  int line = 0;
};

struct Interface {
  Attributes attrs;
  std::string name;
  std::string base;
  std::vector<Member> members;
  bool in_library = false;
};

struct Coclass {
  Attributes attrs;
  std::string name;
  std::string default_interface;
};

struct Library {
  Attributes attrs;
  std::string name;
};

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : t_(std::move(tokens)) {}

  void ParseFile() {
    while (Peek().kind != Token::kEnd) {
      Attributes attrs;
      if (IsPunct("[")) attrs = ParseAttributes();
      const Token& tok = Peek();
      if (tok.kind != Token::kIdent) Fail(tok.line, "unexpected '" + tok.text + "'");
      if (tok.text == "import") {
        Next();
        Expect(Token::kString);
        ExpectPunct(";");
      } else if (tok.text == "typedef") {
        ParseEnum();
      } else if (tok.text == "interface") {
        ParseInterface(attrs);
      } else if (tok.text == "library") {
        ParseLibrary(attrs);
      } else {
        Fail(tok.line, "unexpected '" + tok.text + "'");
      }
    }
  }

  std::vector<Interface> interfaces;
  std::vector<Coclass> coclasses;
  std::map<std::string, long> enum_values;
  std::set<std::string> enum_types;
  Library library;

 private:
  const Token& Peek(size_t ahead = 0) const { return t_[std::min(pos_ + ahead, t_.size() - 1)]; }
  const Token& Next() { return t_[pos_ < t_.size() - 1 ? pos_++ : pos_]; }
  bool IsPunct(const char* p) const { return Peek().kind == Token::kPunct && Peek().text == p; }
  const Token& Expect(Token::Kind kind) {
    if (Peek().kind != kind) Fail(Peek().line, "unexpected '" + Peek().text + "'");
    return Next();
  }
  void ExpectPunct(const char* p) {
    if (!IsPunct(p)) Fail(Peek().line, std::string("expected '") + p + "', found '" + Peek().text + "'");
    Next();
  }
  void ExpectIdent(const char* word) {
    if (Peek().kind != Token::kIdent || Peek().text != word)
      Fail(Peek().line, std::string("expected '") + word + "'");
    Next();
  }

  Attributes ParseAttributes() {
    Attributes attrs;
    ExpectPunct("[");
    while (!IsPunct("]")) {
      Attribute a;
      a.name = Expect(Token::kIdent).text;
      if (IsPunct("(")) {
        Next();
        a.has_arg = true;
        int depth = 1;
        while (true) {
          const Token& tok = Next();
          if (tok.kind == Token::kEnd) Fail(tok.line, "unterminated attribute");
          if (tok.kind == Token::kPunct && tok.text == "(") ++depth;
          if (tok.kind == Token::kPunct && tok.text == ")" && --depth == 0) break;
          if (tok.kind == Token::kString) {
            a.arg += "\"" + tok.text + "\"";
          } else {
            a.arg += tok.text;
          }
        }
      }
      attrs.push_back(a);
      if (IsPunct(",")) Next();
    }
    ExpectPunct("]");
    return attrs;
  }

  void ParseEnum() {
    ExpectIdent("typedef");
    if (IsPunct("[")) ParseAttributes();
    ExpectIdent("enum");
    std::string tag = Expect(Token::kIdent).text;
    ExpectPunct("{");
    long next = 0;
    while (!IsPunct("}")) {
      std::string name = Expect(Token::kIdent).text;
      long value = next;
      if (IsPunct("=")) {
        Next();
        value = std::strtol(Expect(Token::kNumber).text.c_str(), nullptr, 0);
      }
      enum_values[name] = value;
      next = value + 1;
      if (IsPunct(",")) Next();
    }
    ExpectPunct("}");
    enum_types.insert(tag);
    enum_types.insert(Expect(Token::kIdent).text);
    ExpectPunct(";");
  }

  std::string ParseType() {
    std::string type = Expect(Token::kIdent).text;
    if (type == "unsigned") type += " " + Expect(Token::kIdent).text;
    while (IsPunct("*")) {
      Next();
      type += "*";
    }
    return type;
  }

  void ParseInterface(const Attributes& attrs) {
    ExpectIdent("interface");
    std::string name = Expect(Token::kIdent).text;
    if (IsPunct(";")) {  // forward declaration or a library reference
      Next();
      return;
    }
    Interface itf;
    itf.attrs = attrs;
    itf.name = name;
    ExpectPunct(":");
    itf.base = Expect(Token::kIdent).text;
    ExpectPunct("{");
    while (!IsPunct("}")) {
      Member m;
      m.line = Peek().line;
      if (IsPunct("[")) m.attrs = ParseAttributes();
      ExpectIdent("HRESULT");
      m.name = Expect(Token::kIdent).text;
      ExpectPunct("(");
      while (!IsPunct(")")) {
        Param p;
        p.line = Peek().line;
        if (IsPunct("[")) p.attrs = ParseAttributes();
        p.type = ParseType();
        if (p.type == "void" && IsPunct(")")) break;  // f(void)
        p.name = Expect(Token::kIdent).text;
        m.params.push_back(p);
        if (IsPunct(",")) Next();
      }
      ExpectPunct(")");
      ExpectPunct(";");
      itf.members.push_back(m);
    }
    ExpectPunct("}");
    ExpectPunct(";");
    interfaces.push_back(itf);
  }

  void ParseLibrary(const Attributes& attrs) {
    ExpectIdent("library");
    library.attrs = attrs;
    library.name = Expect(Token::kIdent).text;
    ExpectPunct("{");
    while (!IsPunct("}")) {
      Attributes a;
      if (IsPunct("[")) a = ParseAttributes();
      const Token& tok = Expect(Token::kIdent);
      if (tok.text == "importlib") {
        ExpectPunct("(");
        Expect(Token::kString);
        ExpectPunct(")");
        ExpectPunct(";");
      } else if (tok.text == "coclass") {
        Coclass c;
        c.attrs = a;
        c.name = Expect(Token::kIdent).text;
        ExpectPunct("{");
        while (!IsPunct("}")) {
          Attributes ia;
          if (IsPunct("[")) ia = ParseAttributes();
          ExpectIdent("interface");
          std::string itf = Expect(Token::kIdent).text;
          ExpectPunct(";");
          if (FindAttr(ia, "default") || c.default_interface.empty()) c.default_interface = itf;
          referenced_.insert(itf);
        }
        ExpectPunct("}");
        ExpectPunct(";");
        coclasses.push_back(c);
      } else if (tok.text == "interface") {
        std::string itf = Expect(Token::kIdent).text;
        ExpectPunct(";");
        referenced_.insert(itf);
      } else {
        Fail(tok.line, "unexpected '" + tok.text + "' in the library");
      }
    }
    ExpectPunct("}");
    ExpectPunct(";");
    for (Interface& itf : interfaces) itf.in_library = referenced_.count(itf.name) > 0;
  }

  std::vector<Token> t_;
  size_t pos_ = 0;
  std::set<std::string> referenced_;
};

// ---------------------------------------------------------------------------
// Output helpers

struct Guid {
  unsigned long d1;
  unsigned d2, d3;
  unsigned d4[8];
};

Guid ParseGuid(const std::string& text, int line) {
  Guid g{};
  unsigned b[8];
  if (std::sscanf(text.c_str(), "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &g.d1, &g.d2, &g.d3, &b[0],
                  &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    Fail(line, "bad uuid '" + text + "'");
  for (int i = 0; i < 8; ++i) g.d4[i] = b[i];
  return g;
}

std::string GuidInitializer(const Guid& g) {
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "{0x%08lx, 0x%04x, 0x%04x, {0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x, 0x%02x, "
                "0x%02x}}",
                g.d1, g.d2, g.d3, g.d4[0], g.d4[1], g.d4[2], g.d4[3], g.d4[4], g.d4[5], g.d4[6], g.d4[7]);
  return buf;
}

std::string CppName(const Member& m) {
  if (FindAttr(m.attrs, "propget")) return "get_" + m.name;
  if (FindAttr(m.attrs, "propput")) return "put_" + m.name;
  if (FindAttr(m.attrs, "propputref")) return "putref_" + m.name;
  return m.name;
}

// The C++ spelling of an IDL type as widl's header writes it: "IFile**" ->
// "IFile **", "long" -> "LONG" (32 bits on every target).
std::string CppType(const std::string& type) {
  size_t star = type.find('*');
  std::string base = star == std::string::npos ? type : type.substr(0, star);
  std::string stars = star == std::string::npos ? "" : " " + type.substr(star);
  if (base == "long") base = "LONG";
  if (base == "unsigned char") base = "BYTE";
  return base + stars;
}

bool IsRetval(const Param& p) { return FindAttr(p.attrs, "retval") != nullptr; }

class Generator {
 public:
  Generator(const Parser& p, std::string out_dir) : p_(p), out_(std::move(out_dir)) {
    for (const Interface& itf : p_.interfaces) known_interfaces_.insert(itf.name);
  }

  void WriteStubs() {
    std::ostringstream o;
    o << "// Generated by tessary-idlgen from tessary.idl. Do not edit.\n#pragma once\n\n"
      << "#include \"tessary.h\"\n\nnamespace tessary::gen {\n\n"
      << "template <class Itf>\nstruct InterfaceId;\n"
      << "template <class Itf>\nclass NotImplemented;\n\n";
    for (const Interface& itf : p_.interfaces) {
      o << "template <>\nstruct InterfaceId<" << itf.name << "> {\n  static const IID& Get() { return IID_"
        << itf.name << "; }\n};\n\n";
      o << "template <>\nclass NotImplemented<" << itf.name << "> : public " << itf.name
        << " {\n public:\n";
      for (const Member& m : itf.members) {
        o << "  HRESULT STDMETHODCALLTYPE " << CppName(m) << "(";
        for (size_t i = 0; i < m.params.size(); ++i)
          o << (i ? ", " : "") << CppType(m.params[i].type);
        o << ") override { return E_NOTIMPL; }\n";
      }
      o << "};\n\n";
    }
    o << "}  // namespace tessary::gen\n";
    Write("tessary_stubs.h", o.str());
  }

  void WriteClasses() {
    std::ostringstream o;
    o << "// Generated by tessary-idlgen from tessary.idl. Do not edit.\n"
      << "#include \"frame/class_table.h\"\n#include \"tessary_stubs.h\"\n\n";
    // The GUIDs are defined here once; widl's header only declares them.
    const Attribute* lib_uuid = FindAttr(p_.library.attrs, "uuid");
    if (!lib_uuid) Fail(0, "the library has no uuid");
    o << "EXTERN_C const GUID LIBID_" << p_.library.name << " = "
      << GuidInitializer(ParseGuid(lib_uuid->arg, 0)) << ";\n";
    for (const Interface& itf : p_.interfaces) {
      const Attribute* uuid = FindAttr(itf.attrs, "uuid");
      if (!uuid) Fail(0, "interface " + itf.name + " has no uuid");
      o << "EXTERN_C const GUID IID_" << itf.name << " = " << GuidInitializer(ParseGuid(uuid->arg, 0))
        << ";\n";
    }
    for (const Coclass& c : p_.coclasses) {
      const Attribute* uuid = FindAttr(c.attrs, "uuid");
      if (!uuid) Fail(0, "coclass " + c.name + " has no uuid");
      o << "EXTERN_C const GUID CLSID_" << c.name << " = " << GuidInitializer(ParseGuid(uuid->arg, 0))
        << ";\n";
    }
    o << "\n";
    std::vector<const Coclass*> creatable;
    for (const Coclass& c : p_.coclasses)
      if (!FindAttr(c.attrs, "noncreatable")) creatable.push_back(&c);
    for (const Coclass* c : creatable)
      o << "HRESULT CreateInstance_" << c->name << "(REFIID riid, void** ppv);\n";
    o << "\nnamespace tessary {\n\nconst ClassEntry kClassTable[] = {\n";
    for (const Coclass* c : creatable) {
      const Attribute* progid = FindAttr(c->attrs, "progid");
      const Attribute* vi = FindAttr(c->attrs, "vi_progid");
      const Attribute* help = FindAttr(c->attrs, "helpstring");
      const Attribute* threading = FindAttr(c->attrs, "threading");
      if (!progid || !vi || !help || !threading) Fail(0, "coclass " + c->name + " lacks registration data");
      std::string model = threading->arg == "both" ? "Both" : threading->arg == "apartment" ? "Apartment" : "Free";
      o << "    {&CLSID_" << c->name << ", \"" << c->name << "\", " << progid->arg << ", " << vi->arg << ", "
        << help->arg << ", \"" << model << "\", &IID_" << c->default_interface << ", &CreateInstance_"
        << c->name << "},\n";
    }
    o << "};\nconst size_t kClassCount = " << creatable.size() << ";\n\n";
    const Attribute* lib_help = FindAttr(p_.library.attrs, "helpstring");
    const Attribute* lib_version = FindAttr(p_.library.attrs, "version");
    if (!lib_help || !lib_version) Fail(0, "the library needs a helpstring and a version");
    unsigned major = 0, minor = 0;
    std::sscanf(lib_version->arg.c_str(), "%u.%u", &major, &minor);
    o << "const LibraryInfo kLibrary = {&LIBID_" << p_.library.name << ", " << lib_help->arg << ", "
      << major << ", " << minor << "};\n\n}  // namespace tessary\n";
    Write("tessary_classes.cpp", o.str());
  }

  void WriteDispatch() {
    std::ostringstream o;
    o << "// Generated by tessary-idlgen from tessary.idl. Do not edit.\n"
      << "// The dispatch tables that both targets answer IDispatch from.\n"
      << "#include \"frame/dispatch_table.h\"\n#include \"tessary_stubs.h\"\n\n"
      << "namespace tessary::dispatch {\nnamespace {\n\n";
    for (const Interface& itf : p_.interfaces) {
      if (!itf.in_library) continue;
      for (const Member& m : itf.members) WriteMember(o, itf, m);
      o << "const MemberInfo kMembers_" << itf.name << "[] = {\n";
      for (const Member& m : itf.members) {
        const Attribute* id = FindAttr(m.attrs, "id");
        if (!id) Fail(m.line, "member " + m.name + " has no id");
        const char* kind = FindAttr(m.attrs, "propget")      ? "DISPATCH_PROPERTYGET"
                           : FindAttr(m.attrs, "propput")    ? "DISPATCH_PROPERTYPUT"
                           : FindAttr(m.attrs, "propputref") ? "DISPATCH_PROPERTYPUTREF"
                                                             : "DISPATCH_METHOD";
        size_t inputs = 0;
        const Param* ret = nullptr;
        for (const Param& p : m.params) {
          if (IsRetval(p)) {
            ret = &p;
          } else {
            ++inputs;
          }
        }
        std::string key = itf.name + "_" + CppName(m);
        o << "    {u\"" << m.name << "\", static_cast<DISPID>(" << id->arg << "), " << kind << ", "
          << (inputs ? "kParams_" + key : std::string("nullptr")) << ", " << inputs << ", "
          << (ret ? VarType(ret->type.substr(0, ret->type.size() - 1), ret->line) : "VT_EMPTY") << ", &Thunk_"
          << key << "},\n";
      }
      o << "};\n\n";
    }
    o << "}  // namespace\n\n";
    for (const Interface& itf : p_.interfaces) {
      if (!itf.in_library) continue;
      o << "const InterfaceInfo kInterface_" << itf.name << " = {\"" << itf.name << "\", &IID_" << itf.name
        << ", kMembers_" << itf.name << ", sizeof(kMembers_" << itf.name << ") / sizeof(MemberInfo)};\n";
    }
    o << "\n}  // namespace tessary::dispatch\n";
    for (const Interface& itf : p_.interfaces) {
      if (!itf.in_library) continue;
      o << "template <>\nconst tessary::dispatch::InterfaceInfo& tessary::dispatch::InfoOf<" << itf.name
        << ">() {\n  return kInterface_" << itf.name << ";\n}\n";
    }
    Write("tessary_dispatch.cpp", o.str());
  }

  void FixHeader(const std::string& raw_path) {
    std::ifstream in(raw_path, std::ios::binary);
    if (!in) Fail(0, "cannot read " + raw_path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // widl writes defaultvalue("") as L"", which is no BSTR in C++; a null BSTR
    // is the empty string by convention.
    size_t at;
    while ((at = text.find("= L\"\"")) != std::string::npos) text.replace(at, 5, "= NULL");
    // A script may pass any long where an enumeration is declared, as the
    // system's dispatcher does, and C++ gives a value outside an
    // enumeration's own range no meaning unless the enumeration has a fixed
    // type: every enumeration is given int, as Windows compilers give it.
    const std::string opening = "typedef enum ";
    for (at = text.find(opening); at != std::string::npos; at = text.find(opening, at + 1)) {
      const size_t brace = text.find(" {", at);
      if (brace == std::string::npos || text.find('\n', at) < brace) continue;
      text.insert(brace, " TESSARY_ENUM_BASE");
    }
    text = "#ifdef __cplusplus\n#define TESSARY_ENUM_BASE : int\n#else\n#define TESSARY_ENUM_BASE\n"
           "#endif\n" +
           text;
    Write("tessary.h", text);
  }

 private:
  // The variant type a parameter of this IDL type travels in.
  std::string VarType(const std::string& type, int line) const {
    if (type == "BSTR") return "VT_BSTR";
    if (type == "VARIANT_BOOL") return "VT_BOOL";
    if (type == "long" || type == "int") return "VT_I4";
    if (type == "short") return "VT_I2";
    if (type == "unsigned char" || type == "BYTE") return "VT_UI1";
    if (type == "double") return "VT_R8";
    if (type == "float") return "VT_R4";
    if (type == "DATE") return "VT_DATE";
    if (type == "VARIANT") return "VT_VARIANT";
    if (type == "VARIANT*") return "(VT_VARIANT | VT_BYREF)";
    if (type == "IUnknown*") return "VT_UNKNOWN";
    if (type == "IDispatch*") return "VT_DISPATCH";
    if (p_.enum_types.count(type)) return "VT_I4";
    if (type.size() > 1 && type.back() == '*' && known_interfaces_.count(type.substr(0, type.size() - 1)))
      return "VT_DISPATCH";
    Fail(line, "type '" + type + "' cannot travel through IDispatch");
  }

  // The expression that passes coerced argument `i` as this IDL type.
  std::string ArgExpr(const std::string& type, size_t i) const {
    std::string a = "a[" + std::to_string(i) + "]";
    if (type == "BSTR") return a + ".bstrVal";
    if (type == "VARIANT_BOOL") return a + ".boolVal";
    if (type == "long" || type == "int") return a + ".lVal";
    if (type == "short") return a + ".iVal";
    if (type == "unsigned char" || type == "BYTE") return a + ".bVal";
    if (type == "double") return a + ".dblVal";
    if (type == "float") return a + ".fltVal";
    if (type == "DATE") return a + ".date";
    if (type == "VARIANT") return a;
    if (type == "VARIANT*") return "&" + a;
    if (type == "IUnknown*") return a + ".punkVal";
    if (type == "IDispatch*") return a + ".pdispVal";
    if (p_.enum_types.count(type)) return "static_cast<" + type + ">(" + a + ".lVal)";
    return "static_cast<" + type + ">(" + a + ".pdispVal)";
  }

  std::string DefaultExpr(const Param& p) const {
    const Attribute* d = FindAttr(p.attrs, "defaultvalue");
    if (!d) return "{VT_ERROR, 0, nullptr}";  // optional without a default: "missing"
    std::string vt = VarType(p.type, p.line);
    if (vt == "VT_BSTR") {
      if (d->arg.empty() || d->arg[0] != '"') Fail(p.line, "string default expected");
      return "{VT_BSTR, 0, u" + d->arg + "}";
    }
    long value;
    auto e = p_.enum_values.find(d->arg);
    if (e != p_.enum_values.end()) {
      value = e->second;
    } else {
      char* end = nullptr;
      value = std::strtol(d->arg.c_str(), &end, 0);
      if (!end || *end) Fail(p.line, "cannot read default '" + d->arg + "'");
    }
    return "{" + vt + ", " + std::to_string(value) + ", nullptr}";
  }

  void WriteMember(std::ostringstream& o, const Interface& itf, const Member& m) {
    std::string key = itf.name + "_" + CppName(m);
    std::vector<const Param*> inputs;
    const Param* ret = nullptr;
    for (const Param& p : m.params) {
      if (IsRetval(p)) {
        ret = &p;
      } else if (FindAttr(p.attrs, "out")) {
        Fail(p.line, "[out] parameters other than the retval cannot travel through IDispatch");
      } else {
        inputs.push_back(&p);
      }
    }
    if (!inputs.empty()) {
      o << "const ParamInfo kParams_" << key << "[] = {\n";
      for (const Param* p : inputs) {
        bool optional = FindAttr(p->attrs, "optional") || FindAttr(p->attrs, "defaultvalue");
        o << "    {u\"" << p->name << "\", " << VarType(p->type, p->line) << ", " << (optional ? "true" : "false")
          << ", " << DefaultExpr(*p) << "},\n";
      }
      o << "};\n";
    }
    o << "HRESULT Thunk_" << key << "(void* self, VARIANT* a, VARIANT* r) {\n";
    std::string call = "static_cast<" + itf.name + "*>(self)->" + CppName(m) + "(";
    for (size_t i = 0; i < inputs.size(); ++i) call += (i ? ", " : "") + ArgExpr(inputs[i]->type, i);
    if (!ret) {
      o << "  (void)a;\n  (void)r;\n  return " << call << ");\n}\n";
      return;
    }
    std::string type = ret->type.substr(0, ret->type.size() - 1);
    std::string vt = VarType(type, ret->line);
    if (vt == "VT_VARIANT") {
      o << "  return " << call << (inputs.empty() ? "" : ", ") << "r);\n}\n";
      return;
    }
    std::string field = vt == "VT_BSTR"       ? "bstrVal"
                        : vt == "VT_BOOL"     ? "boolVal"
                        : vt == "VT_I4"       ? "lVal"
                        : vt == "VT_I2"       ? "iVal"
                        : vt == "VT_UI1"      ? "bVal"
                        : vt == "VT_R8"       ? "dblVal"
                        : vt == "VT_R4"       ? "fltVal"
                        : vt == "VT_DATE"     ? "date"
                        : vt == "VT_UNKNOWN"  ? "punkVal"
                                              : "pdispVal";
    std::string local_type = CppType(type);
    std::string init = "{}";
    o << "  " << local_type << " value" << init << ";\n"
      << "  HRESULT hr = " << call << (inputs.empty() ? "" : ", ") << "&value);\n"
      << "  if (SUCCEEDED(hr)) {\n    r->vt = " << vt << ";\n";
    if (p_.enum_types.count(type)) {
      o << "    r->lVal = static_cast<LONG>(value);\n";
    } else {
      o << "    r->" << field << " = value;\n";
    }
    o << "  }\n  return hr;\n}\n";
  }

  void Write(const std::string& name, const std::string& text) {
    std::string path = out_ + "/" + name;
    // Leave an unchanged file alone so that its dependants are not rebuilt.
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (old == text) return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) Fail(0, "cannot write " + path);
  }

  const Parser& p_;
  std::string out_;
  std::set<std::string> known_interfaces_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tessary-idlgen TESSARY.IDL WIDL-HEADER OUTPUT-DIR\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "tessary-idlgen: cannot read %s\n", argv[1]);
    return 1;
  }
  std::string src((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Parser parser(Tokenize(src));
  parser.ParseFile();
  Generator gen(parser, argv[3]);
  gen.FixHeader(argv[2]);
  gen.WriteStubs();
  gen.WriteClasses();
  gen.WriteDispatch();
  return 0;
}
