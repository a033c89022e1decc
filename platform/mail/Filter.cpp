#include "platform/mail/Filter.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "platform/mail/MailError.h"

namespace brevant::mail {

// And and Or hold all their operands in one node, so a long chain of
// conditions is one level deep, not one level per condition.
struct Filter::Node {
  enum Kind { Compare, And, Or, Not } kind = Compare;
  std::string field, op, literal;
  std::vector<std::shared_ptr<const Node>> operands;
};

namespace {

bool IsNumber(const std::string& s, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0') return false;
  *out = v;
  return true;
}

int CompareText(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Parentheses and Not nest at most this deep: the parser and the
// evaluation recurse once per level.
constexpr int kMaxNesting = 64;

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  std::shared_ptr<const Filter::Node> Whole(std::vector<std::string>* fields) {
    fields_ = fields;
    auto n = OrExpr();
    SkipBlanks();
    if (pos_ != s_.size()) Fail("unexpected text");
    return n;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    // A long filter is named by its start only.
    std::string shown = s_.size() > 200 ? s_.substr(0, 200) + "..." : s_;
    throw MailError(
        13, "Cannot parse the filter \"" + shown + "\": " + why + " at position " + std::to_string(pos_ + 1));
  }
  void SkipBlanks() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  // A keyword (And, Or, Not) followed by a blank, "(" or "[".
  bool Keyword(const char* word) {
    SkipBlanks();
    std::size_t n = std::char_traits<char>::length(word);
    if (pos_ + n > s_.size() || CompareText(s_.substr(pos_, n), word) != 0) return false;
    if (pos_ + n < s_.size()) {
      char c = s_[pos_ + n];
      if (!std::isspace(static_cast<unsigned char>(c)) && c != '(' && c != '[') return false;
    }
    pos_ += n;
    return true;
  }
  using Part = std::shared_ptr<const Filter::Node> (Parser::*)();
  // Operands of `part` joined by `keyword`, all in one node of `kind`.
  std::shared_ptr<const Filter::Node> Chain(Filter::Node::Kind kind, const char* keyword, Part part) {
    auto first = (this->*part)();
    if (!Keyword(keyword)) return first;
    auto n = std::make_shared<Filter::Node>();
    n->kind = kind;
    n->operands.push_back(first);
    do n->operands.push_back((this->*part)());
    while (Keyword(keyword));
    return n;
  }
  std::shared_ptr<const Filter::Node> OrExpr() { return Chain(Filter::Node::Or, "Or", &Parser::AndExpr); }
  std::shared_ptr<const Filter::Node> AndExpr() { return Chain(Filter::Node::And, "And", &Parser::Unary); }
  // One level deeper for the parenthesis or Not being read.
  struct Level {
    explicit Level(Parser& p) : p_(p) {
      if (++p_.depth_ > kMaxNesting)
        p_.Fail("more than " + std::to_string(kMaxNesting) + " levels of nesting");
    }
    ~Level() { --p_.depth_; }
    Parser& p_;
  };
  std::shared_ptr<const Filter::Node> Unary() {
    if (Keyword("Not")) {
      Level level(*this);
      auto n = std::make_shared<Filter::Node>();
      n->kind = Filter::Node::Not;
      n->operands.push_back(Unary());
      return n;
    }
    SkipBlanks();
    if (pos_ < s_.size() && s_[pos_] == '(') {
      Level level(*this);
      ++pos_;
      auto n = OrExpr();
      SkipBlanks();
      if (pos_ >= s_.size() || s_[pos_] != ')') Fail("missing \")\"");
      ++pos_;
      return n;
    }
    return Comparison();
  }
  std::shared_ptr<const Filter::Node> Comparison() {
    SkipBlanks();
    if (pos_ >= s_.size() || s_[pos_] != '[') Fail("expected a [field]");
    std::size_t close = s_.find(']', pos_ + 1);
    if (close == std::string::npos) Fail("missing \"]\"");
    auto n = std::make_shared<Filter::Node>();
    n->field = s_.substr(pos_ + 1, close - pos_ - 1);
    if (n->field.empty()) Fail("empty field name");
    pos_ = close + 1;
    SkipBlanks();
    static const char* kOps[] = {"<>", "<=", ">=", "=", "<", ">"};
    for (const char* op : kOps) {
      std::size_t len = std::char_traits<char>::length(op);
      if (s_.compare(pos_, len, op) == 0) {
        n->op = op;
        pos_ += len;
        break;
      }
    }
    if (n->op.empty()) Fail("expected a comparison");
    SkipBlanks();
    n->literal = Literal();
    fields_->push_back(n->field);
    return n;
  }
  std::string Literal() {
    if (pos_ >= s_.size()) Fail("expected a value");
    char q = s_[pos_];
    if (q == '\'' || q == '"') {
      std::string out;
      ++pos_;
      for (;;) {
        if (pos_ >= s_.size()) Fail("unterminated text");
        char c = s_[pos_++];
        if (c == q) {
          if (pos_ < s_.size() && s_[pos_] == q) {  // doubled quote stands for one
            out += q;
            ++pos_;
            continue;
          }
          return out;
        }
        out += c;
      }
    }
    std::size_t start = pos_;
    while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '.' ||
                                s_[pos_] == '-' || s_[pos_] == '+'))
      ++pos_;
    std::string word = s_.substr(start, pos_ - start);
    double d;
    if (CompareText(word, "True") == 0) return "True";
    if (CompareText(word, "False") == 0) return "False";
    if (!IsNumber(word, &d)) Fail("expected a quoted text, a number or True/False");
    return word;
  }

  const std::string& s_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::vector<std::string>* fields_ = nullptr;
};

bool Eval(const Filter::Node& n, const Filter::Lookup& value) {
  switch (n.kind) {
    case Filter::Node::And:
      for (const auto& o : n.operands)
        if (!Eval(*o, value)) return false;
      return true;
    case Filter::Node::Or:
      for (const auto& o : n.operands)
        if (Eval(*o, value)) return true;
      return false;
    case Filter::Node::Not:
      return !Eval(*n.operands.front(), value);
    case Filter::Node::Compare:
      break;
  }
  std::optional<std::string> v = value(n.field);
  if (!v) return false;
  int c = CompareValues(*v, n.literal);
  if (n.op == "=") return c == 0;
  if (n.op == "<>") return c != 0;
  if (n.op == "<") return c < 0;
  if (n.op == ">") return c > 0;
  if (n.op == "<=") return c <= 0;
  return c >= 0;
}

}  // namespace

int CompareValues(const std::string& a, const std::string& b) {
  double x, y;
  if (IsNumber(a, &x) && IsNumber(b, &y)) return x < y ? -1 : (x > y ? 1 : 0);
  return CompareText(a, b);
}

Filter Filter::Parse(const std::string& text) {
  Filter f;
  Parser p(text);
  f.root_ = p.Whole(&f.fields_);
  return f;
}

bool Filter::Matches(const Lookup& value) const {
  return root_ && Eval(*root_, value);
}

}  // namespace brevant::mail
