// The request cycle: checks the start register, brings the stack up as master on the port,
// sends the request as many times as asked, prints each reply, closes the stack. Ends every
// path with "\nExiting.\n" and answers the number of characters that wrote (10), or with -ESON
// the status that tells: 0 to 2 as statsStatus, 3 port not opened, 4 refused, 5 interrupted.
#pragma once

#include "app/cmdline.h"
#include "stack/al/modpl.h"

int runRequestCycle(RunSettings *settings);
// The end of every run: "\nExiting.\n" (a quiet run's "\n"), then 10, or with -ESON 5 when
// interrupted or else status.
int runFinish(const RunSettings *settings, int status);
// A port that did not open: "\nModbus CommStack open failed." and, where the stack knows, why.
void runOpenFailed(const StackContext *ctx);
