// Commits that survive a crash. The library's file I/O is routed through
// this module: while a file is attached, every page the library writes to
// it, by any descriptor, is held in memory and read back from there, and
// the file itself is left as its last commit made it. A commit writes the
// held pages to a journal beside the file (`<file>.journal`), syncs it,
// writes them into the file, syncs that, and removes the journal. The next
// open of the file replays a complete journal (a crash after the journal's
// sync) and removes an incomplete one (a crash before it): either way the
// file holds its last commit, whole.
//
// The journal's layout is written down in docs/store-format.md.
//
// Functions return 0 on success and -1 with errno on failure.
#ifndef DORVANE_STORE_JOURNAL_H_
#define DORVANE_STORE_JOURNAL_H_

#include <cstddef>
#include <cstdint>

namespace dorvane {

struct Journal;

// Routes the library's file I/O through this module. Process-wide; made
// before the first handle, once.
void journal_install();

enum class Recovery { none, replayed, discarded };

// Brings the file at path, open for writing and locked as fd, back to its
// last commit. *what says what was found; *pages, how many pages a
// replay wrote.
int journal_recover(const char *path, int fd, Recovery *what, uint32_t *pages);

// Holds every write that the library makes to the file open as fd (any
// descriptor of the same file) from now on, until a commit. path must stay
// valid until the detach.
int journal_attach(const char *path, int fd, Journal **out);

// Bytes held for the next commit.
size_t journal_held(const Journal *j);

// Makes what is held one commit of the file; nothing to do when nothing
// changed. On failure the file keeps its last commit and what is held
// stays held.
int journal_commit(Journal *j);

// Forgets what is held, and what the library writes from now on: the file
// keeps its last commit.
void journal_discard(Journal *j);

// Stops holding writes and frees j; what is still held is lost.
void journal_detach(Journal *j);

// Syncs the folder that holds path: a name made or changed in it lasts.
int journal_sync_folder(const char *path);

} // namespace dorvane

#endif // DORVANE_STORE_JOURNAL_H_
