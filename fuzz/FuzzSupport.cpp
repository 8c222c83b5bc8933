// Linked into every fuzz target.

// Qt and the libraries under it keep process-wide caches (fonts, plugins, type registries) that
// are never freed; counted as leaks they would drown real faults. Also passed as -detect_leaks=0.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1";
}
