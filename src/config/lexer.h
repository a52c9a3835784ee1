// The configuration lexer, shared by the grammar and its tests only.
//
// The reader state is process-wide and serves one file at a time;
// config_begin is its one reset point.
#ifndef DORVANE_CONFIG_LEXER_H_
#define DORVANE_CONFIG_LEXER_H_

#include <cstdio>

#include "pool/pool.h"

namespace dorvane {

// Quoted strings hold at most this many characters, words one more.
constexpr int MAX_QUOTED = 8094;
constexpr int MAX_WORD = 8095;

struct ConfigReader {
    FILE *stream;
    const char *file;  // for messages
    Pool *pool;        // token texts are copied here
    int line_number;   // line being read
    int token_line;    // line of the current token; every message names it
    int config_errors; // set by config_error; the grammar counts recoveries in
    int pushed[2];     // own push-back: stdio promises only one byte
    int npushed;
    int read_failed; // a read error has been reported for this file
};
extern ConfigReader config_reader;

// Starts reading stream: line 1, no errors, nothing pushed back.
void config_begin(FILE *stream, const char *file, Pool *pool);

// The next character after continuation lines and comments, or EOF.
int config_getc();
// Pushes c back (EOF is ignored); a newline un-counts its line.
void config_ungetc(int c);
// Drops the rest of the line; returns ERROR.
int config_skip_line();
// The keyword's token, or STRING.
int keyword_lookup(const char *text);

// Writes "file:line: message\n" to standard error and sets config_errors.
// Always 0.
int config_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace dorvane

// The generated parser calls these by their plain names.
int yylex();
int yyparse();

#endif // DORVANE_CONFIG_LEXER_H_
