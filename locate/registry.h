// Registry probing: fills the candidate folders from the keys the patch names.
#pragma once

// Adds the install folders that the registry names to the candidate folders.
// Always succeeds.
bool ProbeRegistry();
