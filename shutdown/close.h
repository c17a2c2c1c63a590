// Closing the product's running applications before any file is touched.
#pragma once

// True when every application the patch names has been closed (or none runs);
// false when one could not be closed or the user cancelled.
bool CloseRunningInstances();
