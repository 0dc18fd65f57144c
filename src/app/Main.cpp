#include "app/LauncherApp.h"

int main() { return theApp.Run(); }
