// Reports and maintenance: recipient states and summaries, and the commands
// list, status, revoke, remind, purge and log.
#pragma once

#include "core/core.h"
