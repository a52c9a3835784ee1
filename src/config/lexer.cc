// The configuration lexer: bytes of one file into tokens with line numbers.
#include <err.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/grammar.h"
#include "config/lexer.h"

namespace dorvane {

ConfigReader config_reader;

namespace {

struct Keyword {
    const char *text;
    int token;
};

// Sorted byte-wise for the bisection in keyword_lookup.
constexpr Keyword KEYWORDS[] = {
    {"avg", AVG},       {"black", BLACK},     {"bps", BPS},       {"collect", COLLECT},
    {"color", COLOR},   {"days", DAYS},       {"filled", FILLED}, {"from", FROM},
    {"graph", GRAPH},   {"height", HEIGHT},   {"hours", HOURS},   {"image", IMAGE},
    {"left", LEFT},     {"max", MAX},         {"min", MIN},       {"minutes", MINUTES},
    {"months", MONTHS}, {"now", NOW},         {"right", RIGHT},   {"tdiff", TDIFF},
    {"theme", THEME},   {"timeout", TIMEOUT}, {"to", TO},         {"vdiff", VDIFF},
    {"weeks", WEEKS},   {"white", WHITE},     {"width", WIDTH},   {"years", YEARS},
};

// The C locale's classes, spelled out so bytes of 128 and up are in none.
bool is_letter(int c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(int c)
{
    return c >= '0' && c <= '9';
}
bool is_punct(int c)
{
    return c > ' ' && c < 0x7f && !is_letter(c) && !is_digit(c);
}

// Punctuation that ends a word instead of belonging to it.
bool ends_word(int c)
{
    return c < 0x80 && c > 0 && strchr("(){}<>!=/#,", c) != nullptr;
}

bool in_word(int c)
{
    return is_letter(c) || is_digit(c) || (is_punct(c) && !ends_word(c));
}

int hex_value(int c)
{
    if (is_digit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int read_byte()
{
    ConfigReader &r = config_reader;
    if (r.npushed > 0)
        return r.pushed[--r.npushed];
    int c = getc(r.stream);
    if (c == EOF && ferror(r.stream) && !r.read_failed) {
        // A read error must not pass for the end of the file.
        r.read_failed = 1;
        config_error("read error: %s", strerror(errno));
    }
    return c;
}

void push_byte(int c)
{
    ConfigReader &r = config_reader;
    if (c != EOF && r.npushed < 2)
        r.pushed[r.npushed++] = c;
}

char *copy_text(const char *text)
{
    char *copy = pool_strdup(config_reader.pool, text);
    if (copy == nullptr)
        err(1, "yylex: pool_strdup");
    return copy;
}

// Text buffer for the token being read; the limits above fix its size.
char token_text[MAX_WORD + 1];

int lex_quoted(int quote)
{
    int n = 0;
    for (;;) {
        int c = config_getc();
        if (c == EOF)
            return 0;
        if (c == quote)
            break;
        if (c == '\n')
            continue;
        if (n == MAX_QUOTED) {
            config_error("string too long");
            return config_skip_line();
        }
        token_text[n++] = static_cast<char>(c);
    }
    token_text[n] = '\0';
    yylval.string = copy_text(token_text);
    return STRING;
}

int lex_number(int first)
{
    uint64_t value = static_cast<uint64_t>(first - '0');
    int base = 10;
    int c = config_getc();
    if (first == '0' && c == 'x') {
        base = 16;
        c = config_getc();
    }
    for (;;) {
        int digit = base == 16 ? hex_value(c) : is_digit(c) ? c - '0' : -1;
        if (digit < 0)
            break;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        c = config_getc();
    }
    config_ungetc(c);
    yylval.number = static_cast<int32_t>(static_cast<uint32_t>(value));
    return NUMBER;
}

int lex_word(int first)
{
    int n = 0;
    token_text[n++] = static_cast<char>(first);
    int c;
    while (in_word(c = config_getc())) {
        if (n == MAX_WORD) {
            config_error("string too long");
            return ERROR;
        }
        token_text[n++] = static_cast<char>(c);
    }
    config_ungetc(c);
    token_text[n] = '\0';
    yylval.string = copy_text(token_text);
    return keyword_lookup(token_text);
}

} // namespace

void config_begin(FILE *stream, const char *file, Pool *pool)
{
    config_reader = ConfigReader{};
    config_reader.stream = stream;
    config_reader.file = file;
    config_reader.pool = pool;
    config_reader.line_number = 1;
    config_reader.token_line = 1; // a read error before the first token
}

int config_getc()
{
    ConfigReader &r = config_reader;
    int c;
    for (;;) {
        c = read_byte();
        if (c != '\\')
            break;
        int next = read_byte();
        if (next != '\n') {
            push_byte(next);
            return c;
        }
        r.token_line = r.line_number;
        r.line_number++;
    }
    if (c == '#') {
        // A comment ends at the first newline, even after a backslash.
        do
            c = read_byte();
        while (c != '\n' && c != EOF);
    }
    if (c == '\n') {
        r.token_line = r.line_number;
        r.line_number++;
    }
    return c;
}

void config_ungetc(int c)
{
    if (c == EOF)
        return;
    ConfigReader &r = config_reader;
    if (c == '\n') {
        r.line_number--;
        r.token_line = r.line_number;
    }
    push_byte(c);
}

int config_skip_line()
{
    int c;
    do
        c = config_getc();
    while (c != '\n' && c != EOF);
    return ERROR;
}

int keyword_lookup(const char *text)
{
    size_t lo = 0;
    size_t hi = sizeof KEYWORDS / sizeof KEYWORDS[0];
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int cmp = strcmp(text, KEYWORDS[mid].text);
        if (cmp == 0)
            return KEYWORDS[mid].token;
        if (cmp < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return STRING;
}

int config_error(const char *format, ...)
{
    fprintf(stderr, "%s:%d: ", config_reader.file, config_reader.token_line);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    config_reader.config_errors = 1;
    return 0;
}

} // namespace dorvane

int yylex()
{
    using namespace dorvane;
    int c;
    do
        c = config_getc();
    while (c == ' ' || c == '\t' || c == '\n');
    config_reader.token_line = config_reader.line_number;

    if (c == '"' || c == '\'')
        return lex_quoted(c);
    if (c == EOF)
        return 0;
    if (is_digit(c))
        return lex_number(c);
    if (!is_letter(c))
        return c;
    return lex_word(c);
}
