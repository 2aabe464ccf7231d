// The script engine's reading of an expression: tokens, a tree of nodes, and its evaluation.
//
// The whole text is read into a tree before anything is evaluated, so that a syntax error
// anywhere wins over a run-time error, as in VBScript. Chains of operators of one precedence
// level are one node evaluated in a loop, so that evaluation recurses only as deep as the text
// nests (bounded by kMaxDepth), however long a chain is.
#include <fmt/format.h>

#include <charconv>
#include <utility>
#include <vector>

#include "components/script/internal.h"
#include "components/script/script.h"

namespace quorlan {
namespace {

using script::Fail;
using script::Op;
using script::Operand;

enum class Tok { kEnd, kLiteral, kName, kOperator, kNot, kOpen, kClose, kComma };

struct Token {
  Tok kind = Tok::kEnd;
  int position = 0;       // 1-based character position
  std::string_view text;  // as written
  Op op = Op::kAdd;       // of kOperator
  VbValue value;          // of kLiteral
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsOctalDigit(char c) { return c >= '0' && c <= '7'; }

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  std::vector<Token> Run() {
    std::vector<Token> tokens;
    for (;;) {
      while (i_ < text_.size() && (text_[i_] == ' ' || text_[i_] == '\t')) ++i_;
      tokens.push_back(Next());
      if (tokens.back().kind == Tok::kEnd) return tokens;
    }
  }

 private:
  // The character position of a byte offset; offsets are asked for in increasing order.
  int PositionOf(size_t offset) {
    while (counted_bytes_ < offset) {
      counted_bytes_ += script::Utf8Length(text_, counted_bytes_);
      ++counted_chars_;
    }
    return counted_chars_ + 1;
  }

  Token Next() {
    Token t;
    t.position = PositionOf(i_);
    if (i_ == text_.size()) return t;
    const size_t start = i_;
    const char c = text_[i_];
    const char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
    const char after = i_ + 2 < text_.size() ? text_[i_ + 2] : '\0';
    if (IsDigit(c) || (c == '.' && IsDigit(next))) {
      t.kind = Tok::kLiteral;
      t.value = Number(t.position);
    } else if (c == '&' && (next == 'H' || next == 'h') && IsHexDigit(after)) {
      t.kind = Tok::kLiteral;
      t.value = Radix(16, t.position);
    } else if (c == '&' && (next == 'O' || next == 'o') && IsOctalDigit(after)) {
      t.kind = Tok::kLiteral;
      t.value = Radix(8, t.position);
    } else if (c == '"') {
      t.kind = Tok::kLiteral;
      t.value = String(t.position);
    } else if (IsLetter(c)) {
      while (i_ < text_.size() && (IsLetter(text_[i_]) || IsDigit(text_[i_]) || text_[i_] == '_')) {
        ++i_;
      }
      Word(text_.substr(start, i_ - start), &t);
    } else {
      Symbol(&t);
    }
    t.text = text_.substr(start, i_ - start);
    return t;
  }

