// The line monitor (-MON): opens the serial port to listen only, takes the frames the link's
// cutter hears, pairs each request with the reply that answers it, decodes both with the
// application layer's decoder and shows each exchange as one line and, with -OF, one record;
// -ID and -FN select what is shown, -STON counts per unit. Sends nothing, ever.
#pragma once

#include "app/cmdline.h"

// Listens until a stop, the reader going away or -RQ exchanges shown; prints "\nExiting.\n" as
// a run does. The exit status of a run: 10, or with -ESON 0, 3 port not opened, 4 refused, 5
// interrupted.
int monitorRun(RunSettings *settings);
