#include "store/store.h"

namespace dorvane {

// No store can be opened yet, so no file is the open store.
bool data_is_store(const struct stat *) { return false; }

} // namespace dorvane
