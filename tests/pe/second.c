/* The library that first.dll imports from: exports by name, by ordinal only, and data. */

__declspec(dllexport) int second_value = 42;

__declspec(dllexport) int second_add(int a, int b) { return a + b; }

/* Exported by ordinal only (second.def): first.dll imports it by number. */
int second_by_ordinal(int a) { return a * 2; }

/* Where the ordinal-only export lies, for the tests to compare against. */
__declspec(dllexport) int (*second_by_ordinal_address)(int) = second_by_ordinal;
