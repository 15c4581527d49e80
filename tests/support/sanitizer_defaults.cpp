// Sanitizer settings for every test program, read by the sanitizer runtimes at start-up (unused
// in other builds).

extern "C" {

const char *__ubsan_default_options()  // NOLINT(bugprone-reserved-identifier)
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks inside the SoftHSM2 provider module itself, never the project's own code.
const char *__lsan_default_suppressions()  // NOLINT(bugprone-reserved-identifier)
{
    return "leak:libsofthsm2.so\n";
}
}
