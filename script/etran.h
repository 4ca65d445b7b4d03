// The expression engine behind `etran`: infix expressions (statements
// separated by ";") become three-address instructions. It tokenises the
// text, builds a binary tree by operator priority and walks it after the
// fact, naming intermediate results with temporaries "~t0", "~t1", ...
// Plain C++: the Tcl command and its test modes sit on top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace krel::etran {

enum TokenClass {
    CLASS_OPERATOR = 1,
    CLASS_LPAREN = 2,
    CLASS_RPAREN = 4,
    CLASS_NUMBER = 8,
    CLASS_VARIABLE = 16,
    CLASS_SEMICOLON = 32,
    CLASS_LBRACE = 64,
    CLASS_RBRACE = 128,
};

struct OperatorEntry {
    const char *word;  // null for the variable and number entries
    int tokenClass;
    int mode;  // non-zero: the operator takes a right operand
    int priority;
};

// The table entry of a token: an exact word of the table, else a variable
// (not starting with a digit) or a number.
const OperatorEntry &lookup(std::string_view token);

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}
    // The next token; false at the end of the text.
    bool next(std::string_view *token);
    // Gives the last token back to the next call of next().
    void pushBack() { pushed_ = true; }
    // How far the text has been read.
    size_t position() const { return pos_; }

private:
    std::string_view text_;
    size_t pos_ = 0;
    std::string_view last_;
    bool pushed_ = false;
};

// Texts are views into the translated text or into the translator's own
// store (negated numbers, temporaries): valid while both live.
struct Node {
    std::string_view text;
    int priority = 0;
    bool isOperator = false;
    int left = -1, right = -1;  // indices into the node list, -1 for none
};

struct Instruction {
    std::string_view result, left, op, right;
};

struct Error {
    std::string message;
    std::string note;     // printed before the report ("nPars 1\n")
    size_t position = 0;  // how far the tokeniser had read
};

// The temporary counter, one for the process; `etran resetvar` clears it.
struct EtranState {
    int64_t tempCounter = 0;
};
EtranState &etranState();

class Translator {
public:
    // Builds the tree of every statement; false (error() says why) on a
    // syntax error. Statements without a token are skipped; a text with no
    // token at all is "empty line.".
    bool parse(std::string_view text);
    // Post-order code of every statement in order, temporaries numbered
    // from `counter`, which is advanced. The texts of the code live as long
    // as this translator and the parsed text.
    void generate(std::vector<Instruction> *out, int64_t *counter);
    const std::vector<Node> &nodes() const { return nodes_; }
    const std::vector<int> &roots() const { return roots_; }
    const Error &error() const { return error_; }

private:
    // Records the error at the tokeniser's place; returns the failure mark.
    int fail(const char *message);
    int newNode(std::string_view text, int priority, bool isOperator);
    std::string_view keep(std::string text);
    int term();
    int tree(bool nested);
    void insert(int *root, int node);

    Tokenizer *tokens_ = nullptr;
    std::vector<Node> nodes_;
    std::deque<std::string> texts_;
    std::vector<int> roots_;
    std::vector<char> brackets_;
    int parCount_ = 0;
    Error error_;
};

// Parses and generates with the shared counter; false on a syntax error.
bool translate(Translator *t, std::string_view text, std::vector<Instruction> *out);

// The console report of an error: the message, the text and a caret under
// the place the tokeniser had reached.
std::string errorReport(std::string_view text, const Error &error);

// The tree of every statement, a node a line indented by its depth, with
// its priority.
std::string treeListing(const Translator &t);

}  // namespace krel::etran
