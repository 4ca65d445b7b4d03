#include "script/etran.h"

#include <cstring>

namespace krel::etran {

namespace {

const OperatorEntry kOperators[] = {
    {"=", CLASS_OPERATOR, 1, 0},     {"+", CLASS_OPERATOR, 1, 2},      {"-", CLASS_OPERATOR, 1, 2},
    {"*", CLASS_OPERATOR, 2, 3},     {"/", CLASS_OPERATOR, 1, 3},      {"idiv", CLASS_OPERATOR, 1, 3},
    {"lini", CLASS_OPERATOR, 4, 3},  {"%", CLASS_OPERATOR, 1, 3},      {"rand", CLASS_OPERATOR, 1, 3},
    {"==", CLASS_OPERATOR, 3, 1},    {">=", CLASS_OPERATOR, 3, 1},     {"<=", CLASS_OPERATOR, 3, 1},
    {">", CLASS_OPERATOR, 3, 1},     {"<", CLASS_OPERATOR, 3, 1},      {"&", CLASS_OPERATOR, 1, 4},
    {"|", CLASS_OPERATOR, 1, 4},     {"xor", CLASS_OPERATOR, 1, 4},    {"^", CLASS_OPERATOR, 1, 4},
    {"init", CLASS_OPERATOR, 1, 5},  {"initx", CLASS_OPERATOR, 0, 5},  {"inity", CLASS_OPERATOR, 0, 5},
    {"initxy", CLASS_OPERATOR, 0, 5}, {"ring", CLASS_OPERATOR, 0, 5},  {"!", CLASS_OPERATOR, 0, 5},
    {"max", CLASS_OPERATOR, 1, 5},   {"min", CLASS_OPERATOR, 1, 5},    {"neg", CLASS_OPERATOR, 1, 5},
    {"(", CLASS_LPAREN, 0, 0},       {")", CLASS_RPAREN, 0, 0},        {"{", CLASS_LBRACE, 0, 0},
    {"}", CLASS_RBRACE, 0, 0},       {";", CLASS_SEMICOLON, 0, 0},
};
const OperatorEntry kVariable = {nullptr, CLASS_VARIABLE, 0, 6};
const OperatorEntry kNumber = {nullptr, CLASS_NUMBER, 0, 6};

constexpr size_t kBracketDepth = 64;
constexpr int kGroupPriority = 1000;
// What term() and tree() return instead of a node.
constexpr int kEnd = -1;
constexpr int kFailed = -2;

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isTemporary(std::string_view s) { return !s.empty() && s[0] == '~'; }

constexpr size_t kEntries = sizeof kOperators / sizeof kOperators[0];

// What each character does to the tokeniser, and the table's one-character
// words by character.
enum CharKind : unsigned char { CH_WORD, CH_BLANK, CH_SINGLE, CH_RELATION, CH_SIGN };
struct Tables {
    CharKind kind[256];
    signed char single[256];
    unsigned char length[kEntries];
    Tables()
    {
        for (int c = 0; c < 256; ++c) {
            kind[c] = CH_WORD;
            single[c] = -1;
        }
        for (unsigned char c : std::string_view(" \t\n\r")) kind[c] = CH_BLANK;
        for (unsigned char c : std::string_view("!%&()*/;^{|}")) kind[c] = CH_SINGLE;
        for (unsigned char c : std::string_view("<=>")) kind[c] = CH_RELATION;
        kind[static_cast<unsigned char>('+')] = kind[static_cast<unsigned char>('-')] = CH_SIGN;
        for (size_t i = 0; i < kEntries; ++i) {
            length[i] = static_cast<unsigned char>(strlen(kOperators[i].word));
            if (length[i] == 1) single[static_cast<unsigned char>(kOperators[i].word[0])] = static_cast<signed char>(i);
        }
    }
};
const Tables &tables()
{
    static const Tables t;
    return t;
}

}  // namespace

const OperatorEntry &lookup(std::string_view token)
{
    const Tables &t = tables();
    const size_t n = token.size();
    if (n == 1) {
        int i = t.single[static_cast<unsigned char>(token[0])];
        if (i >= 0) return kOperators[i];
    } else if (n <= 6) {  // the longest word of the table
        for (size_t i = 0; i < kEntries; ++i)
            if (t.length[i] == n && kOperators[i].word[0] == token[0] &&
                memcmp(kOperators[i].word + 1, token.data() + 1, n - 1) == 0)
                return kOperators[i];
    }
    return n > 0 && isDigit(token[0]) ? kNumber : kVariable;
}

bool Tokenizer::next(std::string_view *token)
{
    if (pushed_) {
        pushed_ = false;
        *token = last_;
        return !last_.empty();
    }
    const size_t n = text_.size();
    const CharKind *kind = tables().kind;
    auto kindAt = [&](size_t i) { return kind[static_cast<unsigned char>(text_[i])]; };
    while (pos_ < n && kindAt(pos_) == CH_BLANK) ++pos_;
    if (pos_ >= n) {
        last_ = {};
        return false;
    }
    const size_t start = pos_;
    CharKind k = kindAt(pos_++);
    if (k == CH_RELATION) {
        if (pos_ < n && text_[pos_] == '=') ++pos_;
    } else if (k == CH_WORD) {
        // A word: up to a blank or a character that makes a token of its
        // own. A sign continues it after a comma and in the exponent of a
        // number.
        while (pos_ < n) {
            CharKind d = kindAt(pos_);
            if (d == CH_SIGN) {
                char prev = text_[pos_ - 1];
                if (!(prev == ',' || ((prev == 'e' || prev == 'E') && isDigit(text_[start])))) break;
            } else if (d != CH_WORD) {
                break;
            }
            ++pos_;
        }
    }
    last_ = text_.substr(start, pos_ - start);
    *token = last_;
    return true;
}

EtranState &etranState()
{
    static EtranState state;
    return state;
}

int Translator::fail(const char *message)
{
    error_.message = message;
    error_.position = tokens_->position();
    return kFailed;
}

std::string_view Translator::keep(std::string text)
{
    texts_.push_back(std::move(text));
    return texts_.back();
}

int Translator::newNode(std::string_view text, int priority, bool isOperator)
{
    Node node;
    node.text = text;
    node.priority = priority;
    node.isOperator = isOperator;
    nodes_.push_back(node);
    return static_cast<int>(nodes_.size() - 1);
}

// One operand: a leaf, a negated leaf, or a whole bracketed sub-expression.
// kEnd when the text has ended, kFailed after a syntax error.
int Translator::term()
{
    std::string_view t;
    if (!tokens_->next(&t)) return kEnd;
    while (t == "+")
        if (!tokens_->next(&t)) return fail("unary operator missing variable.");
    if (t == "-") {
        if (!tokens_->next(&t)) return fail("unary operator missing variable.");
        const OperatorEntry &e = lookup(t);
        if (e.tokenClass == CLASS_NUMBER) return newNode(keep("-" + std::string(t)), e.priority, false);
        if (e.tokenClass != CLASS_VARIABLE) return fail("expected a NUM or a VAR");
        const OperatorEntry &neg = lookup("neg");
        int node = newNode("neg", neg.priority, true);
        int a = newNode(t, e.priority, false);
        int b = newNode(t, e.priority, false);
        nodes_[node].left = a;
        nodes_[node].right = b;
        return node;
    }
    const OperatorEntry &e = lookup(t);
    switch (e.tokenClass) {
    case CLASS_OPERATOR:
        return fail("unexpected operator.");
    case CLASS_LPAREN:
    case CLASS_LBRACE: {
        if (brackets_.size() >= kBracketDepth) return fail("bracket stack overflow");
        brackets_.push_back(t[0]);
        ++parCount_;
        int root = tree(true);
        if (root < 0) return root;
        nodes_[root].priority = kGroupPriority;
        return root;
    }
    case CLASS_RPAREN:
    case CLASS_RBRACE:
        return fail("Unexpected right parenthese or bracket in exprTerm");
    case CLASS_SEMICOLON:
        return fail("syntax in exprTerm");
    default:
        return newNode(t, e.priority, false);
    }
}

void Translator::insert(int *root, int node)
{
    const int p = nodes_[node].priority;
    if (nodes_[*root].priority >= p) {
        nodes_[node].left = *root;
        *root = node;
        return;
    }
    int x = *root;
    while (nodes_[x].right >= 0 && nodes_[nodes_[x].right].priority < p) x = nodes_[x].right;
    nodes_[node].left = nodes_[x].right;
    nodes_[x].right = node;
}

// A statement, or (nested) a sub-expression up to its closer.
int Translator::tree(bool nested)
{
    int root = term();
    if (root == kFailed) return kFailed;
    if (root < 0) return fail(nested ? "parenthesis mismatch" : "empty line.");
    std::string_view t;
    while (tokens_->next(&t)) {
        const OperatorEntry &e = lookup(t);
        if (e.tokenClass == CLASS_OPERATOR) {
            int node = newNode(t, e.priority, true);
            if (e.mode != 0) {
                int right = term();
                if (right == kFailed) return kFailed;
                if (right < 0) return fail("opr syntax.");
                nodes_[node].right = right;
            }
            insert(&root, node);
        } else if (e.tokenClass == CLASS_SEMICOLON) {
            tokens_->pushBack();
            break;
        } else if (e.tokenClass == CLASS_RPAREN || e.tokenClass == CLASS_RBRACE) {
            if (!nested) return fail("Unexpected right parenthese or bracket in exprTree");
            if (brackets_.empty()) return fail("bracket stack underflow");
            char open = brackets_.back();
            brackets_.pop_back();
            if (t[0] == ')' && open != '(') return fail("unmatch right parenthses");
            if (t[0] == '}' && open != '{') return fail("unmatch right bracket");
            --parCount_;
            return root;
        } else {
            return fail("unexpected token in exprTree");
        }
    }
    return root;
}

bool Translator::parse(std::string_view text)
{
    Tokenizer tokens(text);
    tokens_ = &tokens;
    nodes_.clear();
    nodes_.reserve(text.size() / 2 + 4);
    roots_.clear();
    texts_.clear();
    error_ = Error();
    std::string_view t;
    bool ok = true;
    while (ok && tokens.next(&t)) {
        if (t == ";") continue;
        tokens.pushBack();
        parCount_ = 0;
        brackets_.clear();
        int root = tree(false);
        if (root < 0) {
            ok = false;
        } else if (parCount_ != 0) {
            error_.note = "nPars " + std::to_string(parCount_) + "\n";
            fail("parenthesis mismatch in main");
            ok = false;
        } else {
            roots_.push_back(root);
        }
    }
    if (ok && roots_.empty()) {
        fail("empty line.");
        ok = false;
    }
    tokens_ = nullptr;
    return ok;
}

void Translator::generate(std::vector<Instruction> *out, int64_t *counter)
{
    struct Visit {
        int node;
        int stage;
    };
    std::vector<Visit> stack;
    static const std::string_view kNull = "null";
    for (int root : roots_) {
        if (!nodes_[root].isOperator) {
            out->push_back({"", "", nodes_[root].text, ""});
            continue;
        }
        stack.push_back({root, 0});
        while (!stack.empty()) {
            Visit &v = stack.back();
            const Node &n = nodes_[v.node];
            if (v.stage == 0) {
                v.stage = 1;
                if (n.left >= 0 && nodes_[n.left].isOperator) stack.push_back({n.left, 0});
                continue;
            }
            if (v.stage == 1) {
                v.stage = 2;
                if (n.right >= 0 && nodes_[n.right].isOperator) stack.push_back({n.right, 0});
                continue;
            }
            int index = v.node;
            stack.pop_back();
            Node &node = nodes_[index];
            std::string_view left = node.left >= 0 ? nodes_[node.left].text : kNull;
            std::string_view right = node.right >= 0 ? nodes_[node.right].text : kNull;
            std::string_view result;
            if (isTemporary(left))
                result = left;
            else if (isTemporary(right))
                result = right;
            else
                result = keep("~t" + std::to_string((*counter)++));
            out->push_back({result, left, node.text, right});
            node.text = result;
        }
    }
}

bool translate(Translator *t, std::string_view text, std::vector<Instruction> *out)
{
    if (!t->parse(text)) return false;
    out->reserve(t->nodes().size() / 2 + 1);
    t->generate(out, &etranState().tempCounter);
    return true;
}

std::string errorReport(std::string_view text, const Error &error)
{
    std::string report = error.note;
    report += "\nError: ";
    report += error.message;
    report += "\n";
    report.append(text.data(), text.size());
    report += "\n";
    size_t blanks = error.position > 0 ? error.position - 1 : 0;
    report.append(blanks, ' ');
    report += "^\n";
    return report;
}

std::string treeListing(const Translator &t)
{
    std::string listing;
    struct Visit {
        int node;
        int depth;
    };
    std::vector<Visit> stack;
    const std::vector<Node> &nodes = t.nodes();
    for (int root : t.roots()) {
        stack.push_back({root, 0});
        while (!stack.empty()) {
            Visit v = stack.back();
            stack.pop_back();
            const Node &n = nodes[v.node];
            listing.append(static_cast<size_t>(v.depth) * 2, ' ');
            listing.append(n.text);
            listing += " " + std::to_string(n.priority) + "\n";
            if (n.right >= 0) stack.push_back({n.right, v.depth + 1});
            if (n.left >= 0) stack.push_back({n.left, v.depth + 1});
        }
    }
    return listing;
}

}  // namespace krel::etran
