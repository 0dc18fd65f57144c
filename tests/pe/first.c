/* A DLL with absolute pointers (base relocations), imports from second.dll by name and by ordinal
 * and from KERNEL32.dll, and an entry point that leaves a mark when it runs. */
#include <windows.h>

__declspec(dllimport) int second_add(int a, int b);
__declspec(dllimport) extern int second_value;
int second_by_ordinal(int a);

/* The import address table slots, by their linker names. */
extern void* add_slot __asm__("__imp__second_add");
extern void* ordinal_slot __asm__("__imp__second_by_ordinal");
extern void* tick_slot __asm__("__imp__GetTickCount@0");

__declspec(dllexport) int first_values[4] = {1, 2, 3, 4};
__declspec(dllexport) int* first_pointers[2] = {&first_values[0], &first_values[2]};
__declspec(dllexport) const char* first_greeting = "hello from first";
__declspec(dllexport) void** first_add_slot = &add_slot;
__declspec(dllexport) void** first_ordinal_slot = &ordinal_slot;
__declspec(dllexport) void** first_tick_slot = &tick_slot;
__declspec(dllexport) DWORD first_attached = 0;

__declspec(dllexport) int first_call(int a) {
  return second_add(a, second_value) + second_by_ordinal(a) + (int)GetTickCount();
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  first_attached = reason;
  return TRUE;
}
