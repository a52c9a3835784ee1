// The sample store. (Being written: only the check that rendering and the
// copy use to refuse the open store's own file is declared so far.)
#ifndef DORVANE_STORE_STORE_H_
#define DORVANE_STORE_STORE_H_

#include <sys/stat.h>

namespace dorvane {

// Whether st describes the file of the open store (same device and inode);
// false when no store is open.
bool data_is_store(const struct stat *st);

} // namespace dorvane

#endif // DORVANE_STORE_STORE_H_