  // 12 (Integer), 40000 (Long), 3000000000 and 1.5e3 (Double).
  VbValue Number(int position) {
    const size_t start = i_;
    bool real = false;
    while (i_ < text_.size() && IsDigit(text_[i_])) ++i_;
    if (i_ < text_.size() && text_[i_] == '.') {
      real = true;
      for (++i_; i_ < text_.size() && IsDigit(text_[i_]);) ++i_;
    }
    if (i_ < text_.size() && (text_[i_] == 'e' || text_[i_] == 'E')) {
      size_t j = i_ + 1;
      if (j < text_.size() && (text_[j] == '+' || text_[j] == '-')) ++j;
      if (j < text_.size() && IsDigit(text_[j])) {
        real = true;
        for (i_ = j; i_ < text_.size() && IsDigit(text_[i_]);) ++i_;
      }
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + i_;
    if (!real) {
      uint64_t whole = 0;
      auto [p, ec] = std::from_chars(first, last, whole);
      if (ec == std::errc() && whole <= INT16_MAX)
        return VbValue::Integer(static_cast<int16_t>(whole));
      if (ec == std::errc() && whole <= INT32_MAX)
        return VbValue::Long(static_cast<int32_t>(whole));
    }
    double v = 0;
    auto [p, ec] = std::from_chars(first, last, v, std::chars_format::general);
    if (ec != std::errc() || p != last) Fail(err::kOverflow, "Overflow", position);
    return VbValue::Double(v);
  }

  // &H1F, &O17: up to FFFF a 16-bit pattern, up to FFFFFFFF a 32-bit one.
  VbValue Radix(int base, int position) {
    i_ += 2;
    const size_t start = i_;
    while (i_ < text_.size() && (base == 16 ? IsHexDigit(text_[i_]) : IsOctalDigit(text_[i_]))) {
      ++i_;
    }
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(text_.data() + start, text_.data() + i_, v, base);
    if (ec != std::errc() || v > 0xFFFFFFFFu) Fail(err::kOverflow, "Overflow", position);
    if (v <= 0xFFFF) return VbValue::Integer(static_cast<int16_t>(static_cast<uint16_t>(v)));
    return VbValue::Long(static_cast<int32_t>(static_cast<uint32_t>(v)));
  }

  // "text", with "" standing for one quote.
  VbValue String(int position) {
    std::string s;
    for (++i_;; ++i_) {
      if (i_ == text_.size()) Fail(err::kSyntaxError, "Unterminated string", position);
      if (text_[i_] == '"') {
        if (i_ + 1 < text_.size() && text_[i_ + 1] == '"') {
          ++i_;
        } else {
          ++i_;
          return VbValue::String(std::move(s));
        }
      }
      s.push_back(text_[i_]);
    }
  }

  static void Word(std::string_view word, Token* t) {
    static constexpr std::pair<const char*, Op> kWordOperators[] = {
        {"Mod", Op::kMod}, {"And", Op::kAnd}, {"Or", Op::kOr},
        {"Xor", Op::kXor}, {"Eqv", Op::kEqv}, {"Imp", Op::kImp},
    };
    for (const auto& [name, op] : kWordOperators) {
      if (EqualsNoCase(word, name)) {
        t->kind = Tok::kOperator;
        t->op = op;
        return;
      }
    }
    if (EqualsNoCase(word, "Not")) {
      t->kind = Tok::kNot;
    } else if (EqualsNoCase(word, "True") || EqualsNoCase(word, "False")) {
      t->kind = Tok::kLiteral;
      t->value = VbValue::Boolean(EqualsNoCase(word, "True"));
    } else {
      t->kind = Tok::kName;
    }
  }

  void Symbol(Token* t) {
    const char c = text_[i_];
    const char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
    static constexpr std::pair<char, Op> kSingle[] = {
        {'+', Op::kAdd},     {'-', Op::kSub}, {'*', Op::kMul},    {'/', Op::kDiv},
        {'\\', Op::kIntDiv}, {'^', Op::kPow}, {'&', Op::kConcat}, {'=', Op::kEq},
    };
    t->kind = Tok::kOperator;
    ++i_;
    // VBScript also reads => as >=, =< as <= and >< as <>.
    if (c == '=' && (next == '>' || next == '<')) {
      ++i_;
      t->op = next == '>' ? Op::kGe : Op::kLe;
      return;
    }
    if (c == '>' && next == '<') {
      ++i_;
      t->op = Op::kNe;
      return;
    }
    if (c == '<' || c == '>') {
      if (next == '=' || (c == '<' && next == '>')) ++i_;
      t->op = next == '='   ? (c == '<' ? Op::kLe : Op::kGe)
              : c == '>'    ? Op::kGt
              : next == '>' ? Op::kNe
                            : Op::kLt;
      return;
    }
    for (const auto& [symbol, op] : kSingle) {
      if (c == symbol) {
        t->op = op;
        return;
      }
    }
    if (c == '(' || c == ')' || c == ',') {
      t->kind = c == '(' ? Tok::kOpen : c == ')' ? Tok::kClose : Tok::kComma;
      return;
    }
    // A printable character is shown as it is, a control character or stray byte by its code.
    const unsigned char u = static_cast<unsigned char>(c);
    const size_t length = script::Utf8Length(text_, i_ - 1);
    Fail(err::kSyntaxError,
         (u >= 0x21 && u < 0x7F) || length > 1
             ? fmt::format("Invalid character '{}'", text_.substr(i_ - 1, length))
             : fmt::format("Invalid character 0x{:02X}", u),
         t->position);
  }

  std::string_view text_;
  size_t i_ = 0;
  size_t counted_bytes_ = 0;
  int counted_chars_ = 0;
};

enum class NodeKind { kLiteral, kChain, kNegate, kPlus, kNot, kCall };

// One node of the expression tree; children are indexes into the parser's node list.
struct Node {
  NodeKind kind = NodeKind::kLiteral;
  int position = 0;
  VbValue value;                  // kLiteral
  std::vector<int> children;      // operands of kChain, the operand of the unary kinds, arguments
  std::vector<Op> ops;            // kChain: ops[i] joins children[i] and children[i + 1]
  std::vector<int> op_positions;  // kChain
  std::string_view name;          // kCall, as written
  const script::Function* function = nullptr;  // kCall; nullptr for an unknown name
  bool has_arguments = false;                  // kCall: the name is followed by parentheses
};

// The operators of each binary precedence level, from the lowest. Not sits between And and the
// comparisons; ^ comes after the last level, and unary minus and plus after ^.
constexpr int kNotLevel = 5;
constexpr int kLevels = 12;
const std::vector<Op> kLevelOps[kLevels] = {
    {Op::kImp},
    {Op::kEqv},
    {Op::kXor},
    {Op::kOr},
    {Op::kAnd},
    {},
    {Op::kEq, Op::kNe, Op::kLt, Op::kGt, Op::kLe, Op::kGe},
    {Op::kConcat},
    {Op::kAdd, Op::kSub},
    {Op::kMod},
    {Op::kIntDiv},
    {Op::kMul, Op::kDiv},
};

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  // Reads the whole expression; returns the root node. Throws the first syntax error.
  int Run() {
    const int root = Expression();
    if (Peek().kind != Tok::kEnd) {
      Fail(err::kSyntaxError, "Expected end of expression", Peek().position);
    }
    return root;
  }

  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  // Counts one level of nesting for as long as it lives.
  class Nesting {
   public:
    Nesting(Parser* p, int position) : p_(p) {
      if (++p_->depth_ > ScriptEngine::kMaxDepth) {
        Fail(err::kSyntaxError,
             fmt::format("Expression nested deeper than {} levels", ScriptEngine::kMaxDepth),
             position);
      }
    }
    ~Nesting() { --p_->depth_; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

   private:
    Parser* p_;
  };

