#include "driver/session.h"

UpdateSession session;
