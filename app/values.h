// Typed values in a run of the master: checks a typed request against the start register and
// the function before anything is sent, puts a write's values into the value list in the type
// and order, and prints a reply's registers in them. A read in INT16 stays as it was: one line
// per register; a write's INT16 values are checked as any type's (0xFFFF or 65535 for -1).
#pragma once

#include "app/cmdline.h"
#include "stack/al/modpl.h"

// Before the stack is opened, with the start register's type: false, after a message, when the
// request cannot go out as asked (a count or values beyond one request, a value that is not
// one of the type, ALL or a type wider than a register for a write of one register); the reason
// is noted in the settings. A type other than INT16 on coils or inputs is ignored with a
// message. Turns a read's count of
// values into registers and a write's value texts into the registers of the value list.
bool valuesPrepare(RunSettings *settings, uint16_t refType);

// The register lines of a normal reply in the run's type: one per value, labelled with its
// first register; a STRING on one line; the ALL table.
void valuesPrint(const RunSettings *settings, const ModbusMessage *reply);
