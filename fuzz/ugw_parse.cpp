// A batch line through the word splitter, the lexer and the grammar: no
// crash, no read beyond a word, and an accepted sentence has a kind in range.
#include <cstddef>
#include <cstdint>
#include <string>

#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096) return 0;
    std::string line(reinterpret_cast<const char *>(data), size);
    char *words[31];
    int n = ugw_split_words(line.data(), words, 31);
    if (n < 0) return 0;
    static ugw_command cmd;
    if (ugw_parse_args(n, words, &cmd) == 0 && cmd.kind >= UGW_KINDS) __builtin_trap();
    // The lexer alone, to the end of the words.
    ugw_words w;
    ugw_words_init(&w, words, n);
    static ugw_token_value v;
    for (int i = 0; i < 64 && ugw_lex(&v, &w) != 0; i++)
        ;
    return 0;
}