  const Token& Peek() const { return tokens_[next_]; }
  const Token& Take() { return tokens_[next_++]; }

  int Add(Node node) {
    nodes_.push_back(std::move(node));
    return static_cast<int>(nodes_.size()) - 1;
  }

  int Unary(NodeKind kind, int position, int child) {
    Node n;
    n.kind = kind;
    n.position = position;
    n.children = {child};
    return Add(std::move(n));
  }

  int Expression() {
    const Nesting nesting(this, Peek().position);
    return Level(0);
  }

  bool AtOperatorOf(const std::vector<Op>& ops) const {
    if (Peek().kind != Tok::kOperator) return false;
    for (Op op : ops) {
      if (Peek().op == op) return true;
    }
    return false;
  }

  int Level(int level) {
    if (level == kNotLevel) return NotOperand();
    if (level == kLevels) return Power();
    const int first = Level(level + 1);
    if (!AtOperatorOf(kLevelOps[level])) return first;
    Node chain;
    chain.kind = NodeKind::kChain;
    chain.position = nodes_[static_cast<size_t>(first)].position;
    chain.children = {first};
    while (AtOperatorOf(kLevelOps[level])) {
      const Token& op = Take();
      chain.ops.push_back(op.op);
      chain.op_positions.push_back(op.position);
      chain.children.push_back(Level(level + 1));
    }
    return Add(std::move(chain));
  }

  int NotOperand() {
    if (Peek().kind != Tok::kNot) return Level(kNotLevel + 1);
    const int position = Take().position;
    const Nesting nesting(this, position);
    return Unary(NodeKind::kNot, position, NotOperand());
  }

  // A sign belongs to its operand before ^ is applied, as in VBScript: -2^2 is (-2)^2 = 4, and
  // the right operand of ^ may carry a sign too (2^-2 is 0.25).
  int Power() {
    static const std::vector<Op> kPower = {Op::kPow};
    const int first = UnaryOperand();
    if (!AtOperatorOf(kPower)) return first;
    Node chain;
    chain.kind = NodeKind::kChain;
    chain.position = nodes_[static_cast<size_t>(first)].position;
    chain.children = {first};
    while (AtOperatorOf(kPower)) {
      const Token& op = Take();
      chain.ops.push_back(Op::kPow);
      chain.op_positions.push_back(op.position);
      chain.children.push_back(UnaryOperand());
    }
    return Add(std::move(chain));
  }

  int UnaryOperand() {
    if (!IsSign()) return Primary();
    const Token& sign = Take();
    const Nesting nesting(this, sign.position);
    return Unary(sign.op == Op::kSub ? NodeKind::kNegate : NodeKind::kPlus, sign.position,
                 UnaryOperand());
  }

