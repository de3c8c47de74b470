// What is sent: a write goes out exactly as typed or not at all, and with -ESON the whole command
// line is a contract. Judged after the arguments are read, before anything is opened; a read
// without -ESON keeps the old reading, where only an invalid option last stops the run.
#pragma once

#include "app/cmdline.h"

bool guardIsWrite(uint8_t selector);
// A write by its function, or a diagnostics subfunction that restarts, silences or clears.
bool guardWrites(const RunSettings *settings);
// A write to unit 0, typed as 0: every slave applies it and none answers.
bool guardIsBroadcast(const RunSettings *settings);
// Whether a write or a -ESON run may go on: false once an argument was not understood or the
// unit typed is not one (a write: 0 to 247, or 255 on a TCP port; a read: 0 to 255), after
// printing why on a line of its own. A scan is refused so too when its range or sweep was not
// understood, or it sweeps a TCP port. Anything else goes on.
bool guardAllows(RunSettings *settings);
// A write's own checks once its values are registers or bits: values to send, no more than
// the function carries, none past number 65536. False after printing why.
bool guardWrite(RunSettings *settings, uint16_t refType, uint16_t offset);
// For a write, prints the reason noted first, as guardAllows does; false.
bool guardRefuse(const RunSettings *settings);
