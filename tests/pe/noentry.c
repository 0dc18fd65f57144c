/* A DLL without an entry point (linked with -e 0, no C runtime): data, a pointer into .bss. */

static int counter;

__declspec(dllexport) int noentry_value = 7;
__declspec(dllexport) int* noentry_counter = &counter;

__declspec(dllexport) int noentry_next(void) { return ++counter; }
