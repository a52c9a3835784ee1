// Defaults for the sanitizer test build: leaks are errors, and a huge
// request returns null so the program's own "Out of memory" path runs.
extern "C" const char *__asan_default_options()
{
    return "detect_leaks=1:allocator_may_return_null=1";
}
