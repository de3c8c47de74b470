#include "app/cmdline.h"
#include "app/cycle.h"
#include "stack/trace/trace.h"

int main(int argc, char **argv) {
    // Static: the value list and the stack context are too large for a comfortable stack frame.
    static RunSettings settings;
    runSettingsDefaults(&settings);
    traceInit();
    traceOn();
    printBanner();
    parseArguments(&settings, argc, argv);
    return runRequestCycle(&settings);
}
