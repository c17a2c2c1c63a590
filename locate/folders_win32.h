// The path rules of the system the installer runs on, and the run's candidate
// folder list that follows them.
#pragma once

#include "locate/folders.h"

extern const PathSystem pathSystem;

// session.candidateFolders with the system's path rules.
extern const FolderList candidateFolders;
