// Record names compared as the installer's system compares them: without
// regard to case, in the code page of the patch. The installer asks the system
// (lstrcmpiA); the tool folds the letters of the code pages it writes.
#pragma once

#include "patch/plan.h"

// The comparison for `codepage`: 1252 folds the accented Western letters too,
// 932 the full-width Latin, Greek and Cyrillic letters (and never a byte that
// trails a lead byte); any other code page folds A-Z only.
NamesEqual RecordNamesEqualFor(int codepage);
