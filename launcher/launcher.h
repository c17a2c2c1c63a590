// The installer's entry logic: switches, the payload, the hand-over to the
// update driver and the clean-up.
#pragma once

// Runs the whole installer and ends the process with its exit code.
[[noreturn]] void RunLauncher(void* instance);

// Restricts the search for DLLs loaded from now on to the system folder, where
// the system offers that.
void RestrictDllSearch();

// Terminates the process that started this one, unless the process now
// holding the parent's id started after this one (the parent had ended and its
// id was reused).
void KillParentProcess();

// True when `process` (a HANDLE) started no later than this process, or when
// the system cannot tell.
bool ProcessStartedBeforeUs(void* process);

// Unpacks the payload into a new private folder, runs the update driver and
// removes what it unpacked. Ends the process with the driver's code on
// success; returns 1 (damaged data) or 2 (resource or output error) otherwise.
int ExtractAndRun(void* instance, bool silent);
