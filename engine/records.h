// Record processing: brings every installed file the records name to the new version.
#pragma once

#include <stdint.h>

// `records` is the first byte after the magic, `length` the bytes from there to
// the end of the patch file. False: nothing was replaced and a failure was
// counted, or the run was ended after an error message, or the user cancelled
// the drive scan (session.cancelled, nothing more is shown).
bool ApplyRecords(const uint8_t* records, uint32_t length);
