// `etran`: translation of expressions into three-address code, the operator
// table and tokeniser for inspection, and the console test modes, which show
// the tree or the code, or evaluate the code over Tcl global variables.
#include "script/etran_cmd.h"

#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/conio.h"
#include "core/prng.h"
#include "core/subcmd.h"
#include "script/etran.h"

namespace krel {

namespace {

using etran::Instruction;

using EtranHandler = int (*)(Tcl_Interp *interp, int argc, const char **argv);

void reportError(std::string_view text, const etran::Error &error)
{
    std::string report = etran::errorReport(text, error);
    consolePuts(CON_STDERR, report.data(), static_cast<int>(report.size()));
}

int usageOf(Tcl_Interp *interp, const char **argv, const char *synopsis)
{
    Tcl_AppendResult(interp, "Usage: ", argv[0], synopsis, nullptr);
    return TCL_ERROR;
}

int etranParser(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usageOf(interp, argv, " parser expression");
    std::vector<Instruction> code;
    etran::Translator translator;
    std::string_view text(argv[2]);
    if (!etran::translate(&translator, text, &code)) {
        reportError(text, translator.error());
        Tcl_ResetResult(interp);
        return TCL_ERROR;
    }
    std::vector<Tcl_Obj *> items;
    items.reserve(code.size());
    std::string line;
    for (const Instruction &in : code) {
        line.assign(in.result);
        line += ' ';
        line += in.left;
        line += ' ';
        line += in.op;
        line += ' ';
        line += in.right;
        items.push_back(Tcl_NewStringObj(line.data(), static_cast<int>(line.size())));
    }
    Tcl_SetObjResult(interp, Tcl_NewListObj(static_cast<int>(items.size()), items.data()));
    return TCL_OK;
}

int etranPriority(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usageOf(interp, argv, " priority token");
    Tcl_SetObjResult(interp, Tcl_NewIntObj(etran::lookup(argv[2]).priority));
    return TCL_OK;
}

int etranIsopr(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usageOf(interp, argv, " isopr token");
    Tcl_SetObjResult(interp, Tcl_NewIntObj(etran::lookup(argv[2]).tokenClass == etran::CLASS_OPERATOR));
    return TCL_OK;
}

int etranNvars(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usageOf(interp, argv, " nvars token");
    Tcl_SetObjResult(interp, Tcl_NewIntObj(etran::lookup(argv[2]).mode));
    return TCL_OK;
}

int etranResetvar(Tcl_Interp *, int, const char **)
{
    etran::etranState().tempCounter = 0;
    return TCL_OK;
}

int etranToken(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc != 3) return usageOf(interp, argv, " token str");
    etran::Tokenizer tokens(argv[2]);
    std::string out;
    std::string_view t;
    while (tokens.next(&t)) out.append(t).append(" ");
    Tcl_SetObjResult(interp, Tcl_NewStringObj(out.data(), static_cast<int>(out.size())));
    return TCL_OK;
}

// ---------------------------------------------------------------------------
// Evaluation of the code for the test modes. Operands are resolved once to
// value slots: numbers to constants, other names to variables, read from the
// Tcl global of that name when used before the code assigns them.

enum OpCode {
    OP_VALUE, OP_ASSIGN, OP_ADD, OP_SUB, OP_MUL, OP_DIV, OP_IDIV, OP_MOD, OP_RAND, OP_EQ, OP_GE, OP_LE, OP_GT,
    OP_LT, OP_AND, OP_OR, OP_XOR, OP_POW, OP_NOT, OP_MAX, OP_MIN, OP_NEG,
};

struct OpName {
    const char *name;
    OpCode code;
};
const OpName kOpCodes[] = {
    {"=", OP_ASSIGN}, {"+", OP_ADD},   {"-", OP_SUB},   {"*", OP_MUL},   {"/", OP_DIV},   {"idiv", OP_IDIV},
    {"%", OP_MOD},    {"rand", OP_RAND}, {"==", OP_EQ}, {">=", OP_GE},   {"<=", OP_LE},   {">", OP_GT},
    {"<", OP_LT},     {"&", OP_AND},   {"|", OP_OR},    {"xor", OP_XOR}, {"^", OP_POW},   {"!", OP_NOT},
    {"max", OP_MAX},  {"min", OP_MIN}, {"neg", OP_NEG},
};

struct Step {
    OpCode code;
    int result, left, right;  // slots; -1 for none
};

struct Program {
    std::vector<double> slots;
    std::vector<Step> steps;
    std::vector<std::pair<std::string, int>> assigned;  // in order of first assignment
    std::string lastName;
    int lastSlot = -1;
};

int64_t toInteger(double v)
{
    if (!(v == v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<int64_t>(v);
}

class Compiler {
public:
    Compiler(Tcl_Interp *interp, Program *program) : interp_(interp), p_(program) {}

    // Returns false after printing why the code cannot be evaluated.
    bool compile(const std::vector<Instruction> &code)
    {
        for (const Instruction &in : code) {
            if (in.result.empty() && in.left.empty()) {  // a lone operand
                int slot = read(in.op);
                if (slot < 0) return false;
                p_->steps.push_back({OP_VALUE, slot, slot, -1});
                p_->lastName = std::string(in.op);
                p_->lastSlot = slot;
                continue;
            }
            const OpName *op = nullptr;
            for (const OpName &o : kOpCodes)
                if (in.op == o.name) op = &o;
            if (op == nullptr) {
                conEprintf("fail to solve opr: %.*s\n", static_cast<int>(in.op.size()), in.op.data());
                return false;
            }
            Step s{op->code, -1, -1, -1};
            if (op->code == OP_ASSIGN) {
                if (isNumber(in.left) || in.left == "null" || in.left[0] == '~') return unsolved(in.left);
                s.left = write(in.left);
                bool known = false;
                for (const auto &a : p_->assigned) known = known || a.first == in.left;
                if (!known) p_->assigned.emplace_back(std::string(in.left), s.left);
            } else if ((s.left = read(in.left)) < 0) {
                return false;
            }
            if (op->code != OP_NOT && op->code != OP_NEG && (s.right = read(in.right)) < 0) return false;
            s.result = write(in.result);
            p_->steps.push_back(s);
            p_->lastName = std::string(in.result);
            p_->lastSlot = s.result;
        }
        return true;
    }

private:
    static bool isNumber(std::string_view name)
    {
        char c = name.empty() ? '\0' : name[0] == '-' && name.size() > 1 ? name[1] : name[0];
        return (c >= '0' && c <= '9') || c == '.';
    }

    bool unsolved(std::string_view name)
    {
        conEprintf("fail to solve: %.*s\n", static_cast<int>(name.size()), name.data());
        return false;
    }

    int slotOf(std::string_view name, bool *isNew)
    {
        auto found = names_.find(std::string(name));
        *isNew = found == names_.end();
        if (!*isNew) return found->second;
        int slot = static_cast<int>(p_->slots.size());
        p_->slots.push_back(0);
        names_.emplace(std::string(name), slot);
        return slot;
    }

    int read(std::string_view name)
    {
        if (name.empty() || name == "null") return unsolved("null") ? 0 : -1;
        bool isNew;
        int slot = slotOf(name, &isNew);
        if (!isNew) return slot;
        if (isNumber(name)) {
            p_->slots[slot] = strtod(std::string(name).c_str(), nullptr);
            return slot;
        }
        Tcl_Obj *value = Tcl_GetVar2Ex(interp_, std::string(name).c_str(), nullptr, TCL_GLOBAL_ONLY);
        if (value == nullptr || Tcl_GetDoubleFromObj(nullptr, value, &p_->slots[slot]) != TCL_OK) {
            names_.erase(std::string(name));
            p_->slots.pop_back();
            return unsolved(name) ? 0 : -1;
        }
        return slot;
    }

    int write(std::string_view name)
    {
        bool isNew;
        return slotOf(name, &isNew);
    }

    Tcl_Interp *interp_;
    Program *p_;
    std::unordered_map<std::string, int> names_;
};

void run(Program &p)
{
    double *v = p.slots.data();
    for (const Step &s : p.steps) {
        double a = s.left >= 0 ? v[s.left] : 0, b = s.right >= 0 ? v[s.right] : 0, r = 0;
        switch (s.code) {
        case OP_VALUE: r = a; break;
        case OP_ASSIGN: v[s.left] = b; r = b; break;
        case OP_ADD: r = a + b; break;
        case OP_SUB: r = a - b; break;
        case OP_MUL: r = a * b; break;
        case OP_DIV: r = a / b; break;
        case OP_IDIV: r = std::trunc(a / b); break;
        case OP_MOD: r = std::fmod(a, b); break;
        case OP_RAND: r = a + (b - a) * (sharedPrng().next() / 32768.0); break;
        case OP_EQ: r = a == b; break;
        case OP_GE: r = a >= b; break;
        case OP_LE: r = a <= b; break;
        case OP_GT: r = a > b; break;
        case OP_LT: r = a < b; break;
        case OP_AND: r = static_cast<double>(toInteger(a) & toInteger(b)); break;
        case OP_OR: r = static_cast<double>(toInteger(a) | toInteger(b)); break;
        case OP_XOR: r = static_cast<double>(toInteger(a) ^ toInteger(b)); break;
        case OP_POW: r = std::pow(a, b); break;
        case OP_NOT: r = a == 0; break;
        case OP_MAX: r = a > b ? a : b; break;
        case OP_MIN: r = a < b ? a : b; break;
        case OP_NEG: r = -a; break;
        }
        v[s.result] = r;
    }
}

// Prompts for an expression and translates it; false after the report.
bool readAndTranslate(etran::Translator *t, std::string *text)
{
    conPrintf("Input expression: ");
    int length = 0;
    const char *line = conGets(&length);
    text->assign(line != nullptr ? line : "", line != nullptr ? static_cast<size_t>(length) : 0);
    if (!text->empty() && text->back() == '\n') text->pop_back();
    if (!t->parse(*text)) {
        reportError(*text, t->error());
        conEprintf("parser error.\n");
        return false;
    }
    return true;
}

int etranTree(Tcl_Interp *, int, const char **)
{
    etran::Translator t;
    std::string text;
    if (!readAndTranslate(&t, &text)) return TCL_OK;
    std::string listing = etran::treeListing(t);
    consolePuts(CON_STDOUT, listing.data(), static_cast<int>(listing.size()));
    return TCL_OK;
}

// The code of an expression read from the console; its texts live in the
// translator and the text.
bool readCode(etran::Translator *t, std::string *text, std::vector<Instruction> *code)
{
    if (!readAndTranslate(t, text)) return false;
    t->generate(code, &etran::etranState().tempCounter);
    return true;
}

int etranCode(Tcl_Interp *, int, const char **)
{
    etran::Translator t;
    std::string text;
    std::vector<Instruction> code;
    if (!readCode(&t, &text, &code)) return TCL_OK;
    for (const Instruction &in : code)
        conPrintf("%10.*s %10.*s %10.*s %10.*s\n", static_cast<int>(in.result.size()), in.result.data(),
                  static_cast<int>(in.left.size()), in.left.data(), static_cast<int>(in.op.size()), in.op.data(),
                  static_cast<int>(in.right.size()), in.right.data());
    return TCL_OK;
}

int evaluate(Tcl_Interp *interp, long repeats)
{
    etran::Translator t;
    std::string text;
    std::vector<Instruction> code;
    if (!readCode(&t, &text, &code)) return TCL_OK;
    Program p;
    if (!Compiler(interp, &p).compile(code)) return TCL_OK;
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < repeats; ++i) run(p);
    if (repeats > 1) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        conPrintf("Time used: %13.3f for total of %" PRId64 " operations\n", seconds,
                  static_cast<int64_t>(repeats) * static_cast<int64_t>(p.steps.size()));
    }
    for (const auto &a : p.assigned) {
        Tcl_SetVar2Ex(interp, a.first.c_str(), nullptr, Tcl_NewDoubleObj(p.slots[a.second]), TCL_GLOBAL_ONLY);
        conPrintf("%s = %13.3f\n", a.first.c_str(), p.slots[a.second]);
    }
    if (p.assigned.empty() && p.lastSlot >= 0) conPrintf("%s = %13.3f\n", p.lastName.c_str(), p.slots[p.lastSlot]);
    return TCL_OK;
}

int etranEvalOnce(Tcl_Interp *interp, int, const char **) { return evaluate(interp, 1); }
int etranEvalTimed(Tcl_Interp *interp, int, const char **) { return evaluate(interp, 100000); }

const SubCommand<EtranHandler> kEtranCommands[] = {
    {"parser0", 7, etranTree},      {"parser1", 7, etranCode},    {"parser2", 7, etranEvalOnce},
    {"parser3", 7, etranEvalTimed}, {"priority", 7, etranPriority}, {"isopr", 4, etranIsopr},
    {"nvars", 4, etranNvars},       {"resetvar", 4, etranResetvar}, {"token", 5, etranToken},
};

int etranDispatch(Tcl_Interp *interp, int argc, const char **argv)
{
    if (argc < 2) {
        conPrintf("Usage: etran isopr|nvars|parser|parser0|parser1|parser2|parser3|priority|resetvar|token\n");
        return TCL_OK;
    }
    if (strcmp(argv[1], "parser") == 0) return etranParser(interp, argc, argv);
    const auto *entry = findSubCommand(kEtranCommands, argv[1]);
    if (entry == nullptr) {
        conEprintf("Unkndow command of etran\n");
        return TCL_ERROR;
    }
    return entry->handler(interp, argc, argv);
}

int etranCommand(ClientData, Tcl_Interp *interp, int argc, const char **argv)
{
    try {
        return etranDispatch(interp, argc, argv);
    } catch (const std::bad_alloc &) {
        Tcl_SetResult(interp, const_cast<char *>("Error in malloc: expression too large."), TCL_STATIC);
        return TCL_ERROR;
    }
}

}  // namespace

int registerEtranCommand(Tcl_Interp *interp)
{
    return Tcl_CreateCommand(interp, "etran", etranCommand, nullptr, nullptr) ? TCL_OK : TCL_ERROR;
}

}  // namespace krel
