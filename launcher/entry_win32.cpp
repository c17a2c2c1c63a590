#include <windows.h>

#include "launcher/launcher.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { RunLauncher(instance); }
