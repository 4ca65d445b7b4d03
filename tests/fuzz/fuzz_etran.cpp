// libFuzzer target: expression texts as `etran` translates them: the
// tokeniser, the tree builder with its bracket stack, code generation, the
// tree listing and the error report with its caret.
#include <cstdint>
#include <string_view>
#include <vector>

#include "script/etran.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace krel::etran;
    std::string_view text(reinterpret_cast<const char *>(data), size);
    Tokenizer tokens(text);
    std::string_view t;
    size_t count = 0;
    while (tokens.next(&t)) {
        if (t.empty()) __builtin_trap();  // every token has a character
        lookup(t);
        ++count;
    }
    Translator translator;
    if (!translator.parse(text)) {
        if (translator.error().position > size) __builtin_trap();
        errorReport(text, translator.error());
        return 0;
    }
    treeListing(translator);
    std::vector<Instruction> code;
    int64_t counter = 0;
    translator.generate(&code, &counter);
    if (code.empty() || count == 0) __builtin_trap();
    return 0;
}
