// Process exit codes: what the caller of the installer learns about the run.
#pragma once

enum ExitCode {
  ExitUpdated = 0,            // files replaced, or everything already up to date
  ExitDataError = 1,          // damaged payload, or the drive scan was cancelled
  ExitResourceError = 2,      // payload missing, or unpacking could not write
  ExitBadCommandLine = 100,   // fewer than two tokens on the driver command line
  ExitPatchNotOpened = 101,
  ExitPatchNotMapped = 102,
  ExitPatchInvalid = 103,     // faulty header or records area
  ExitNotConfirmed = 104,
  ExitNotClosed = 106,        // running applications not closed, or cancelled
  ExitRecordsFailed = 107,
  ExitIncomplete = 200,       // finished, but some files were not updated
};