  bool IsSign() const {
    return Peek().kind == Tok::kOperator && (Peek().op == Op::kSub || Peek().op == Op::kAdd);
  }

  int Primary() {
    const Token& t = Take();
    switch (t.kind) {
      case Tok::kLiteral: {
        Node n;
        n.position = t.position;
        n.value = t.value;
        return Add(std::move(n));
      }
      case Tok::kOpen: {
        const int inner = Expression();
        Expect(Tok::kClose, "Expected ')'");
        return inner;
      }
      case Tok::kName:
        return NameOrCall(t);
      default:
        Fail(err::kSyntaxError, "Expected expression", t.position);
    }
  }

  void Expect(Tok kind, const char* problem) {
    if (Peek().kind != kind) Fail(err::kSyntaxError, problem, Peek().position);
    Take();
  }

  // A name must be one of the functions, called with the number of arguments it takes; what
  // else it is shows only when it is evaluated, as in VBScript.
  int NameOrCall(const Token& name) {
    Node call;
    call.kind = NodeKind::kCall;
    call.position = name.position;
    call.name = name.text;
    call.function = script::FindFunction(name.text);
    if (Peek().kind == Tok::kOpen) {
      Take();
      call.has_arguments = true;
      if (Peek().kind != Tok::kClose) {
        call.children.push_back(Expression());
        while (Peek().kind == Tok::kComma) {
          Take();
          call.children.push_back(Expression());
        }
      }
      Expect(Tok::kClose, "Expected ')'");
    }
    return Add(std::move(call));
  }

  std::vector<Token> tokens_;
  size_t next_ = 0;
  std::vector<Node> nodes_;
  int depth_ = 0;
};

class Evaluator {
 public:
  explicit Evaluator(const std::vector<Node>& nodes) : nodes_(nodes) {}

  Operand Evaluate(int index) const {
    const Node& n = nodes_[static_cast<size_t>(index)];
    switch (n.kind) {
      case NodeKind::kLiteral:
        return {n.value, true};
      case NodeKind::kNegate: {
        const Operand child = Evaluate(n.children[0]);
        return {script::Negate(child.value, n.position), child.constant};
      }
      case NodeKind::kPlus:
        return Evaluate(n.children[0]);
      case NodeKind::kNot:
        return {script::LogicalNot(Evaluate(n.children[0]).value, n.position), false};
      case NodeKind::kChain:
        return Chain(n);
      case NodeKind::kCall:
        break;
    }
    return {CallOf(n), false};
  }

 private:
  Operand Chain(const Node& n) const {
    Operand acc = Evaluate(n.children[0]);
    for (size_t i = 0; i < n.ops.size(); ++i) {
      const Operand right = Evaluate(n.children[i + 1]);
      acc = {script::Binary(n.ops[i], acc, right, n.op_positions[i]), false};
    }
    return acc;
  }

  VbValue CallOf(const Node& n) const {
    if (!n.function) {
      Fail(err::kUndefinedName,
           fmt::format("Unknown {} '{}'", n.has_arguments ? "function" : "name",
                       script::Echo(n.name)),
           n.position);
    }
    if (!script::AcceptsArgumentCount(*n.function, n.children.size())) {
      Fail(err::kWrongArgumentCount,
           fmt::format("Wrong number of arguments for '{}'", script::FunctionName(*n.function)),
           n.position);
    }
    std::vector<VbValue> args;
    args.reserve(n.children.size());
    for (int child : n.children) args.push_back(Evaluate(child).value);
    return script::Call(*n.function, args, n.position);
  }

  const std::vector<Node>& nodes_;
};

}  // namespace

VbValue ScriptEngine::Eval(std::string_view expression) const {
  if (expression.size() > kMaxLength) {
    throw RuntimeError(err::kSyntaxError,
                       fmt::format("Expression of {} bytes is longer than the limit of {}",
                                   expression.size(), kMaxLength));
  }
  Parser parser(Lexer(expression).Run());
  const int root = parser.Run();
  return Evaluator(parser.nodes()).Evaluate(root).value;
}

double ScriptEngine::EvalNumber(std::string_view expression) const {
  const VbValue result = Eval(expression);
  if (result.type == VbType::kString && !VbIsNumeric(result.text)) {
    throw RuntimeError(
        err::kTypeMismatch,
        fmt::format("Type mismatch: the result \"{}\" is not a number", script::Echo(result.text)));
  }
  return VbToDouble(result);
}

}  // namespace quorlan
