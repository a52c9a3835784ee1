// dorvane-store: the second program, which lists, exports, dumps and
// restores a store. It opens the store through the store's own handle (its
// lock, read-only for the reading operations), reads it with the store's
// walks and retrieval, and reads time ranges and configurations with the
// configuration's own rules. Each operation's messages begin with its name;
// the exit status is 0 or 1.
#ifndef DORVANE_STORETOOL_STORETOOL_H_
#define DORVANE_STORETOOL_STORETOOL_H_

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/common.h"
#include "pool/pool.h"
#include "store/store.h"

namespace dorvane {

enum class Format : int { csv = 1, json = 2, openmetrics = 3 };

// Each kind of value by the name that -a takes and the output prints, in
// the order of OpenMetrics' families.
struct ValueKind {
    GraphType type;
    const char *name;
};
inline constexpr ValueKind VALUE_KINDS[] = {
    {GraphType::minimum, "min"}, {GraphType::average, "avg"}, {GraphType::maximum, "max"}};

// What the command line asks of one operation. Strings are pool copies or
// command-line words.
struct ToolSettings {
    const char *program;     // first word after its last '/'
    const char *op;          // "list", "export", "dump", "restore"
    const char *store;       // -d
    const char *config_file; // -c (list)
    const char *config_dir;  // -C (list)
    uint16_t *units;         // -u (export): ascending, each once
    unsigned unit_count;
    Format format;      // -F (export)
    int level;          // -l (export), 0 by default
    uint32_t width;     // -w (export); 0: the records themselves
    GraphType type;     // -a (export): average by default
    bool merge;         // -m (restore)
    const char *clause; // export's time range words; null when none
    const char *input;  // restore's file; null: standard input
};
static_assert(std::is_trivially_destructible_v<ToolSettings>);

// The entry point; the exit status.
int storetool_main(int argc, char **argv);

// The operations; each returns the exit status.
int storetool_list(Pool *pool, const ToolSettings *s);
int storetool_export(Pool *pool, const ToolSettings *s);
int storetool_dump(const ToolSettings *s);
int storetool_restore(const ToolSettings *s);

// Opens the store for reading: refuses, with "<op>: <path>: ..." and
// without creating or changing anything, a path that names no file and a
// store that holds no record. 1 after the message.
[[nodiscard]] int tool_open_read(const char *op, const char *path);

// Closes the store; 1 after the store's message.
[[nodiscard]] int tool_close();

// Whether the open store holds a record at all, into *any; 1 after the
// walk's message.
[[nodiscard]] int tool_holds_records(const char *op, bool *any);

// "<op>: Cannot allocate memory\n", for any list that could not grow.
void tool_out_of_memory(const char *op);

// "<op>: invalid record: key of %u bytes, not %u\n" or "<op>: invalid
// record: unit %u, level %u, time %u: value of %u bytes, not %u\n" for a
// record that a walk met (kind invalid).
void tool_invalid_record(const char *op, const WalkRecord &r);

// --- Output -----------------------------------------------------------------

// Standard output through one buffer: a long export costs one write per
// 64 KiB rather than a call per field.
struct ToolOut {
    char buf[1 << 16];
    size_t len;
    int error; // errno of the first failed write; 0 while none failed
};
extern ToolOut tool_out;

void out_flush();

inline void out_bytes(const char *p, size_t n)
{
    if (tool_out.len + n > sizeof tool_out.buf)
        out_flush();
    if (n > sizeof tool_out.buf) {
        // Longer than the buffer: only a configuration's text can be.
        while (n > 0) {
            size_t part = n < sizeof tool_out.buf ? n : sizeof tool_out.buf;
            out_bytes(p, part);
            p += part;
            n -= part;
        }
        return;
    }
    memcpy(tool_out.buf + tool_out.len, p, n);
    tool_out.len += n;
}
inline void out_text(const char *text)
{
    out_bytes(text, strlen(text));
}
inline void out_char(char c)
{
    out_bytes(&c, 1);
}
inline void out_u64(uint64_t v)
{
    char b[24];
    out_bytes(b, static_cast<size_t>(std::to_chars(b, b + sizeof b, v).ptr - b));
}

// The shortest text that reads back as exactly v ("nan", "inf" and "-inf"
// for the values without digits).
inline void out_double(double v)
{
    char b[32];
    out_bytes(b, static_cast<size_t>(std::to_chars(b, b + sizeof b, v).ptr - b));
}

// Flushes the buffer and standard output; 1 after "<op>: standard output:
// %s\n" when anything could not be written.
[[nodiscard]] int out_finish(const char *op);

// The ISO 8601 form of t in UTC ("2026-01-01T00:00:00Z") into buf.
void iso_time(uint32_t t, char buf[32]);

} // namespace dorvane

#endif // DORVANE_STORETOOL_STORETOOL_H_
